#include "sim/units/Unit.h"

#include <algorithm>

namespace sim {

namespace {

uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// OVR level of index 25 (-2.5 dB) in bits 16-31, with the 0x104 that writes carry.
constexpr uint32_t kDefaultOvrLevel = 24572u << 16 | 0x104;
constexpr uint32_t kDefaultRateClock = 0x0101;  // 44100 Hz, internal clock

enum class Access { Read, ReadWrite, Write };

struct RegisterInfo {
  uint32_t offset;
  Access access;
};

// Every quadlet register a unit answers; everything else is an address error.
constexpr RegisterInfo kRegisters[] = {
    {0x000, Access::Read},      {0x004, Access::Read},      {0x008, Access::Read},      {0x00C, Access::Read},
    {0x144, Access::Write},     {0x180, Access::Write},     {0x184, Access::Write},     {0x188, Access::ReadWrite},
    {0x200, Access::ReadWrite}, {0x204, Access::ReadWrite}, {0x208, Access::ReadWrite}, {0x20C, Access::ReadWrite},
    {0x210, Access::ReadWrite}, {0x214, Access::ReadWrite}, {0x218, Access::ReadWrite}, {0x21C, Access::ReadWrite},
    {0x220, Access::ReadWrite}, {0x228, Access::ReadWrite}, {0x22C, Access::ReadWrite}, {0x230, Access::ReadWrite},
    {0x300, Access::ReadWrite}, {0x304, Access::ReadWrite}, {0x308, Access::ReadWrite}, {0x310, Access::ReadWrite},
    {0x314, Access::ReadWrite}, {0x318, Access::ReadWrite}, {0x400, Access::ReadWrite}, {0x404, Access::ReadWrite},
    {0x408, Access::ReadWrite}, {0x410, Access::ReadWrite}, {Unit::kChipIdHi, Access::Read},
    {Unit::kChipIdLo, Access::Read},
};

const RegisterInfo* Find(uint32_t offset) {
  for (const auto& r : kRegisters)
    if (r.offset == offset) return &r;
  return nullptr;
}

}  // namespace

Unit::Unit(uint64_t guid, const UnitVersions& versions)
    : Node(guid), versions_(versions), surface_(SurfaceLayout::ForHardwareVersion(versions.hardwareVersion)) {
  Unit::PowerOnReset();
  identity_.guid = guid;
  identity_.vendorId = static_cast<uint32_t>(guid >> 40);
  identity_.vendorName = kVendorName;
  identity_.unitSpecId = identity_.vendorId;
  identity_.unitSwVersion = kUnitSwVersion;
}

void Unit::SetModel(uint32_t modelId, const std::string& modelName) {
  identity_.modelId = modelId;
  identity_.modelName = modelName;
  rom_ = BuildConfigRom(identity_);
}

Unit::~Unit() { Unplug(); }

void Unit::Unplug() {
  if (GetBus() != nullptr) GetBus()->Detach(*this);
}

void Unit::SwitchOff() {
  Unplug();
  PowerOnReset();
}

void Unit::PowerOnReset() {
  regs_.fill(0);
  regs_[0x228 / 4] = kDefaultRateClock;
  regs_[0x230 / 4] = kDefaultOvrLevel;
  switches_ = 0;
  surface_.LampsOff();
  for (uint8_t c = 0; c < 16; ++c) midiIn_[c] = MidiPacketizer(c);
  counters_.midiInDropped += midiPending_.size();
  midiPending_.clear();
}

uint32_t Unit::Register(uint32_t offset) const {
  switch (offset) {
    case 0x000: return versions_.registerVersion;
    case 0x004: return versions_.fpgaVersion;
    case 0x008: return versions_.armVersion;
    case 0x00C: return versions_.hardwareVersion;
    case 0x188: return flash_.Status(GetBus() != nullptr ? GetBus()->Sched().Now() : 0);
    case 0x22C: return switches_;
    case kChipIdHi: return static_cast<uint32_t>(Guid() >> 32);
    case kChipIdLo: return static_cast<uint32_t>(Guid());
    default: return Stored(offset);
  }
}

AsyncStatus Unit::OnRead(uint8_t, uint64_t offset, std::span<uint8_t> out) {
  if (offset < kRegisterBase) return AsyncStatus::AddressError;
  uint64_t off = offset - kRegisterBase;
  if (off >= kConfigRom && off - kConfigRom < kConfigRomBytes) {
    uint64_t index = (off - kConfigRom) / 4;
    if (off % 4 != 0 || index >= rom_.size()) return AsyncStatus::AddressError;
    if (out.size() != 4) return AsyncStatus::TypeError;
    PutBe32(out.data(), rom_[index]);
    return AsyncStatus::Complete;
  }
  const RegisterInfo* info = off <= UINT32_MAX ? Find(static_cast<uint32_t>(off)) : nullptr;
  if (info == nullptr) return AsyncStatus::AddressError;
  if (out.size() != 4) return AsyncStatus::TypeError;
  PutBe32(out.data(), Register(info->offset));
  return AsyncStatus::Complete;
}

AsyncStatus Unit::OnWrite(uint8_t, uint64_t offset, std::span<const uint8_t> data) {
  if (offset < kRegisterBase || offset - kRegisterBase > UINT32_MAX) return AsyncStatus::AddressError;
  auto off = static_cast<uint32_t>(offset - kRegisterBase);
  plat::VTime now = GetBus() != nullptr ? GetBus()->Sched().Now() : 0;
  auto length = static_cast<uint32_t>(data.size());
  uint32_t first = data.size() >= 4 ? GetBe32(data.data()) : 0;
  if (off >= kMidiWindow && off < kMidiWindowEnd) {
    if (kMidiWindowEnd - off < length) return AsyncStatus::AddressError;
    writeLog_.push_back({now, off, first, length});
    TakeMidiOut(data);
    return AsyncStatus::Complete;
  }
  if (off >= kFlashWindow && off - kFlashWindow < Flash::kWindowSize) {
    if (!flash_.WriteWindow(off - kFlashWindow, data)) return AsyncStatus::AddressError;
    writeLog_.push_back({now, off, first, length});
    return AsyncStatus::Complete;
  }
  if (length != 4) return Find(off) != nullptr ? AsyncStatus::TypeError : AsyncStatus::AddressError;
  AsyncStatus s = WriteRegister(off, first);
  if (s == AsyncStatus::Complete) writeLog_.push_back({now, off, first, 4});
  return s;
}

AsyncStatus Unit::WriteRegister(uint32_t offset, uint32_t value) {
  const RegisterInfo* info = Find(offset);
  if (info == nullptr) return AsyncStatus::AddressError;
  if (info->access == Access::Read) return AsyncStatus::TypeError;
  plat::VTime now = GetBus() != nullptr ? GetBus()->Sched().Now() : 0;
  switch (offset) {
    case 0x144: flash_.WriteLength(value); break;
    case 0x180: flash_.WriteUnlock(value); break;
    case 0x184: flash_.WritePartition(value); break;
    case 0x188: flash_.WriteCommand(value, now); break;
    case 0x22C: {
      // A command word: bits 8-15 set switch bits 0-7, bits 16-23 clear them (a clear wins), bit
      // 25 sets and bit 26 clears switch bit 24.
      uint32_t s = (switches_ | (value >> 8 & 0xFF)) & ~(value >> 16 & 0xFF);
      if (value & 1u << 25) s |= 1u << 24;
      if (value & 1u << 26) s &= ~(1u << 24);
      switches_ = s;
      break;
    }
    case 0x400: {
      uint32_t fader = value & 0xFFFF;
      auto position = static_cast<uint16_t>(std::min<uint32_t>(value >> 16, Surface::kFaderMax));
      if (fader >= Surface::kFaders || !surface_.DriveFader(static_cast<int>(fader), position))
        ++counters_.faderWritesIgnored;
      break;
    }
    case 0x404: surface_.SetLamp(static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 16)); break;
    default: break;
  }
  regs_[offset / 4] = value;
  RegisterWritten(offset, value);
  if (offset == 0x400) SurfaceChanged();
  return AsyncStatus::Complete;
}

void Unit::RegisterWritten(uint32_t, uint32_t) {}
void Unit::SurfaceChanged() {}

void Unit::MoveFader(int fader, uint16_t position) {
  surface_.MoveFader(fader, position);
  SurfaceChanged();
}

void Unit::ReleaseFader(int fader) {
  surface_.Touch(fader, false);
  SurfaceChanged();
}

bool Unit::PressButton(uint16_t code) {
  bool known = surface_.PressButton(code);
  SurfaceChanged();
  return known;
}

bool Unit::ReleaseButton(uint16_t code) {
  bool known = surface_.ReleaseButton(code);
  SurfaceChanged();
  return known;
}

void Unit::TurnEncoder(int encoder, int delta) {
  surface_.TurnEncoder(encoder, delta);
  SurfaceChanged();
}

void Unit::TakeMidiOut(std::span<const uint8_t> data) {
  size_t whole = data.size() / 4 * 4;
  counters_.midiOutTailBytes += data.size() - whole;
  for (size_t i = 0; i < whole; i += 4) {
    uint32_t packet = GetBe32(&data[i]);
    uint8_t cable = static_cast<uint8_t>(packet >> 28);
    midiOut_[cable].push_back(packet);
    int n = MidiPacketizer::ByteCount(packet);
    for (int k = 0; k < n; ++k) midiOutBytes_[cable].push_back(static_cast<uint8_t>(packet >> (16 - 8 * k)));
  }
}

void Unit::ClearMidiOut() {
  for (auto& v : midiOut_) v.clear();
  for (auto& v : midiOutBytes_) v.clear();
}

void Unit::SendMidiIn(uint8_t cable, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) midiIn_[cable & 15].Feed(b, midiPending_);
  ArmMidiFlush();
}

void Unit::SendMidiInPacket(uint32_t packet) {
  midiPending_.push_back(packet);
  ArmMidiFlush();
}

void Unit::ArmMidiFlush() {
  if (midiFlushArmed_ || midiPending_.empty()) return;
  if (GetBus() == nullptr) {
    counters_.midiInDropped += midiPending_.size();
    midiPending_.clear();
    return;
  }
  midiFlushArmed_ = true;
  After(kMidiInDelay, [this] { FlushMidiIn(); });
}

void Unit::FlushMidiIn() {
  midiFlushArmed_ = false;
  if (Stored(0x300) != 1) {
    counters_.midiInDropped += midiPending_.size();
    midiPending_.clear();
    return;
  }
  for (size_t i = 0; i < midiPending_.size(); i += kMidiRecordsPerWrite) {
    size_t n = std::min(kMidiRecordsPerWrite, midiPending_.size() - i);
    std::array<uint8_t, kMidiRecordsPerWrite * 8> records{};
    for (size_t k = 0; k < n; ++k) PutBe32(&records[k * 8], midiPending_[i + k]);
    counters_.midiRecordsSent += n;
    WriteToHost(0x304, 0x308, std::span<const uint8_t>(records.data(), n * 8));
  }
  midiPending_.clear();
}

void Unit::WriteRawToMidiWindow(std::span<const uint8_t> bytes) { WriteToHost(0x304, 0x308, bytes); }

void Unit::WriteToHost(uint32_t hiRegister, uint32_t loRegister, std::span<const uint8_t> data) {
  uint32_t hi = Stored(hiRegister);
  uint16_t dest = static_cast<uint16_t>(hi >> 16);
  if (GetBus() == nullptr || (dest & 0xFFC0) != kLocalBus) {
    ++counters_.hostWritesFailed;
    return;
  }
  uint64_t offset = uint64_t{hi & 0xFFFF} << 32 | Stored(loRegister);
  bool sent = GetBus()->Write(*this, static_cast<uint8_t>(dest & 0x3F), offset, data, GetBus()->Generation(),
                              [this, life = Life()](AsyncStatus s) {
                                if (life.Expired() || s == AsyncStatus::Complete) return;
                                ++counters_.hostWritesFailed;
                                if (s == AsyncStatus::AddressError) ++counters_.hostWritesAddressError;
                              });
  if (!sent) ++counters_.hostWritesFailed;
}

}  // namespace sim
