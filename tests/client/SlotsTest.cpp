// The library's operations are virtual in a fixed slot order, which the images that derive from it
// rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "client/QX531WinDriverInterface.h"

namespace {

using Q = QX531BaseDriverInterface;

// A virtual operation's entry in the table, as the compiler encodes a pointer to it: one more than
// the entry's byte offset. The destructor takes the first two entries (complete and deleting).
template <typename F>
int Entry(F member) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } raw;
  static_assert(sizeof raw == sizeof member);
  std::memcpy(&raw, &member, sizeof raw);
  if ((raw.ptr & 1) == 0) return -1;
  return static_cast<int>((raw.ptr - 1) / sizeof(void*));
}

#define SLOT(name) {#name, Entry(&Q::name)}

struct Slot {
  const char* name;
  int entry;
};

TEST(BaseDriverInterface, DeclaresItsVirtualOperationsInSlotOrder) {
  const Slot slots[] = {
      {"destructor", 0},
      SLOT(AddHandle), SLOT(ReadDriverLog), SLOT(PollActiveLcd), SLOT(GetActiveLcdCount), SLOT(GetActiveLcdText),
      SLOT(GetActiveLcdBlock), SLOT(GetChangeCount), SLOT(GetUnitListCount), SLOT(GetPreferences),
      SLOT(GetSharedState), SLOT(GetChangeCountOf), SLOT(GetUnitListCountOf), SLOT(GetPreferencesOf),
      SLOT(GetSharedStateOf), SLOT(GetUnitRecords), SLOT(WriteDriverLog), SLOT(SetStreamMask), SLOT(SetStreamMaskOf),
      SLOT(GetStreamMask), SLOT(WriteBlock4000), SLOT(WriteRegister), SLOT(WriteRegisterOf), SLOT(ReadRegister),
      SLOT(ReadRegisterOf), SLOT(WriteBlock8000), SLOT(SetParameter), SLOT(SetUnitRecord), SLOT(SwapUnitRecords),
      SLOT(SetUnitLamp), SLOT(SetMixerFader), SLOT(SetMixerPan), SLOT(SetMixerButtonA), SLOT(SetMixerButtonB),
      SLOT(SetPanelAttached), SLOT(SetProgrammingWord), SLOT(FlashBegin), SLOT(FlashStatus), SLOT(FlashWrite),
      SLOT(FlashEnd), SLOT(Rescan), SLOT(Poll), SLOT(CurrentHandle), SLOT(CloseAll), SLOT(IsOpen),
      SLOT(CountExpansionUnits), SLOT(ReservedOperation), SLOT(OpenDevices), SLOT(IsMainOpen), SLOT(IsUnitAlive),
      SLOT(CloseMain), SLOT(CloseHandleOf), SLOT(Ioctl), SLOT(IoctlOf), SLOT(OnLcdText), SLOT(OnLcdBlock),
      SLOT(OnClockSourceChanged), SLOT(OnSampleRateChanged), SLOT(OnControlProtocolChanged),
      SLOT(OnMonitorModeChanged), SLOT(OnBufferSizeIndexChanged), SLOT(OnOption6Changed), SLOT(OnOption7Changed),
      SLOT(OnMasterFaderChanged), SLOT(OnOvrThresholdChanged), SLOT(OnSpdifInSourceChanged),
      SLOT(OnCoaxOutSourceChanged), SLOT(OnOpticalOutSourceChanged), SLOT(OnContinuousInputsChanged),
      SLOT(OnContinuousOutputsChanged), SLOT(OnOption16Changed), SLOT(OnConverterDelayChanged), SLOT(OnReserved72),
      SLOT(OnReserved73), SLOT(OnReserved74), SLOT(OnReserved75), SLOT(OnUnitRateChanged),
      SLOT(OnRegisterVersionChanged), SLOT(OnFpgaVersionChanged), SLOT(OnArmVersionChanged),
      SLOT(OnHardwareVersionChanged), SLOT(OnSharedWord8Changed), SLOT(OnStreamMaskChanged),
      SLOT(OnProgrammingWordChanged), SLOT(OnUnitCountChanged), SLOT(OnUnitIndexChanged), SLOT(OnAliveChanged),
      SLOT(OnPluggedInChanged), SLOT(OnStreamingChanged), SLOT(OnMidiRunningChanged), SLOT(OnInputLockedChanged),
      SLOT(OnUnitClockSourceChanged), SLOT(OnOpticalOutCodeChanged), SLOT(OnSpdifInCodeAChanged),
      SLOT(OnCoaxOutCodeChanged), SLOT(OnSpdifInCodeBChanged), SLOT(OnUnitOption16Changed),
      SLOT(OnPanelToggleRequest), SLOT(OnUnitRecords), SLOT(ControlName), SLOT(BankName), SLOT(IsButtonControl),
      SLOT(IsEncoderOrFaderControl), SLOT(IsNoteAction), SLOT(IsControllerAction), SLOT(IsToggledControllerAction),
  };
  ASSERT_EQ(std::size(slots), 106u);
  for (size_t slot = 1; slot < std::size(slots); ++slot)
    EXPECT_EQ(slots[slot].entry, static_cast<int>(slot) + 1) << slots[slot].name << " belongs in slot " << slot;
}

#undef SLOT

}  // namespace
