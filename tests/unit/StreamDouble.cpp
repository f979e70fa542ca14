#include "tests/unit/StreamDouble.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"

namespace {

constexpr uint64_t kMicro = 1000000;
constexpr uint64_t kCyclesPerSecond = 8000;
constexpr uint32_t kRecordChannel = 1;

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint32_t CycleTimeWord(uint64_t cycle) {
  return static_cast<uint32_t>((cycle / kCyclesPerSecond) % 128) << 25 |
         static_cast<uint32_t>(cycle % kCyclesPerSecond) << 12;
}

int32_t Ignore(void*, uint32_t) { return 0; }

}  // namespace

StreamDouble::StreamDouble() { LookLikeMainUnit(); }

void StreamDouble::Start(uint32_t sampleRate, uint32_t frames, uint32_t inputMask, uint32_t outputMask) {
  mRegisters[QX5310_RATE_CLOCK] = RateCode(sampleRate) | 1;
  HandlePlugIn();
  SetBufferFrames(frames);
  SetMasks(inputMask, outputMask);
  StartAudioStreams();
}

bool StreamDouble::RunUntilLocked(uint64_t cycles) {
  const uint64_t end = mCycle + cycles;
  while (mCycle < end && !(IsStreamValid() && LockState() == 2)) RunCycles(64);
  return IsStreamValid() && LockState() == 2;
}

void StreamDouble::RunCycles(uint64_t cycles) {
  const uint64_t target = mCycle + cycles;
  while (mRunning) {
    uint64_t recordEnd = UINT64_MAX;
    if (!mRecordLists.empty()) {
      const AttachedList& head = mRecordLists.front();
      const bool drop = !mFaults.empty() && mFaults.front() == Fault::DropPacket && mUnitStreaming && mUnitArmed;
      recordEnd = std::max(mRecordCursor, head.mStart) + head.mCount + (drop ? 1 : 0);
    }
    uint64_t playbackEnd = UINT64_MAX;
    if (!mPlaybackLists.empty()) playbackEnd = mPlaybackLists.front().mStart + mPlaybackLists.front().mCount;
    const uint64_t next = std::min(recordEnd, playbackEnd);
    if (next > target) break;
    mCycle = std::max(mCycle, next);
    if (recordEnd <= playbackEnd) {
      CompleteRecord();
    } else {
      CompletePlayback();
    }
  }
  mCycle = std::max(mCycle, target);
}

int32_t StreamDouble::StartIsochStreams() {
  if (const int32_t result = UnitDouble::StartIsochStreams(); result != 0) return result;
  mRunning = true;
  const uint64_t start = mCycle + 4096;
  mRecordCursor = start;
  mSchedule = start;
  mRecordLists.clear();
  mPlaybackLists.clear();
  mRecordLists.push_back({0, mRecordPacketsA, start, {}});
  mRecordLists.push_back({1, mRecordPacketsB, start, {}});
  for (uint32_t list = 0; list < 2; ++list) {
    const uint32_t count = list == 0 ? mPlaybackPacketsA : mPlaybackPacketsB;
    const uint32_t* lengths = list == 0 ? mPlaybackLengthsA : mPlaybackLengthsB;
    mPlaybackSchedule[list] = CycleTimeWord(mSchedule);
    mPlaybackLists.push_back({list, count, mSchedule, {lengths, lengths + count}});
    mSchedule += list == 0 ? mRecordPacketsA : mRecordPacketsB;
  }
  EnableRecordStream(Ignore, nullptr);
  EnablePlaybackStream(Ignore, nullptr);
  return 0;
}

int32_t StreamDouble::StopIsochStreams() {
  mRunning = false;
  mRecordLists.clear();
  mPlaybackLists.clear();
  return UnitDouble::StopIsochStreams();
}

int32_t StreamDouble::RequeueBuffers(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets,
                                     const uint32_t* lengths) {
  if (!mRunning) return 0;
  mRecordLists.push_back({list, recordPackets, mCycle, {}});
  mPlaybackSchedule[list] = CycleTimeWord(mSchedule);
  mPlaybackLists.push_back({list, playbackPackets, mSchedule, {lengths, lengths + playbackPackets}});
  mSchedule += playbackPackets;
  return 0;
}

int32_t StreamDouble::WriteQuadlet(PlatformHandle handle, uint32_t offset, uint32_t value) {
  const int32_t result = UnitDouble::WriteQuadlet(handle, offset, value);
  UnitRegisterWritten(offset, value);
  return result;
}

int32_t StreamDouble::WriteQuadletAsync(PlatformHandle handle, uint32_t offset, const uint32_t* value,
                                        WriteCompletion completion, void* context) {
  const uint32_t written = *value;
  const int32_t result = UnitDouble::WriteQuadletAsync(handle, offset, value, completion, context);
  if (result == 0) UnitRegisterWritten(offset, written);
  return result;
}

void StreamDouble::UnitRegisterWritten(uint32_t offset, uint32_t value) {
  if (offset == QX5310_CONTROL_BITS) {
    if (value & kControlStreamingOn) mUnitStreaming = true;
    if (value & kControlStreamingOff) mUnitStreaming = mUnitArmed = false;
  } else if (offset == QX5310_STREAM_RESTART && value == 1) {
    if (const uint32_t rate = SampleRateOfCode(mRegisters[QX5310_RATE_CLOCK]); rate != 0) mUnitRate = rate;
    mUnitChannels = static_cast<uint32_t>(std::min(std::popcount(mRegisters[QX5310_INPUT_MASK]), 18));
    mUnitDbc = 0;
    mAccumulator = 0;
    mUnitArmed = true;
  }
}

void StreamDouble::SendRecordPacket(uint8_t* slot) {
  const bool sending = mUnitStreaming && mUnitArmed && mRegisters[QX5310_RECORD_ENABLE] == 1;
  uint32_t blocks = 0;
  if (sending) {
    mAccumulator += uint64_t{mUnitRate} * static_cast<uint64_t>(static_cast<int64_t>(kMicro) + mClockPpm);
    blocks = static_cast<uint32_t>(mAccumulator / (kMicro * kCyclesPerSecond));
    mAccumulator -= blocks * kMicro * kCyclesPerSecond;
  }
  const uint32_t dbs = mUnitChannels + 2;
  uint32_t headerDbs = dbs;
  uint32_t length = 8 + blocks * dbs * 4;
  if (sending && !mFaults.empty() && mFaults.front() != Fault::DropPacket) {
    const Fault fault = mFaults.front();
    mFaults.pop_front();
    if (fault == Fault::WrongDbs) headerDbs = dbs + 1;
    if (fault == Fault::EmptyPacket) {
      mAccumulator += blocks * kMicro * kCyclesPerSecond;
      blocks = 0;
      length = 8;
    }
    if (fault == Fault::OversizedPacket) length = 1300;
  }

  const uint32_t stamp = static_cast<uint32_t>(mCycle % kCyclesPerSecond) |
                         static_cast<uint32_t>((mCycle / kCyclesPerSecond) & 7) << 13;
  const uint32_t isoHeader = length << 16 | 1u << 14 | kRecordChannel << 8 | 0xA << 4;
  std::memcpy(slot, &stamp, 4);
  std::memcpy(slot + 4, &isoHeader, 4);
  PutBe32(slot + 8, 2u << 24 | headerDbs << 16 | mUnitDbc);
  PutBe32(slot + 12, 0xBE000000);
  uint8_t* block = slot + 16;
  for (uint32_t b = 0; b < blocks; ++b, ++mUnitFrame) {
    const uint32_t index = mStatusPosition;
    PutBe32(block, index);
    block += 4;
    for (uint32_t k = 0; k < mUnitChannels; ++k, block += 4) PutBe32(block, Sample(k, mUnitFrame));
    const uint32_t word = index == 52 && mUnitWords[52] == 0 ? (mRegisters[QX5310_RATE_CLOCK] & 0x8307) : mUnitWords[index];
    PutBe32(block, word);
    block += 4;
    mStatusPosition = (mStatusPosition + 1) % 64;
  }
  mUnitDbc = (mUnitDbc + blocks) & 0xFF;
  if (mVerify && sending && blocks != 0) mRecordBlockCounts.push_back(blocks);
}

void StreamDouble::CompleteRecord() {
  AttachedList list = std::move(mRecordLists.front());
  mRecordLists.pop_front();
  uint8_t lost[1220];
  uint64_t cycle = mRecordCursor;
  const uint64_t start = std::max(mRecordCursor, list.mStart);
  // Packets that arrived while no list was attached are gone.
  for (mCycle = cycle; mCycle < start; ++mCycle) SendRecordPacket(lost);
  uint8_t* const* slots = list.mList == 0 ? mRecordSlotsA : mRecordSlotsB;
  for (uint32_t i = 0; i < list.mCount; ++i, ++mCycle) {
    if (i == list.mCount / 2 && !mFaults.empty() && mFaults.front() == Fault::DropPacket && mUnitStreaming &&
        mUnitArmed) {
      mFaults.pop_front();
      SendRecordPacket(lost);
      ++mCycle;
    }
    SendRecordPacket(slots[i]);
  }
  mRecordCursor = mCycle;
  if (list.mList == 0) {
    HandleInputBufferACallback();
  } else {
    HandleInputBufferBCallback();
  }
}

void StreamDouble::CompletePlayback() {
  AttachedList list = std::move(mPlaybackLists.front());
  mPlaybackLists.pop_front();
  uint8_t* const* slots = list.mList == 0 ? mPlaybackSlotsA : mPlaybackSlotsB;
  for (uint32_t i = 0; i < list.mCount; ++i) ReceivePlaybackPacket(slots[i], list.mLengths[i]);
  if (list.mList == 0) {
    HandleOutputBufferACallback();
  } else {
    HandleOutputBufferBCallback();
  }
}

void StreamDouble::ReceivePlaybackPacket(const uint8_t* packet, uint32_t length) {
  if (!mVerify) return;
  const uint32_t dbs = packet[1];
  const uint32_t dbc = packet[3];
  if (packet[0] != mlocalNodeNum || packet[2] != 0 || GetBe32(packet + 4) != 0xBE000000 || length < 8 ||
      (dbs != 0 && dbs != mOutputChannels)) {
    ++mPlaybackHeaderErrors;
    return;
  }
  const uint32_t blocks = dbs == 0 ? 0 : (length - 8) / (dbs * 4);
  if (dbs != 0 && (length - 8) % (dbs * 4) != 0) ++mPlaybackHeaderErrors;
  if (mHavePlaybackDbc && dbc != mNextPlaybackDbc) ++mDbcBreaks;
  mHavePlaybackDbc = true;
  mNextPlaybackDbc = (dbc + blocks) & 0xFF;
  if (blocks != 0) mPlayback.push_back({dbs, dbc, blocks});

  const uint32_t looped = std::min(dbs, mUnitChannels);
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint8_t* block = packet + 8 + b * dbs * 4;
    const uint32_t frame = GetBe32(block) & 0x7FFFFFF;
    if (mNextLoopFrame != UINT64_MAX && frame != (mNextLoopFrame & 0x7FFFFFF)) ++mLoopBreaks;
    for (uint32_t k = 0; k < looped; ++k) {
      if (GetBe32(block + 4 * k) != Sample(k, frame)) ++mLoopBreaks;
    }
    mNextLoopFrame = frame + 1;
    ++mLoopFrames;
  }
}

int32_t StreamDouble::DeliverMIDIInEvent(uint32_t event) {
  mMidiIn.push_back(event);
  return 0;
}

void StreamDouble::SetLamp(uint32_t lampId, uint32_t state) {
  mLampCalls.emplace_back(lampId, state);
  UnitDouble::SetLamp(lampId, state);
}

void StreamDouble::SetFaderMotor(uint32_t fader, uint32_t position) {
  mFaderCalls.emplace_back(fader, position);
  UnitDouble::SetFaderMotor(fader, position);
}

void StreamDouble::DispatchSurfaceState() {
  ++mDispatches;
  QX531Device::DispatchSurfaceState();
}

// As the platform does: record channels into the client halves, playback from them.
void StreamDouble::ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) {
  ++mHalves;
  if (record->mFrames != BufferFrames()) ++mBadHalves;
  if (!RecordBufferMatches(*record)) return;
  list &= 1;
  uint32_t* destinations[kInputArrays];
  destinations[0] = mStatusIndex;
  for (uint32_t k = 0; k < mInputChannels; ++k) destinations[k + 1] = mClientRecord[list][k];
  destinations[mInputChannels + 1] = mStatusValue;
  UnpackInputChannels(*record, destinations);
  if (mVerify && mInputChannels != 0) {
    for (uint32_t f = 0; f < record->mFrames; ++f) {
      const uint32_t frame = mClientRecord[list][0][f] & 0x7FFFFFF;
      if (mNextRecordFrame != UINT64_MAX && frame != (mNextRecordFrame & 0x7FFFFFF)) ++mFrameBreaks;
      mNextRecordFrame = frame + 1;
    }
  }
  if (PlaybackBufferMatches(*playback)) {
    const uint32_t* sources[kOutputArrays];
    for (uint32_t k = 0; k < kOutputArrays; ++k) sources[k] = mClientRecord[list][std::min(k, 17u)];
    PackOutputChannels(*playback, sources);
  }
  HandleStatusWords(record->mFrames);
}

std::function<void()> StreamDouble::Checkpoint(StreamBuffers buffers) {
  auto saved = std::make_shared<std::pair<StreamDoubleState, StreamDoubleInternals>>(
      static_cast<const StreamDoubleState&>(*this), static_cast<const StreamDoubleInternals&>(*this));
  return [this, unit = UnitDouble::Checkpoint(buffers), saved] {
    unit();
    static_cast<StreamDoubleState&>(*this) = saved->first;
    static_cast<StreamDoubleInternals&>(*this) = saved->second;
  };
}
