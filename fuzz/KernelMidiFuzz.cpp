#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/QX531KernelInterface.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"

namespace {

// MIDI bytes a packet carries, by its code index number.
constexpr UCHAR kBytesOfCodeIndex[] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

// The unit's side: a MIDI-out ring with room for a given number of packets, each checked as the
// unit would read it.
class Port final : public ClientPort {
 public:
  BOOLEAN QueueMidiOut(ULONG packet) override {
    const ULONG cable = packet >> 28;
    const ULONG codeIndex = packet >> 24 & 0xF;
    if (!(mMidiOutMask >> cable & 1) || kBytesOfCodeIndex[codeIndex] == 0) std::abort();
    // A channel message carries its own status byte.
    if (codeIndex >= 0x8 && codeIndex <= 0xE && (packet >> 20 & 0xF) != codeIndex) std::abort();
    if (room == 0) {
      refused = true;
      return FALSE;
    }
    --room;
    ++queued;
    return TRUE;
  }
  void ApplyClientMode() override {}
  void RestartClient() override {}
  ULONG GetBufferFrames() override { return 256; }
  ULONG GetInputChannelCount() override { return kClientChannels; }
  ULONG GetOutputChannelCount() override { return kClientChannels; }
  void ClientSetSampleRate(ULONG) override {}
  void AttachClientPlaybackChannel(ULONG, BOOLEAN) override {}
  void DeliverMidiWord(ULONG) override {}
  void AttachClientRecordChannel(ULONG, BOOLEAN) override {}
  ULONG ExchangeClientBuffers(ULONG, ULONG64, ULONG64) override { return 0; }

  ULONG room = 0;
  ULONG queued = 0;
  bool refused = false;
};

}  // namespace

// Events a kernel client hands the driver for the unit. Byte 0 is the client's send mask, byte 1
// the room in the unit's ring; the rest are 16-byte events, sent in two calls split where byte 2
// says, the second from where the first stopped. Every event is consumed unless the ring was
// full, never more than were given, and what reaches the unit is a packet of a cable the client
// may send to.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  constexpr size_t kEvent = sizeof(KernelMidiEvent);
  std::vector<KernelMidiEvent> events((size - 3) / kEvent);
  if (!events.empty()) std::memcpy(events.data(), data + 3, events.size() * kEvent);
  const ULONG count = static_cast<ULONG>(events.size());
  const ULONG split = count == 0 ? 0 : data[2] % (count + 1);

  plat::RegistryHive::Clear();
  {
    plat::Scheduler sched;
    PDEVICE_OBJECT pdo = plat::PnpAddRootDevice(u"QXFUZZ\\KERNELMIDI", u"0");
    Port port;
    if (PublishKernelInterface(pdo, &port) != STATUS_SUCCESS) std::abort();
    KernelMidiSetupRecord setup{};
    for (ULONG n = 0; n < kMidiParserCables; ++n) setup.mSend[n] = data[0] >> n & 1;
    KernelInterfaceRecord entry{};
    if (GetInterfaceCallback(&entry, &port) != STATUS_SUCCESS) std::abort();
    entry.mInterface->ExecuteCommand(kKernelCommandMidiSetup, 0, &setup);
    port.room = data[1];

    // The second call sends again from where the first stopped.
    const ULONG first = DeliverMidiToClient(split, events.data(), setup.mDeliverArgument);
    if (first > split || (first < split && !port.refused)) std::abort();
    const ULONG rest = count - first;
    const ULONG second = DeliverMidiToClient(rest, events.data() + first, setup.mDeliverArgument);
    if (second > rest || (second < rest && !port.refused)) std::abort();
    if (port.queued > data[1]) std::abort();

    entry.mInterface->Release();
    UnpublishKernelInterface(&port);
    DetachKernelInterface(&port);
    plat::PnpRemoveRootDevice(pdo);
    if (!plat::PnpShutdown()) std::abort();
  }
  plat::RegistryHive::Clear();
  return 0;
}
