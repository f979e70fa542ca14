// The platform-neutral half of the driver client library: every request of the kernel driver as
// a typed operation, the last fetched copies of the unit's blocks, Poll and its change
// notifications, flash programming and the names of surface controls. Requests travel through
// Ioctl and IoctlOf, which a platform class supplies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "unit/ControlRequests.h"
#include "unit/LcdTextBlock.h"
#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"
#include "unit/UnitNameRecord.h"

// An opened unit as the platform names it; kNoDevice marks none.
using DeviceHandle = void*;
inline DeviceHandle const kNoDevice = reinterpret_cast<DeviceHandle>(static_cast<intptr_t>(-1));

// The word the unit reports for the surface control last touched in programming mode.
using ProgrammingWord = uint32_t;

inline constexpr uint32_t kMaxExpansionUnits = 15;
inline constexpr uint32_t kUnitRecordCount = 16;
inline constexpr uint32_t kLcdTextBytes = 111;
inline constexpr uint32_t kLcdBlockCells = 111;
inline constexpr uint32_t kLogBufferBytes = 200;
inline constexpr uint32_t kDefaultOvrThreshold = 25;

// Unit kinds of the shared state.
inline constexpr uint8_t kUnitKindMain = 1;
inline constexpr uint8_t kUnitKindExpansion = 2;

// Modes of SetPanelAttached.
inline constexpr int32_t kPanelDetached = 0;
inline constexpr int32_t kPanelAttached = 1;

class QX531BaseDriverInterface {
 public:
  QX531BaseDriverInterface();
  QX531BaseDriverInterface(const QX531BaseDriverInterface&) = delete;
  QX531BaseDriverInterface& operator=(const QX531BaseDriverInterface&) = delete;

  virtual ~QX531BaseDriverInterface();
  virtual void AddHandle(DeviceHandle handle);
  virtual int32_t ReadDriverLog();
  virtual void PollActiveLcd();
  virtual int32_t GetActiveLcdCount();
  virtual int32_t GetActiveLcdText();
  virtual int32_t GetActiveLcdBlock();
  virtual int32_t GetChangeCount();
  virtual int32_t GetUnitListCount();
  virtual int32_t GetPreferences();
  virtual int32_t GetSharedState();
  virtual int32_t GetChangeCountOf(DeviceHandle handle);
  virtual int32_t GetUnitListCountOf(DeviceHandle handle);
  virtual int32_t GetPreferencesOf(DeviceHandle handle, PreferencesBlock* block);
  virtual int32_t GetSharedStateOf(DeviceHandle handle, SharedStateBlock* block);
  virtual int32_t GetUnitRecords(DeviceHandle handle, UnitNameRecord* records);
  virtual int32_t WriteDriverLog(const char* text);
  virtual int32_t SetStreamMask(uint32_t mask);
  virtual int32_t SetStreamMaskOf(DeviceHandle handle, uint32_t mask);
  virtual int32_t GetStreamMask(uint32_t* mask);
  virtual int32_t WriteBlock4000(const void* data, uint32_t length);
  virtual int32_t WriteRegister(uint32_t offset, uint32_t value);
  virtual int32_t WriteRegisterOf(DeviceHandle handle, uint32_t offset, uint32_t value);
  virtual uint32_t ReadRegister(uint32_t offset);
  virtual uint32_t ReadRegisterOf(DeviceHandle handle, uint32_t offset);
  virtual int32_t WriteBlock8000(DeviceHandle handle, const void* data, uint32_t length);
  virtual int32_t SetParameter(uint32_t parameterId, uint32_t value);
  virtual int32_t SetUnitRecord(const UnitNameRecord* record);
  virtual int32_t SwapUnitRecords(const SwapUnitRecordsRequest* serials);
  virtual int32_t SetUnitLamp(const UnitLampRequest* lamp);
  virtual int32_t SetMixerFader(uint32_t channel, uint32_t value);
  virtual int32_t SetMixerPan(uint32_t channel, uint32_t value);
  virtual int32_t SetMixerButtonA(uint32_t channel, uint32_t value);
  virtual int32_t SetMixerButtonB(uint32_t channel, uint32_t value);
  virtual int32_t SetPanelAttached(int32_t mode);
  virtual int32_t SetProgrammingWord(ProgrammingWord word);
  virtual int32_t FlashBegin(DeviceHandle handle, uint32_t partition);
  virtual uint32_t FlashStatus(DeviceHandle handle);
  virtual int32_t FlashWrite(DeviceHandle handle, const void* data, uint32_t length, uint16_t* crc);
  virtual int32_t FlashEnd(DeviceHandle handle);
  virtual int32_t Rescan(int32_t mode);
  virtual void Poll();
  virtual DeviceHandle CurrentHandle();
  virtual void CloseAll();
  virtual int32_t IsOpen();
  virtual uint32_t CountExpansionUnits();
  virtual int32_t ReservedOperation() = 0;
  virtual int32_t OpenDevices(int32_t mode) = 0;
  virtual bool IsMainOpen() = 0;
  virtual int32_t IsUnitAlive(DeviceHandle handle) = 0;
  virtual int32_t CloseMain() = 0;
  virtual int32_t CloseHandleOf(DeviceHandle handle) = 0;
  virtual int32_t Ioctl(uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength, uint32_t* returned) = 0;
  virtual int32_t IoctlOf(DeviceHandle handle, uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength,
                          uint32_t* returned) = 0;

  // Notifications: Poll and PollActiveLcd call one per changed value; a user class overrides the
  // ones it cares about.
  virtual void OnLcdText(const char* text);
  virtual void OnLcdBlock(const uint16_t* cells);
  virtual void OnClockSourceChanged(uint32_t value);
  virtual void OnSampleRateChanged(uint32_t value);
  virtual void OnControlProtocolChanged(uint32_t value);
  virtual void OnMonitorModeChanged(uint32_t value);
  virtual void OnBufferSizeIndexChanged(uint32_t value);
  virtual void OnOption6Changed(uint32_t value);
  virtual void OnOption7Changed(uint32_t value);
  virtual void OnMasterFaderChanged(uint32_t value);
  virtual void OnOvrThresholdChanged(uint32_t value);
  virtual void OnSpdifInSourceChanged(uint32_t value);
  virtual void OnCoaxOutSourceChanged(uint32_t value);
  virtual void OnOpticalOutSourceChanged(uint32_t value);
  virtual void OnContinuousInputsChanged(uint32_t value);
  virtual void OnContinuousOutputsChanged(uint32_t value);
  virtual void OnOption16Changed(uint32_t value);
  virtual void OnConverterDelayChanged(uint32_t value);
  virtual void OnReserved72(uint32_t value);
  virtual void OnReserved73(uint32_t value);
  virtual void OnReserved74(uint32_t value);
  virtual void OnReserved75(uint32_t value);
  virtual void OnUnitRateChanged(uint32_t value);
  virtual void OnRegisterVersionChanged(uint32_t value);
  virtual void OnFpgaVersionChanged(uint32_t value);
  virtual void OnArmVersionChanged(uint32_t value);
  virtual void OnHardwareVersionChanged(uint32_t value);
  virtual void OnSharedWord8Changed(uint32_t value);
  virtual void OnStreamMaskChanged(uint32_t value);
  virtual void OnProgrammingWordChanged(uint32_t value);
  virtual void OnUnitCountChanged(uint32_t value);
  virtual void OnUnitIndexChanged(uint32_t value);
  virtual void OnAliveChanged(uint32_t value);
  virtual void OnPluggedInChanged(uint32_t value);
  virtual void OnStreamingChanged(uint32_t value);
  virtual void OnMidiRunningChanged(uint32_t value);
  virtual void OnInputLockedChanged(uint32_t value);
  virtual void OnUnitClockSourceChanged(uint32_t value);
  virtual void OnOpticalOutCodeChanged(uint32_t value);
  virtual void OnSpdifInCodeAChanged(uint32_t value);
  virtual void OnCoaxOutCodeChanged(uint32_t value);
  virtual void OnSpdifInCodeBChanged(uint32_t value);
  virtual void OnUnitOption16Changed(uint32_t value);
  virtual void OnPanelToggleRequest();
  virtual void OnUnitRecords(const UnitNameRecord* records);

  // Names of surface controls and banks, and what kind of control and action a word reports.
  virtual const char* ControlName(ProgrammingWord word);
  virtual const char* BankName(ProgrammingWord word);
  virtual bool IsButtonControl(ProgrammingWord word);
  virtual bool IsEncoderOrFaderControl(ProgrammingWord word);
  virtual bool IsNoteAction(ProgrammingWord word);
  virtual bool IsControllerAction(ProgrammingWord word);
  virtual bool IsToggledControllerAction(ProgrammingWord word);

 protected:
  // A request to the handle CurrentHandle names.
  int32_t IoctlCurrent(uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength, uint32_t* returned);
  // Walks the watched values of a freshly fetched pair of blocks, in their order.
  void NotifyChangedValues(bool mainUnit);

  DeviceHandle mMainHandle;
  DeviceHandle mKR6HandleList[kMaxExpansionUnits];
  DeviceHandle mPolledHandle;
  uint32_t mLogBytes;
  char mLogBuffer[kLogBufferBytes + 1];  // the last byte stays 0 whatever the driver returns
  uint32_t mChangeCount;
  uint32_t mLastChangeCount;
  uint32_t mUnitListCount;
  uint32_t mLastUnitListCount;
  int32_t mHandleEvents;
  int32_t mLastHandleEvents;
  int32_t mPanelAttached;
  PreferencesBlock mPreferences;
  PreferencesBlock mLastPreferences;
  SharedStateBlock mSharedState;
  SharedStateBlock mLastSharedState;
  SharedStateBlock mKR6SharedState[kMaxExpansionUnits];
  UnitNameRecord mUnitRecords[kUnitRecordCount];
  UnitNameRecord mLastUnitRecords[kUnitRecordCount];
  uint32_t mLastLcdCount;
  uint32_t mLcdCount;
  char mLcdText[kLcdTextBytes];
  uint16_t mLcdBlock[kLcdBlockCells];
};

static_assert(sizeof(UnitNameRecord) * kUnitRecordCount == 1088);
static_assert(sizeof(LcdTextBlock) + sizeof(uint16_t) == sizeof(uint16_t) * kLcdBlockCells);
