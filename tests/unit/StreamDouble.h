#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "tests/unit/UnitDouble.h"
#include "unit/ChannelRows.h"

enum class StreamFault { DropPacket, WrongDbs, EmptyPacket, OversizedPacket };

// One packet as the unit received it.
struct StreamPlaybackPacket {
  uint32_t mDbs;
  uint32_t mDbc;
  uint32_t mBlocks;
};

// What the stream double keeps besides the unit double, copyable as a whole for checkpoints:
// the part tests read, and the double's own.
struct StreamDoubleState {
  // Off: the double only carries the lists and converts, checking nothing (benchmarks).
  bool mVerify = true;

  // The unit's side.
  int32_t mClockPpm = 0;
  uint32_t mUnitWords[64] = {};
  uint64_t mCycle = 0;
  uint32_t mUnitRate = 44100;
  bool mUnitArmed = false;
  bool mUnitStreaming = false;

  // What the engine delivered: converted halves, record frames seen, dispatches, MIDI.
  uint32_t mHalves = 0;
  uint32_t mBadHalves = 0;     // halves whose frames differ from the buffer frames
  uint32_t mFrameBreaks = 0;   // record frames that did not follow on
  uint64_t mNextRecordFrame = UINT64_MAX;
  uint32_t mDispatches = 0;
  uint32_t mSequenceHooks = 0;  // OnBufferSequenceError: list A rebuilt while invalid, or disorder
  std::vector<uint32_t> mMidiIn;
  std::vector<std::pair<uint32_t, uint32_t>> mLampCalls;
  std::vector<std::pair<uint32_t, uint32_t>> mFaderCalls;
  std::vector<uint32_t> mRecordBlockCounts;  // every data packet the unit sent, in order

  // What the unit received.
  std::vector<StreamPlaybackPacket> mPlayback;
  uint32_t mPlaybackHeaderErrors = 0;
  uint32_t mDbcBreaks = 0;
  uint32_t mLoopBreaks = 0;  // played samples that did not continue the looped frames
  uint64_t mLoopFrames = 0;
  uint64_t mNextLoopFrame = UINT64_MAX;
};

struct StreamDoubleInternals {
  struct AttachedList {
    uint32_t mList;
    uint32_t mCount;
    uint64_t mStart;
    std::vector<uint32_t> mLengths;
  };

  bool mRunning = false;
  std::deque<AttachedList> mRecordLists;
  std::deque<AttachedList> mPlaybackLists;
  uint64_t mRecordCursor = 0;  // the next cycle whose packet a record list takes
  uint64_t mSchedule = 0;
  std::deque<StreamFault> mFaults;

  uint32_t mUnitChannels = 0;
  uint32_t mUnitDbc = 0;
  uint32_t mStatusPosition = 0;
  uint64_t mUnitFrame = 0;
  uint64_t mAccumulator = 0;
  bool mHavePlaybackDbc = false;
  uint32_t mNextPlaybackDbc = 0;

  // Rows staggered by the layout rule, so the 18 channels do not share cache sets.
  uint32_t mClientRecord[2][18][ChannelRowPitch(kChannelArrayEntries * sizeof(uint32_t)) / sizeof(uint32_t)] = {};
};

// The in-memory platform carrying isochronous lists, with a main unit at the other end. Lists are
// attached in order and run one packet a bus cycle; a record list is filled by the unit's stream
// when it completes, a playback list is decoded as the unit receives it, and each completion
// calls the engine's handler as the bus driver's completion would. The unit follows its stream
// registers: it sends empty CIP packets until it is switched on and armed, then one data block
// per frame with the status index, its input channels and the status value.
//
// Client buffers loop record to playback: playback channel k plays what record channel k gave in
// the same half. Samples carry their channel and frame number: (channel + 1) << 27 | frame.
class StreamDouble : public UnitDouble, public StreamDoubleState, private StreamDoubleInternals {
 public:
  using Fault = StreamFault;
  using PlaybackPacket = StreamPlaybackPacket;

  StreamDouble();

  static uint32_t Sample(uint32_t channel, uint64_t frame) {
    return (channel + 1) << 27 | static_cast<uint32_t>(frame & 0x7FFFFFF);
  }

  // Plugs in, sets the rate and frames through the settings and both channel masks, starts streaming.
  void Start(uint32_t sampleRate, uint32_t frames, uint32_t inputMask = 0x3FFFF, uint32_t outputMask = 0x3FFFF);
  // Runs the bus until that many cycles have passed.
  void RunCycles(uint64_t cycles);
  // Runs until the stream locks; false when it did not within the cycles given.
  bool RunUntilLocked(uint64_t cycles);
  void InjectFault(Fault fault) { mFaults.push_back(fault); }

  std::function<void()> Checkpoint(StreamBuffers buffers = StreamBuffers::Restore) override;

  // Calls into the engine as the platform would.
  void SetMasks(uint32_t inputMask, uint32_t outputMask) {
    SetInputChannelMask(inputMask);
    SetOutputChannelMask(outputMask);
  }

  uint8_t* MidiWindow() { return mMIDIReceiveBuffer; }
  uint8_t* AsyncWindow() { return mAsyncReceiveBuffer; }
  const uint32_t* StatusIndexArray() const { return mStatusIndex; }
  uint32_t* StatusIndexArray() { return mStatusIndex; }
  uint32_t* StatusValueArray() { return mStatusValue; }

 protected:
  int32_t RequeueBuffers(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets,
                         const uint32_t* lengths) override;
  int32_t StartIsochStreams() override;
  int32_t StopIsochStreams() override;
  int32_t WriteQuadlet(PlatformHandle handle, uint32_t offset, uint32_t value) override;
  int32_t WriteQuadletAsync(PlatformHandle handle, uint32_t offset, const uint32_t* value,
                            WriteCompletion completion, void* context) override;
  int32_t DeliverMIDIInEvent(uint32_t event) override;
  void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) override;
  void DispatchSurfaceState() override;
  void OnBufferSequenceError() override { ++mSequenceHooks; }
  void SetLamp(uint32_t lampId, uint32_t state) override;
  void SetFaderMotor(uint32_t fader, uint32_t position) override;

 private:
  void UnitRegisterWritten(uint32_t offset, uint32_t value);
  // The unit's packet of the current cycle, written where the slot wants it.
  void SendRecordPacket(uint8_t* slot);
  void CompleteRecord();
  void CompletePlayback();
  void ReceivePlaybackPacket(const uint8_t* packet, uint32_t length);
};
