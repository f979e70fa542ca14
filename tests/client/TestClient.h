// The client library as a user class sees it: every notification recorded as a line, and the
// members a user class reads made visible to the tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "client/QX531WinDriverInterface.h"

class TestClient : public QX531WinDriverInterface {
 public:
  using QX531BaseDriverInterface::mChangeCount;
  using QX531BaseDriverInterface::mHandleEvents;
  using QX531BaseDriverInterface::mKR6HandleList;
  using QX531BaseDriverInterface::mKR6SharedState;
  using QX531BaseDriverInterface::mLastSharedState;
  using QX531BaseDriverInterface::mLastUnitRecords;
  using QX531BaseDriverInterface::mLcdBlock;
  using QX531BaseDriverInterface::mLcdText;
  using QX531BaseDriverInterface::mLogBuffer;
  using QX531BaseDriverInterface::mLogBytes;
  using QX531BaseDriverInterface::mMainHandle;
  using QX531BaseDriverInterface::mPanelAttached;
  using QX531BaseDriverInterface::mPreferences;
  using QX531BaseDriverInterface::mSharedState;
  using QX531BaseDriverInterface::mUnitListCount;
  using QX531WinDriverInterface::devicePresent;
  using QX531WinDriverInterface::mAttachOnOpen;
  using QX531WinDriverInterface::mHandleMap;
  using QX531WinDriverInterface::needUpdate;

  // What the notifications reported since the last Take, in order.
  std::vector<std::string> Take() {
    std::vector<std::string> taken;
    taken.swap(notes_);
    return taken;
  }
  std::vector<std::vector<UnitNameRecord>> records;
  std::vector<std::string> lcd;

#define QX_NOTE(name)                                     \
  void name(uint32_t value) override {                    \
    char text[64];                                        \
    std::snprintf(text, sizeof text, #name " %u", value); \
    notes_.push_back(text);                               \
  }
  QX_NOTE(OnClockSourceChanged)
  QX_NOTE(OnSampleRateChanged)
  QX_NOTE(OnControlProtocolChanged)
  QX_NOTE(OnMonitorModeChanged)
  QX_NOTE(OnBufferSizeIndexChanged)
  QX_NOTE(OnOption6Changed)
  QX_NOTE(OnOption7Changed)
  QX_NOTE(OnMasterFaderChanged)
  QX_NOTE(OnOvrThresholdChanged)
  QX_NOTE(OnSpdifInSourceChanged)
  QX_NOTE(OnCoaxOutSourceChanged)
  QX_NOTE(OnOpticalOutSourceChanged)
  QX_NOTE(OnContinuousInputsChanged)
  QX_NOTE(OnContinuousOutputsChanged)
  QX_NOTE(OnOption16Changed)
  QX_NOTE(OnConverterDelayChanged)
  QX_NOTE(OnReserved72)
  QX_NOTE(OnReserved73)
  QX_NOTE(OnReserved74)
  QX_NOTE(OnReserved75)
  QX_NOTE(OnUnitRateChanged)
  QX_NOTE(OnRegisterVersionChanged)
  QX_NOTE(OnFpgaVersionChanged)
  QX_NOTE(OnArmVersionChanged)
  QX_NOTE(OnHardwareVersionChanged)
  QX_NOTE(OnSharedWord8Changed)
  QX_NOTE(OnStreamMaskChanged)
  QX_NOTE(OnProgrammingWordChanged)
  QX_NOTE(OnUnitCountChanged)
  QX_NOTE(OnUnitIndexChanged)
  QX_NOTE(OnAliveChanged)
  QX_NOTE(OnPluggedInChanged)
  QX_NOTE(OnStreamingChanged)
  QX_NOTE(OnMidiRunningChanged)
  QX_NOTE(OnInputLockedChanged)
  QX_NOTE(OnUnitClockSourceChanged)
  QX_NOTE(OnOpticalOutCodeChanged)
  QX_NOTE(OnSpdifInCodeAChanged)
  QX_NOTE(OnCoaxOutCodeChanged)
  QX_NOTE(OnSpdifInCodeBChanged)
  QX_NOTE(OnUnitOption16Changed)
#undef QX_NOTE

  void OnPanelToggleRequest() override { notes_.push_back("OnPanelToggleRequest"); }
  void OnUnitRecords(const UnitNameRecord* table) override {
    notes_.push_back("OnUnitRecords");
    records.emplace_back(table, table + kUnitRecordCount);
  }
  void OnLcdText(const char* text) override { lcd.push_back("text " + std::string(text, kLcdTextBytes - 1)); }
  void OnLcdBlock(const uint16_t* cells) override {
    std::string text;
    for (uint32_t i = 0; i < LcdTextBlock::kCells; ++i) text += static_cast<char>(cells[i] & 0xFF);
    lcd.push_back("block " + text);
  }

 private:
  std::vector<std::string> notes_;
};
