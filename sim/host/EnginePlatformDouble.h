// The unit engine on the simulated bus without the Windows layer: a QX531Device whose platform
// operations are carried out over sim/ directly. Register reads and writes are bus transactions
// (a synchronous one waits for its completion), queued writes complete later at DISPATCH_LEVEL,
// host windows are address ranges of the host node, and settings live in a shared store that
// stands in for the registry. Tests steer the queued writes through the bus's steering: deliver,
// hold and release in any order, complete inside the issuing call, refuse, or fail.
//
// The isochronous streams run on the host node as the Windows layer runs them: a channel and
// bandwidth per direction, lists A and B of each direction over the engine's packet slots, both
// streams starting 4096 cycles after the current cycle, each finished list handed to the engine's
// handler at DISPATCH_LEVEL and re-attached by RequeueBuffers, the playback lists scheduled back to
// back. Clients attach per-channel arrays for each half, and a callback runs after each half.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/kernel/include/wdm.h"
#include "sim/bus/HostNode.h"
#include "unit/QX531Device.h"

namespace sim {

// The settings store shared by every unit of one machine, as the registry value would be.
struct DoubleSettingsStore {
  std::optional<PreferencesBlock> block;
  uint32_t writes = 0;
};

struct StreamCounters {
  uint64_t listsDone[4] = {};   // record A, record B, playback A, playback B
  uint64_t halves = 0;          // halves whose record channels reached the client buffers
  uint64_t badHalves = 0;       // halves offered whose record frames were not the buffer frames
  uint64_t playbackSkipped = 0;  // converted halves whose playback buffer did not match
  uint64_t attachRefused = 0;   // lists handed back while still on the bus, or refused by it
};

enum class QueuedWriteMode {
  Deliver,  // the write goes out; its completion runs when the bus completes it
  Hold,     // the write goes out; its completion waits for ReleaseHeld
  Inline,   // the write is carried out and completes inside the issuing call
  Refuse,   // not queued: nonzero result and no completion
  Fail,     // not carried out; the completion runs later with a failure status
};

class EnginePlatformDouble : public QX531Device {
 public:
  static constexpr uint32_t kStatusSuccess = 0;
  static constexpr uint32_t kStatusDeparted = 0xC0120090;
  static constexpr uint32_t kStatusFailed = 0xC0000001;
  static constexpr int32_t kBusFailure = 1;

  EnginePlatformDouble(HostNode& host, uint64_t unitGuid, DoubleSettingsStore& store);
  ~EnginePlatformDouble() override;

  // What the Windows layer does on a bus reset: fresh ids, then the engine's own handling.
  void OnBusReset();

  void SetQueuedWriteMode(QueuedWriteMode mode) { mode_ = mode; }
  // The bus's held transactions.
  size_t HeldCount() const;
  // Runs the held completion at `index` (0 = the oldest) at DISPATCH_LEVEL.
  void ReleaseHeld(size_t index = 0);
  void ReleaseAllHeld();

  const std::vector<uint32_t>& MidiInEvents() const { return midiIn_; }
  uint32_t PanelRequests() const { return panelRequests_; }
  uint32_t NodeNumber() const { return mNodeNum; }
  uint32_t GenerationNumber() const { return mGenerationNumber; }
  uint32_t QueuedWritesIssued() const { return queuedIssued_; }
  uint32_t QueuedWritesCompleted() const { return queuedCompleted_; }

  // Channel buffers for a client, allocated as the driver allocates a client's buffers: a row per
  // channel (rows 0-17 for record, 18-35 for playback, or as the client likes) holding both halves
  // of kChannelArrayEntries quadlets, the rows laid out by the rule of unit/ChannelRows.h so that
  // no two rows the stream touches in one half are a multiple of 4 KiB apart. The block is
  // allocated, zeroed, at the first call and lives as long as the double.
  static constexpr uint32_t kClientRows = 2 * ::kMaxStreamChannels;
  uint32_t* ClientRow(uint32_t row, uint32_t half);

  // Client channel buffers of one half (0 or 1): the k-th streamed record channel is unpacked into
  // record[k], the k-th streamed playback channel is packed from playback[k], BufferFrames()
  // quadlets each in host order. A missing or null entry records into scratch or plays silence.
  // Naming the same arrays in both loops record to playback. Buffers that do not come from
  // ClientRow must follow the same layout rule.
  void AttachClientBuffers(uint32_t half, std::span<uint32_t* const> record, std::span<const uint32_t* const> playback);
  void DetachClientBuffers();
  // Runs at DISPATCH_LEVEL for each converted half, after its record channels were unpacked and
  // before its playback channels are packed. It must neither wait nor allocate.
  using HalfCallback = std::function<void(uint32_t half, uint32_t frames)>;
  void SetHalfCallback(HalfCallback callback) { halfCallback_ = std::move(callback); }

  const StreamCounters& Streams() const { return streams_; }
  uint32_t RecordChannel() const;
  uint32_t PlaybackChannel() const;
  // Virtual time from StartIsochStreams to the first half converted at lock state 2.
  std::optional<plat::VTime> LockTime() const { return lockTime_; }

 protected:
  int32_t ReadPreferences(PreferencesBlock* block, uint32_t) override;
  int32_t WritePreferences(const PreferencesBlock* block, uint32_t) override;
  int32_t PlatformQueryBus() override;
  int32_t ExtractNodeAndGenerationIDs() override;
  int32_t GetRegisterBase() override;
  int32_t OpenAddressHandle(PlatformHandle* handle, uint32_t block, uint32_t queued, uint32_t) override;
  int32_t CloseAddressHandle(PlatformHandle handle) override;
  int32_t AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) override;
  int32_t FreeIsochStreamObject(PlatformHandle stream) override;
  int32_t AllocateFWMemorySpace(PlatformHandle* range, uint32_t, void* buffer, uint32_t length, uint32_t* hi,
                                uint32_t* lo) override;
  int32_t FreeFWMemorySpace(PlatformHandle range) override;
  int32_t AllocateBuffer(StreamBuffer* descriptor, uint32_t length, uint32_t direction) override;
  int32_t FreeBuffer(StreamBuffer* descriptor) override;
  int32_t AllocateIsochStream(PlatformHandle stream, uint32_t direction) override;
  int32_t StartIsochStreams() override;
  int32_t StopIsochStreams() override;
  int32_t FreeIsochStream(PlatformHandle stream, uint32_t direction) override;
  int32_t WaitIsochIdle() override;
  int32_t RequeueBuffers(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets,
                         const uint32_t* lengths) override;
  void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) override;
  int32_t DeliverMIDIInEvent(uint32_t event) override;
  int32_t OnPanelRequest() override;
  uint32_t ReadQuadlet(PlatformHandle handle, uint32_t offset) override;
  int32_t WriteQuadlet(PlatformHandle handle, uint32_t offset, uint32_t value) override;
  int32_t WriteBlock(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length) override;
  int32_t WriteQuadletAsync(PlatformHandle handle, uint32_t offset, const uint32_t* value, WriteCompletion completion,
                            void* context) override;
  int32_t WriteBlockAsync(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length,
                          WriteCompletion completion, void* context) override;
  void AcquireEngineLock(EngineLock lock) override;
  void ReleaseEngineLock(EngineLock lock) override;

 private:
  struct StreamObject;
  // One list of one direction over the engine's packet slots.
  struct StreamList {
    IsoList list;
    IsoBuffer buffers[kPacketsPerList];
    bool busy = false;  // on the bus, or its completion not yet run
    uint64_t attachOrder = 0;
  };
  enum ListIndex : uint32_t { kRecordA, kRecordB, kPlaybackA, kPlaybackB };
  bool Attach(uint32_t which, uint32_t count, const uint32_t* lengths);
  void ListDone(uint32_t which);
  uint64_t Address(uint32_t offset) const;
  // Sends one write and waits for it; false when the bus refused or failed it.
  bool WriteAndWait(uint64_t address, std::span<const uint8_t> data);
  int32_t QueueWrite(uint32_t offset, std::span<const uint8_t> data, WriteCompletion completion, void* context);
  void Complete(WriteCompletion completion, void* context, uint32_t status);
  // The host windows' write handlers, as the Windows layer has them: the written bytes are copied
  // to the start of the engine's buffer before the engine runs.
  void OnMIDIReceiveWrite(uint8_t* buffer, uint32_t room, std::span<const uint8_t> data);
  void OnAsyncReceiveWrite(uint8_t* buffer, uint32_t room, std::span<const uint8_t> data);

  HostNode& host_;
  uint64_t guid_;
  DoubleSettingsStore& store_;
  QueuedWriteMode mode_ = QueuedWriteMode::Deliver;
  std::vector<uint32_t> midiIn_;
  uint32_t panelRequests_ = 0;
  uint32_t queuedIssued_ = 0;
  uint32_t queuedCompleted_ = 0;
  uint64_t resetListener_ = 0;
  // Streams: the lists live as long as the double, so a completion already queued on the bus
  // always finds its list.
  StreamList lists_[4];
  StreamObject* streamObjects_[2] = {};  // record, playback
  bool running_ = false;
  uint32_t schedule_ = 0;  // cycle-time word at which the next playback list starts
  uint64_t playbackEnd_ = 0;  // the bus cycle after the last playback list attached
  uint64_t attachCount_ = 0;
  plat::VTime startTime_ = 0;
  std::optional<plat::VTime> lockTime_;
  StreamCounters streams_;
  struct RowsFree {
    void operator()(uint8_t* rows) const;
  };
  std::unique_ptr<uint8_t[], RowsFree> clientRows_;
  uint32_t* clientRecord_[2][::kMaxStreamChannels] = {};
  const uint32_t* clientPlayback_[2][::kMaxStreamChannels] = {};
  HalfCallback halfCallback_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // One spin lock per kind of engine lock; the unit table's is shared by every unit.
  static constexpr size_t kEngineLocks = 4;
  PKSPIN_LOCK LockOf(EngineLock lock);
  KSPIN_LOCK unitLocks_[kEngineLocks] = {};
  KIRQL heldIrql_[kEngineLocks] = {};
};

}  // namespace sim
