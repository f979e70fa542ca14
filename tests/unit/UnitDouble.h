#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "unit/QX531Device.h"

// The persistent store of the settings block.
struct SettingsStore {
  bool mHasBlock = false;
  PreferencesBlock mBlock{};
  int32_t mWrites = 0;
};

// One register access as the unit saw it.
struct BusOp {
  enum Kind { Write, WriteBlock, QueuedWrite, QueuedBlock };
  Kind mKind;
  uint32_t mOffset;
  uint32_t mValue;             // quadlet writes
  std::vector<uint8_t> mData;  // block writes

  bool operator==(const BusOp&) const = default;
};

BusOp W(uint32_t offset, uint32_t value);   // synchronous quadlet write
BusOp Q(uint32_t offset, uint32_t value);   // queued quadlet write
std::ostream& operator<<(std::ostream& out, const BusOp& op);

enum class DoubleCompletions { Inline, Held, Refused, Failed };

// Everything the double keeps besides the engine, in one copyable part, so that a checkpoint can
// put the whole unit back.
struct UnitDoubleState {
  std::map<uint32_t, uint32_t> mRegisters;
  std::vector<BusOp> mWrites;
  DoubleCompletions mCompletions = DoubleCompletions::Inline;
  // The status of a failed completion.
  uint32_t mFailStatus = kWriteStatusDeparted;
  // Results of platform steps by operation name; absent names succeed.
  std::map<std::string, int32_t> mResults;
  // Stream buffer allocations from this one on fail.
  int32_t mFailBufferFrom = -1;
  std::vector<std::string> mCalls;
  std::vector<std::pair<uint32_t, uint32_t>> mOpenedHandles;  // {block flag, queued flag}
  std::vector<UnitNameRecord> mPortNames;
  int32_t mLiveBuffers = 0;
  int32_t mLiveHandles = 0;
  int32_t mPanelRequests = 0;
  int32_t mClientStreamStops = 0;
  int32_t mClientStreamRefreshes = 0;
  int32_t mRefused = 0;
  // Set when the engine changed a queued value before its completion ran.
  bool mQueuedValueChanged = false;
  int32_t mMostHeld = 0;
  // How deep completions that ran inside their issuing call nested.
  int32_t mMostNested = 0;

  // The host's node number as the next ExtractNodeAndGenerationIDs finds it.
  uint32_t mLocalNode = 0;
};

// An engine platform kept in memory: a register file, the writes in the order the unit received
// them, a settings store, and queued writes whose completions run inline, are held for the test
// to release, are refused, or complete with a failure status.
class UnitDouble : public QX531Device, public UnitDoubleState {
 public:
  using Completions = DoubleCompletions;

  explicit UnitDouble(SettingsStore* store = nullptr) { mInternals.mStore = store; }
  ~UnitDouble() override;

  // A main unit or an expansion unit as the registers show it.
  void LookLikeMainUnit(uint32_t hardwareVersion = 0);
  void LookLikeExpansionUnit(uint32_t serial);

  // Runs the oldest held completion with that status; false when none is held.
  bool ReleaseOne(uint32_t status = kWriteStatusSuccess);
  void ReleaseAll();
  std::size_t HeldCount() const { return mInternals.mHeld.size(); }

  // The queued writes only, in order.
  std::vector<BusOp> QueuedWrites() const;
  std::vector<BusOp> WritesTo(uint32_t offset) const;
  void ForgetWrites() { mWrites.clear(); }

  // What puts the whole unit back as it is now: the engine, the double, its settings store, the
  // unit table and, unless nothing can write them (no stream runs), the stream buffers' contents;
  // so that a fuzz target can run many inputs on one unit. Used with the same stream buffers
  // allocated as when it was taken.
  enum class StreamBuffers { Restore, Untouched };
  virtual std::function<void()> Checkpoint(StreamBuffers buffers = StreamBuffers::Restore);

  // Freed stream buffers are kept and handed out again instead of going back to the heap, for
  // fuzz targets that plug in and unplug for every input (a use after free is then not caught).
  bool mRecycleBuffers = false;

  const uint8_t* const* RecordSlots(int list) const { return list == 0 ? mRecordSlotsA : mRecordSlotsB; }
  const uint8_t* const* PlaybackSlots(int list) const { return list == 0 ? mPlaybackSlotsA : mPlaybackSlotsB; }

 protected:
  int32_t ReadPreferences(PreferencesBlock* block, uint32_t) override;
  int32_t WritePreferences(const PreferencesBlock* block, uint32_t) override;
  int32_t PlatformAttach() override { return Step("PlatformAttach"); }
  int32_t PlatformDetach() override { return Step("PlatformDetach"); }
  int32_t PlatformQueryBus() override { return Step("PlatformQueryBus"); }
  int32_t ExtractNodeAndGenerationIDs() override;
  int32_t GetRegisterBase() override;
  int32_t PlatformStartAudio() override { return Step("PlatformStartAudio"); }
  int32_t PlatformStopAudio() override { return Step("PlatformStopAudio"); }
  int32_t OpenAddressHandle(PlatformHandle* handle, uint32_t block, uint32_t queued, uint32_t) override;
  int32_t CloseAddressHandle(PlatformHandle) override;
  int32_t AllocateIsochStreamObject(PlatformHandle* stream, uint32_t direction) override;
  int32_t FreeIsochStreamObject(PlatformHandle) override { return Step("FreeIsochStreamObject"); }
  int32_t AllocateFWMemorySpace(PlatformHandle* range, uint32_t, void*, uint32_t length, uint32_t* hi,
                                uint32_t* lo) override;
  int32_t FreeFWMemorySpace(PlatformHandle) override { return Step("FreeFWMemorySpace"); }
  int32_t AllocateBuffer(StreamBuffer* buffer, uint32_t length, uint32_t) override;
  int32_t FreeBuffer(StreamBuffer* buffer) override;
  int32_t AllocateIsochStream(PlatformHandle, uint32_t direction) override;
  int32_t StartIsochStreams() override { return Step("StartIsochStreams"); }
  int32_t StopIsochStreams() override { return Step("StopIsochStreams"); }
  int32_t FreeIsochStream(PlatformHandle, uint32_t direction) override;
  int32_t WaitIsochIdle() override { return Step("WaitIsochIdle"); }
  int32_t OnPanelRequest() override;
  uint32_t ReadQuadlet(PlatformHandle, uint32_t offset) override;
  int32_t WriteQuadlet(PlatformHandle, uint32_t offset, uint32_t value) override;
  int32_t WriteBlock(PlatformHandle, uint32_t offset, const void* data, uint32_t length) override;
  int32_t WriteQuadletAsync(PlatformHandle, uint32_t offset, const uint32_t* value, WriteCompletion completion,
                            void* context) override;
  int32_t WriteBlockAsync(PlatformHandle, uint32_t offset, const void* data, uint32_t length,
                          WriteCompletion completion, void* context) override;
  int32_t SetMidiPortName(const UnitNameRecord& record) override;
  void StopClientStreams() override { ++mClientStreamStops; }
  void RefreshClientStreams() override { ++mClientStreamRefreshes; }

 private:
  struct Held {
    WriteCompletion mCompletion;
    void* mContext;
    const uint8_t* mSource;
    std::vector<uint8_t> mIssued;
  };

  int32_t Step(const char* name);
  int32_t Queue(BusOp op, const void* source, WriteCompletion completion, void* context);

  struct Internals {
    SettingsStore* mStore = nullptr;
    std::deque<Held> mHeld;
    int32_t mBuffersAllocated = 0;
    int32_t mNested = 0;
    uintptr_t mNextHandle = 0x1000;
    std::map<uint8_t*, uint32_t> mBuffers;  // the stream buffers and their lengths
  };
  Internals mInternals;
  std::vector<std::pair<uint8_t*, uint32_t>> mSpareBuffers;  // with mRecycleBuffers, kept across checkpoints
};
