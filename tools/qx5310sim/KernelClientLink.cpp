#include "platform/kernel/WideText.h"
#include "tools/qx5310sim/KernelClientLink.h"

#include <cstring>

#include "platform/kclient/KernelClient.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Loader.h"

namespace {

constexpr ULONG kCommandStart = 0x1004;
constexpr ULONG kCommandMidiSetup = 0x1014;
constexpr ULONG kStartMidi = 0x2;
constexpr ULONG kCables = 8;
constexpr size_t kMidiSetupBytes = 96;
constexpr size_t kTakeAtMost = 1024;
constexpr uint8_t kEndOfSysEx = 0xF7;

// Code index numbers of a MIDIEventPacket.
constexpr uint32_t kCinSysExContinues = 0x4;
constexpr uint32_t kCinSingleByte = 0x5;
constexpr uint32_t kCinSysExEndsTwo = 0x6;
constexpr uint32_t kCinSysExEndsThree = 0x7;

PFILE_OBJECT File(void* file) { return static_cast<PFILE_OBJECT>(file); }

NTSTATUS Control(void* file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                 ULONG_PTR* information) {
  ULONG_PTR got = 0;
  const NTSTATUS status = plat::IoDeviceControl(File(file), code, in, inLength, out, outLength, &got);
  if (information != nullptr) *information = got;
  return status;
}

}  // namespace

KernelClientLink::~KernelClientLink() { Unload(); }

bool KernelClientLink::Load() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = plat::LdrLoadDriver(kclient::kService, kclient::kImage, &status);
  if (driver_ == nullptr) return false;
  PFILE_OBJECT file = nullptr;
  if (!NT_SUCCESS(plat::IoOpenFile(plat::U16(kclient::kDevice), &file, KernelMode))) return false;
  file_ = file;
  return true;
}

void KernelClientLink::Unload() {
  if (file_ != nullptr) plat::IoCloseFile(File(file_));
  file_ = nullptr;
  if (driver_ != nullptr) plat::LdrUnloadDriver(static_cast<PDRIVER_OBJECT>(driver_));
  driver_ = nullptr;
}

bool KernelClientLink::Bound() {
  kclient::State state{};
  return file_ != nullptr && NT_SUCCESS(Control(file_, kclient::kIoctlState, nullptr, 0, &state, sizeof state, nullptr)) &&
         state.bound != 0;
}

bool KernelClientLink::StartMidi() {
  if (file_ == nullptr) return false;
  auto command = [this](ULONG code, std::vector<UCHAR> record) {
    kclient::CommandRequest request{code, 0, static_cast<ULONG>(record.size()), 0};
    std::vector<UCHAR> in(sizeof request);
    std::memcpy(in.data(), &request, sizeof request);
    in.insert(in.end(), record.begin(), record.end());
    std::vector<UCHAR> out(sizeof(kclient::CommandReply) + record.size());
    if (!NT_SUCCESS(Control(file_, kclient::kIoctlCommand, in.data(), static_cast<ULONG>(in.size()), out.data(),
                            static_cast<ULONG>(out.size()), nullptr)))
      return false;
    kclient::CommandReply reply;
    std::memcpy(&reply, out.data(), sizeof reply);
    return NT_SUCCESS(reply.status);
  };
  std::vector<UCHAR> setup(kMidiSetupBytes, 0);
  for (ULONG n = 0; n < kCables; ++n) setup[4 * n] = setup[32 + 4 * n] = 1;
  std::vector<UCHAR> start(sizeof(ULONG), 0);
  start[0] = kStartMidi;
  for (bool& s : inSysEx_) s = false;
  return command(kCommandMidiSetup, setup) && command(kCommandStart, start);
}

// An event as the MIDIEventPacket the unit delivered: the status byte gives the code index, and a
// system-exclusive message runs on until its end byte.
std::vector<uint32_t> KernelClientLink::TakeMidiIn() {
  std::vector<uint32_t> packets;
  if (file_ == nullptr) return packets;
  std::vector<kclient::MidiEvent> events(kTakeAtMost);
  ULONG_PTR got = 0;
  if (!NT_SUCCESS(Control(file_, kclient::kIoctlTakeMidiIn, nullptr, 0, events.data(),
                          static_cast<ULONG>(events.size() * sizeof events[0]), &got)))
    return packets;
  events.resize(got / sizeof(kclient::MidiEvent));
  for (const kclient::MidiEvent& e : events) {
    const uint32_t cable = e.cableKind >> 4;
    const uint8_t b1 = e.bytes[0], b2 = e.bytes[1], b3 = e.bytes[2];
    uint32_t cin;
    if (inSysEx_[cable] || b1 == 0xF0) {
      cin = b1 == kEndOfSysEx ? kCinSingleByte : b2 == kEndOfSysEx ? kCinSysExEndsTwo
                                               : b3 == kEndOfSysEx ? kCinSysExEndsThree : kCinSysExContinues;
      inSysEx_[cable] = cin == kCinSysExContinues;
    } else {
      cin = b1 >> 4;
    }
    packets.push_back(cable << 28 | cin << 24 | uint32_t{b1} << 16 | uint32_t{b2} << 8 | b3);
  }
  midiIn_ += packets.size();
  return packets;
}

bool KernelClientLink::Send(uint32_t packet) {
  if (file_ == nullptr) return false;
  kclient::MidiEvent event{};
  event.cableKind = static_cast<UCHAR>((packet >> 28) << 4);
  event.bytes[0] = static_cast<UCHAR>(packet >> 16);
  event.bytes[1] = static_cast<UCHAR>(packet >> 8);
  event.bytes[2] = static_cast<UCHAR>(packet);
  ULONG consumed = 0;
  return NT_SUCCESS(Control(file_, kclient::kIoctlSendMidi, &event, sizeof event, &consumed, sizeof consumed, nullptr)) &&
         consumed == 1;
}
