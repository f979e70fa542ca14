// The KR-6 fader expansion unit: no streams; its surface goes to the host as asynchronous status
// records of 4 bytes {16-bit slot, value high byte, value low byte, 0}, written into the window
// that 0x314/0x318 name while 0x310 is 1. The unit scans its surface every scan interval and
// sends the slots that changed in one write; enabling the records sends faders, touch bits and
// buttons (slots 0-19) at once so the host starts from the real state.
#pragma once

#include <cstdint>
#include <span>

#include "sim/units/Unit.h"

namespace sim {

class Kr6Unit : public Unit {
 public:
  static constexpr UnitVersions kDefaultVersions{0x00010003, 0x00000102, 0x00000105, 0x00000000};
  static constexpr uint64_t kGuidHigh = 0x0050C2A1'00000000ull;
  static constexpr uint32_t kModelId = 0x000006;
  static constexpr const char* kModelName = "KR-6";
  static constexpr plat::VTime kScanInterval = plat::kNsPerMs;
  static constexpr uint32_t kSnapshotSlots = (1u << 20) - 1;

  explicit Kr6Unit(uint32_t serial, const UnitVersions& versions = kDefaultVersions);
  ~Kr6Unit() override;

  uint32_t Serial() const { return static_cast<uint32_t>(Guid()); }
  uint64_t RecordsSent() const { return recordsSent_; }

  // Faults: bytes written as they are into the async status window.
  void WriteRawToAsyncWindow(std::span<const uint8_t> bytes);

 protected:
  void RegisterWritten(uint32_t offset, uint32_t value) override;
  void SurfaceChanged() override;

 private:
  void Report();

  bool reportArmed_ = false;
  uint64_t recordsSent_ = 0;
};

}  // namespace sim
