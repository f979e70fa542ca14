// What the main unit and the expansion unit share: the register file as the host reaches it at
// 0xFFFF:0000_0000 + offset (big-endian quadlets), the configuration ROM at 0xFFFF:F000_0400 (read
// by quadlets), the chip id, the switch bits of 0x22C, lamps and fader motors, MIDI to and from the
// unit's ports, the flash, and the log of register writes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/ConfigRom.h"
#include "sim/bus/Node.h"
#include "sim/units/Flash.h"
#include "sim/units/MidiPacketizer.h"
#include "sim/units/Surface.h"

namespace sim {

struct UnitVersions {
  uint32_t registerVersion;  // 0x000
  uint32_t fpgaVersion;      // 0x004
  uint32_t armVersion;       // 0x008
  uint32_t hardwareVersion;  // 0x00C; bits 16-23 choose the surface layout
};

struct RegisterWrite {
  plat::VTime time;
  uint32_t offset;
  uint32_t value;   // the quadlet, or the first quadlet of a block
  uint32_t length;  // 4 for a quadlet write
};

struct UnitCounters {
  uint64_t midiRecordsSent = 0;
  uint64_t midiInDropped = 0;     // arrived while the unit had no MIDI notification enabled
  uint64_t hostWritesFailed = 0;  // writes into host windows refused or answered with an error
  uint64_t midiOutTailBytes = 0;  // bytes of MIDI-out blocks that were no whole event packet
  uint64_t faderWritesIgnored = 0;  // motor writes to a touched fader or a fader that does not exist
  uint64_t hostWritesAddressError = 0;  // of those, the host answered with an address error
};

class Unit : public Node {
 public:
  static constexpr uint64_t kRegisterBase = 0xFFFF'0000'0000ull;
  static constexpr uint32_t kMidiWindow = 0x4000, kMidiWindowEnd = 0x8000;
  static constexpr uint32_t kFlashWindow = 0x8000;
  static constexpr uint32_t kChipIdHi = 0xF000040C, kChipIdLo = 0xF0000410;
  static constexpr size_t kMidiRecordsPerWrite = 64;
  static constexpr plat::VTime kMidiInDelay = 320000;  // about one MIDI byte: records go out in groups
  static constexpr uint32_t kConfigRom = 0xF0000400;
  static constexpr const char* kVendorName = "Halvern";
  static constexpr uint32_t kUnitSwVersion = 0x000001;

  Unit(uint64_t guid, const UnitVersions& versions);
  ~Unit() override;

  bool Plug(Bus& bus) { return bus.Attach(*this); }
  void Unplug();
  // Switched off, the unit leaves the bus and keeps nothing but its flash and where its faders
  // stand; switched on, it joins the bus with every register at its power-on value.
  void SwitchOff();
  bool SwitchOn(Bus& bus) { return Plug(bus); }

  // What a person does at the surface. Moving a fader touches it; it stays touched until released.
  void MoveFader(int fader, uint16_t position);
  void ReleaseFader(int fader);
  bool PressButton(uint16_t code);  // a logical button code of the unit's surface layout
  bool ReleaseButton(uint16_t code);
  void TurnEncoder(int encoder, int delta);  // 0-7 encoders 1-8, 8 gain, 9 frequency, 10 Q
  void TurnJogWheel(int delta) { TurnEncoder(Surface::kDataWheel, delta); }
  const Surface& GetSurface() const { return surface_; }
  Flash& GetFlash() { return flash_; }
  const UnitCounters& Counters() const { return counters_; }
  const RomIdentity& Identity() const { return identity_; }
  const std::vector<uint32_t>& ConfigRom() const { return rom_; }

  // Registers as a read from the bus would return them.
  uint32_t Register(uint32_t offset) const;
  uint32_t SwitchBits() const { return switches_; }
  const std::vector<RegisterWrite>& WriteLog() const { return writeLog_; }
  void ClearWriteLog() { writeLog_.clear(); }

  // MIDI arriving at one of the unit's ports; reported to the host as 8-byte records.
  void SendMidiIn(uint8_t cable, std::span<const uint8_t> bytes);
  void SendMidiInPacket(uint32_t packet);
  // MIDI the host wrote to the unit, per cable: the event packets and the bytes they carry.
  const std::vector<uint32_t>& MidiOutPackets(uint8_t cable) const { return midiOut_[cable & 15]; }
  const std::vector<uint8_t>& MidiOutBytes(uint8_t cable) const { return midiOutBytes_[cable & 15]; }
  void ClearMidiOut();

  // Faults: bytes written as they are into the MIDI notification window.
  void WriteRawToMidiWindow(std::span<const uint8_t> bytes);

  AsyncStatus OnRead(uint8_t source, uint64_t offset, std::span<uint8_t> out) override;
  AsyncStatus OnWrite(uint8_t source, uint64_t offset, std::span<const uint8_t> data) override;

 protected:
  // After a quadlet register write was stored.
  virtual void RegisterWritten(uint32_t offset, uint32_t value);
  // After anything on the surface moved, by hand or by motor.
  virtual void SurfaceChanged();
  // Back to the state the unit has when it is switched on.
  virtual void PowerOnReset();
  // Writes into the host window that the registers hi (node and offset high) and lo name.
  void WriteToHost(uint32_t hiRegister, uint32_t loRegister, std::span<const uint8_t> data);
  // Runs fn after dt unless the unit is gone by then; no allocation when fn captures one pointer.
  template <class Fn>
  void After(plat::VTime dt, Fn fn) {
    if (GetBus() != nullptr) GetBus()->Sched().After(dt, Guarded(std::move(fn)));
  }
  // The quadlet last written to a register, 0 if none: an array read, as it is asked every cycle.
  uint32_t Stored(uint32_t offset) const {
    return offset < kStoredEnd && offset % 4 == 0 ? regs_[offset / 4] : 0;
  }
  // The model that the configuration ROM names.
  void SetModel(uint32_t modelId, const std::string& modelName);

  UnitVersions versions_;
  Surface surface_;
  UnitCounters counters_;

 private:
  AsyncStatus WriteRegister(uint32_t offset, uint32_t value);
  void TakeMidiOut(std::span<const uint8_t> data);
  void ArmMidiFlush();
  void FlushMidiIn();

  RomIdentity identity_;
  std::vector<uint32_t> rom_;
  static constexpr uint32_t kStoredEnd = 0x414;  // past the last writable register
  std::array<uint32_t, kStoredEnd / 4> regs_{};
  uint32_t switches_ = 0;
  Flash flash_;
  std::vector<RegisterWrite> writeLog_;
  std::array<std::vector<uint32_t>, 16> midiOut_;
  std::array<std::vector<uint8_t>, 16> midiOutBytes_;
  std::array<MidiPacketizer, 16> midiIn_;
  std::vector<uint32_t> midiPending_;
  bool midiFlushArmed_ = false;
};

}  // namespace sim
