// The unit engine on the simulated bus without the Windows layer: a QX531Device whose platform
// operations are carried out over sim/ directly. Register reads and writes are bus transactions
// (a synchronous one waits for its completion), queued writes complete later at DISPATCH_LEVEL,
// host windows are address ranges of the host node, and settings live in a shared store that
// stands in for the registry. Tests steer the queued writes: deliver, hold and release in any
// order, complete inside the issuing call, refuse, or fail.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/kernel/wdm.h"
#include "sim/bus/HostNode.h"
#include "unit/QX531Device.h"

namespace sim {

// The settings store shared by every unit of one machine, as the registry value would be.
struct DoubleSettingsStore {
  std::optional<PreferencesBlock> block;
  uint32_t writes = 0;
};

enum class QueuedWriteMode {
  Deliver,  // the write goes out; its completion runs when the bus completes it
  Hold,     // the write goes out; its completion waits for ReleaseHeld
  Inline,   // the write goes out; its completion runs inside the issuing call
  Refuse,   // not queued: nonzero result and no completion
  Fail,     // not sent; the completion runs later with a failure status
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
  size_t HeldCount() const { return held_.size(); }
  // Runs the held completion at `index` (0 = the oldest) at DISPATCH_LEVEL.
  void ReleaseHeld(size_t index = 0);
  void ReleaseAllHeld();

  const std::vector<uint32_t>& MidiInEvents() const { return midiIn_; }
  uint32_t PanelRequests() const { return panelRequests_; }
  uint32_t NodeNumber() const { return mNodeNum; }
  uint32_t GenerationNumber() const { return mGenerationNumber; }
  uint32_t QueuedWritesIssued() const { return queuedIssued_; }
  uint32_t QueuedWritesCompleted() const { return queuedCompleted_; }

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
  struct HeldCompletion {
    WriteCompletion completion;
    void* context;
    uint32_t status;
  };
  uint64_t Address(uint32_t offset) const;
  // Sends one write and waits for it; false when the bus refused or failed it.
  bool WriteAndWait(uint32_t offset, std::span<const uint8_t> data);
  int32_t QueueWrite(uint32_t offset, std::span<const uint8_t> data, WriteCompletion completion, void* context);
  void Complete(WriteCompletion completion, void* context, uint32_t status);

  HostNode& host_;
  uint64_t guid_;
  DoubleSettingsStore& store_;
  QueuedWriteMode mode_ = QueuedWriteMode::Deliver;
  std::deque<HeldCompletion> held_;
  std::vector<uint32_t> midiIn_;
  uint32_t panelRequests_ = 0;
  uint32_t queuedIssued_ = 0;
  uint32_t queuedCompleted_ = 0;
  uint64_t resetListener_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // One spin lock per kind of engine lock; the unit table's is shared by every unit.
  static constexpr size_t kEngineLocks = 4;
  PKSPIN_LOCK LockOf(EngineLock lock);
  KSPIN_LOCK unitLocks_[kEngineLocks] = {};
  KIRQL heldIrql_[kEngineLocks] = {};
};

}  // namespace sim
