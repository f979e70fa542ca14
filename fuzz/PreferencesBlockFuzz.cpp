// The stored settings block as plug-in reads it: the input's first 1168 bytes are what the store
// holds (shorter inputs end in zeros), a main unit and an expansion unit plug in and take it, and
// each further 8 bytes of the input (parameter id, value, little-endian) is a setting a client
// sets. Whatever the block held, the units end up with a block of the current layout and the
// protocol's emulation mode, and the clients' reads of it answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tests/unit/UnitDouble.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"

namespace {

// Two units before plug-in, put back before every input.
struct Units {
  SettingsStore mStore;
  UnitDouble mMain{&mStore};
  UnitDouble mExpansion{&mStore};
  std::function<void()> mRestoreMain;
  std::function<void()> mRestoreExpansion;

  Units() {
    mMain.LookLikeMainUnit();
    mExpansion.LookLikeExpansionUnit(0x1234);
    mMain.mRecycleBuffers = true;
    mRestoreMain = mMain.Checkpoint();
    mRestoreExpansion = mExpansion.Checkpoint();
  }
};

bool KnownMode(uint32_t mode) { return mode == 1 || mode == 2 || mode == 4 || mode == 8 || mode == 16; }

void Read(UnitDouble& unit, uint32_t request, uint32_t length) {
  uint8_t out[2048];
  uint32_t returned = 0;
  if (unit.HandleControlRequest(request, out, 0, length, &returned) != 0 || returned != length) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Units* units = new Units;
  units->mRestoreMain();
  units->mRestoreExpansion();
  SettingsStore& store = units->mStore;
  store.mHasBlock = true;
  std::memset(static_cast<void*>(&store.mBlock), 0, sizeof store.mBlock);
  std::memcpy(static_cast<void*>(&store.mBlock), data, std::min(size, sizeof store.mBlock));

  for (UnitDouble* unit : {&units->mMain, &units->mExpansion}) {
    if (unit->HandlePlugIn() != 0) std::abort();
    if (!unit->CurrentPreferences().HasCurrentLayout() || !KnownMode(unit->Surface().mEmulationMode)) std::abort();
    Read(*unit, QX531RequestNumber(IOCTL_QX531_GET_PREFERENCES), sizeof(PreferencesBlock));
    Read(*unit, QX531RequestNumber(IOCTL_QX531_GET_SHARED_STATE), sizeof(SharedStateBlock));
    Read(*unit, QX531RequestNumber(IOCTL_QX531_GET_UNIT_RECORDS), sizeof(UnitNameRecord) * PreferencesBlock::kUnitNameRecords);
  }
  for (size_t i = sizeof(PreferencesBlock); i + 8 <= size; i += 8) {
    SetPreferenceRequest set{PreferencesBlock::kMagic, PreferencesBlock::kVersion, 0, 0};
    std::memcpy(&set.mParameterId, data + i, 4);
    std::memcpy(&set.mValue, data + i + 4, 4);
    const int32_t result =
        units->mMain.HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE), &set, sizeof set, 0, nullptr);
    if (result != 0 && result != 99) std::abort();
    if (!KnownMode(units->mMain.Surface().mEmulationMode)) std::abort();
  }
  units->mExpansion.HandleUnPlug();
  units->mMain.HandleUnPlug();
  return 0;
}
