#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"

namespace {

enum List : uint32_t { kRecordA, kRecordB, kPlaybackA, kPlaybackB };

constexpr uint32_t kCyclesPerSecond = 8000;
constexpr uint32_t kMinRate = 40000;
constexpr uint32_t kMaxRate = 120000;
constexpr uint32_t kMinFrames = 32;
constexpr uint32_t kMaxFrames = 2048;
// Above this nominal rate even the shortest list carries more than a 32-frame buffer allows.
constexpr uint32_t kHighRate = 50000;
constexpr uint32_t kMinPackets = 4;
constexpr uint32_t kRecordHeaderBytes = 16;  // time stamp, iso header, CIP header
constexpr uint32_t kPlaybackHeaderBytes = 8;
constexpr uint32_t kMaxRecordDataLength = QX531Device::kRecordSlotPitch - 8;
constexpr uint32_t kMaxRecordBlocks = 15;
constexpr uint32_t kEscalatingErrors = 10;
constexpr uint32_t kRateMeasurePackets = 79999;
constexpr uint32_t kMeasuredEnoughPackets = 512;
constexpr uint32_t kRestartPasses = 23;

constexpr const char* kOrderLabels[] = {
    "QX531HandleInputBufferACallback ",
    "QX531HandleInputBufferBCallback ",
    "QX531HandleOutputBufferACallback ",
    "QX531HandleOutputBufferBCallback ",
};

constexpr uint64_t RoundDiv(uint64_t x, uint64_t y) { return (x + y / 2) / y; }

constexpr uint32_t ClampRate(uint64_t rate) {
  return static_cast<uint32_t>(std::clamp<uint64_t>(rate, kMinRate, kMaxRate));
}

uint32_t StreamFrames(uint32_t requested, uint32_t sampleRate) {
  return std::clamp(requested, sampleRate > kHighRate ? 2 * kMinFrames : kMinFrames, kMaxFrames);
}

void EmptyDescriptor(BufferDescriptor& descriptor) {
  descriptor.mChunks = 0;
  descriptor.mFrames = 0;
}

inline bool AppendChunk(BufferDescriptor& descriptor, uint8_t* data, uint32_t frames) {
  if (descriptor.mChunks == BufferDescriptor::kMaxChunks) return false;
  descriptor.mChunkData[descriptor.mChunks] = data;
  descriptor.mChunkFrames[descriptor.mChunks] = frames;
  ++descriptor.mChunks;
  descriptor.mFrames += frames;
  return true;
}

// Cuts the packets of one list into buffers: each packet's blocks go into the descriptor being
// filled; the part beyond its buffer goes into the spill descriptor, which becomes current. The
// chunk and frame counts of the descriptor being filled, and what it still takes, are kept here
// for the whole list and stored back when it changes and at Finish, rather than read and written
// in the descriptor for every packet.
class BufferCutter {
 public:
  BufferCutter(BufferDescriptor* current, BufferDescriptor& spill, uint32_t blockBytes, uint32_t frames)
      : mCurrent(current), mSpill(spill), mBlockBytes(blockBytes), mFrames(frames) {
    Load();
  }

  bool Full() const { return mChunks == BufferDescriptor::kMaxChunks; }

  // False when the blocks do not fit: a second spill in one list, or no chunk left.
  bool Cut(uint8_t* data, uint32_t blocks) {
    if (blocks < mRoom) {
      if (!Append(data, blocks)) return false;
      mRoom -= blocks;
      return true;
    }
    const uint32_t room = mRoom;
    if (room != 0) {
      if (!Append(data, room)) return false;
      mRoom = 0;
    }
    if (blocks == room) {
      SwitchToSpill();
      return true;
    }
    if (mCurrent == &mSpill) return false;
    SwitchToSpill();
    const bool appended = Append(data + room * mBlockBytes, blocks - room);
    mRoom = Room();
    return appended;
  }

  // Stores the counts back; the descriptor being filled at the end of the list.
  BufferDescriptor* Finish() {
    Store();
    return mCurrent;
  }

 private:
  uint32_t Room() const { return mFilled < mFrames ? mFrames - mFilled : 0; }
  void Load() {
    mChunks = mCurrent->mChunks;
    mFilled = mCurrent->mFrames;
    mRoom = Room();
  }
  void Store() {
    mCurrent->mChunks = mChunks;
    mCurrent->mFrames = mFilled;
  }
  bool Append(uint8_t* data, uint32_t frames) {
    if (Full()) return false;
    mCurrent->mChunkData[mChunks] = data;
    mCurrent->mChunkFrames[mChunks] = frames;
    ++mChunks;
    mFilled += frames;
    return true;
  }
  void SwitchToSpill() {
    Store();
    mCurrent = &mSpill;
    Load();
  }

  BufferDescriptor* mCurrent;
  BufferDescriptor& mSpill;
  const uint32_t mBlockBytes;
  const uint32_t mFrames;
  uint32_t mChunks = 0;
  uint32_t mFilled = 0;
  uint32_t mRoom = 0;
};

// A list's data lengths divided by its block size as a multiplication by the reciprocal, exact for
// every length a record slot holds and every block size of 2 to 20 quadlets. The reciprocals are
// a table, so a list does not pay a division for its own.
constexpr uint32_t kReciprocalShift = 20;
constexpr uint32_t kMaxBlockQuadlets = kMaxStreamChannels + 2;
constexpr uint32_t Reciprocal(uint32_t blockBytes) { return (1u << kReciprocalShift) / blockBytes + 1; }
constexpr uint32_t DivideByBlock(uint32_t bytes, uint32_t reciprocal) { return bytes * reciprocal >> kReciprocalShift; }

constexpr auto kReciprocals = [] {
  std::array<uint32_t, kMaxBlockQuadlets + 1> table{};
  for (uint32_t quadlets = 1; quadlets <= kMaxBlockQuadlets; ++quadlets) table[quadlets] = Reciprocal(4 * quadlets);
  return table;
}();

constexpr bool ReciprocalIsExact() {
  for (uint32_t quadlets = 2; quadlets <= kMaxBlockQuadlets; ++quadlets) {
    for (uint32_t bytes = 0; bytes <= kMaxRecordDataLength; ++bytes) {
      if (DivideByBlock(bytes, kReciprocals[quadlets]) != bytes / (4 * quadlets)) return false;
    }
  }
  return true;
}
static_assert(ReciprocalIsExact());

// The first two quadlets of a playback packet in bus order, as one little-endian word: source
// node, DBS, 0, DBC; 0xBE, 0, 0, 0.
static_assert(std::endian::native == std::endian::little);
constexpr uint64_t PlaybackHeader(uint32_t node, uint32_t dbs, uint32_t dbc) {
  return uint64_t{node & 0xFF} | uint64_t{dbs & 0xFF} << 8 | uint64_t{dbc & 0xFF} << 24 | uint64_t{0xBE} << 32;
}

}  // namespace

void QX531Device::SignalForIsocReinitialize() {
  mStreamInvalid = 1;
  LogString("QX531SignalForIsocReinitialize needed\n");
}

void QX531Device::InitEmptyOutputPackets(uint8_t* const* slots, uint32_t count, uint32_t* lengths) {
  const uint8_t header[8] = {static_cast<uint8_t>(mlocalNodeNum), 0, 0, static_cast<uint8_t>(mPlaybackDbc),
                             0xBE, 0, 0, 0};
  for (uint32_t i = 0; i < count; ++i) {
    lengths[i] = 8;
    if (slots[i] != nullptr) std::memcpy(slots[i], header, sizeof header);
  }
}

uint32_t QX531Device::BufferFrames() const { return StreamFrames(mRequestedFrames, mSampleRate); }

uint32_t QX531Device::ExtraPackets() const {
  if (mSampleRate <= kHighRate) return mBufferFrames == 32 || mBufferFrames == 64 ? 1 : 2;
  return mBufferFrames < 256 ? 1 : 2;
}

uint32_t QX531Device::PacketsForRate(uint32_t rate) const {
  const uint64_t packets = ExtraPackets() + RoundDiv(uint64_t{mBufferFrames} * kCyclesPerSecond, rate);
  return static_cast<uint32_t>(std::clamp<uint64_t>(packets, kMinPackets, kPacketsPerList));
}

// The list that ends the next two buffers: what the other list of the pair leaves of them, plus the
// extra packets that keep a list from falling short.
uint32_t QX531Device::LockedPacketCount(uint32_t otherRecordPackets) const {
  const int64_t rate = mMeasuredRate;
  const int64_t otherFrames = (rate * otherRecordPackets + kCyclesPerSecond / 2) / kCyclesPerSecond;
  const int64_t frames = 2 * int64_t{mBufferFrames} - otherFrames - int64_t{mAccumulatedFrames};
  const int64_t scaled = frames * kCyclesPerSecond;
  const int64_t packets = ExtraPackets() + (scaled >= 0 ? (scaled + rate / 2) / rate : (scaled - rate / 2) / rate);
  return static_cast<uint32_t>(std::clamp<int64_t>(packets, kMinPackets, kPacketsPerList));
}

uint32_t QX531Device::FrameLimit() const {
  if (mSampleRate <= kHighRate) return mBufferFrames + (mBufferFrames == 32 ? 16 : mBufferFrames / 4);
  return mBufferFrames + (mBufferFrames < 256 ? mBufferFrames / 2 : mBufferFrames / 4);
}

void QX531Device::InitBufferDescriptor(BufferDescriptor* descriptor, uint32_t mask, uint32_t count) {
  descriptor->mUseCount = 0;
  descriptor->mChunks = 0;
  descriptor->mFrames = 0;
  descriptor->mTargetFrames = mBufferFrames;
  descriptor->mChannelMask = mask;
  descriptor->mChannelCount = count;
}

void QX531Device::RestartDescriptors() {
  InitBufferDescriptor(&mDescriptors[kRecordA], mInputMask, mInputChannels);
  InitBufferDescriptor(&mDescriptors[kRecordB], mInputMask, mInputChannels);
  InitBufferDescriptor(&mDescriptors[kPlaybackA], mOutputMask, mOutputChannels);
  InitBufferDescriptor(&mDescriptors[kPlaybackB], mOutputMask, mOutputChannels);
  mCurrentRecord = &mDescriptors[kRecordA];
  mCurrentPlayback = &mDescriptors[kPlaybackA];
}

void QX531Device::ComputeBufferGeometry() {
  mMeasuredRate = ClampRate(mMeasuredRate);
  mBufferFrames = StreamFrames(mRequestedFrames, mSampleRate);
  mAccumulatedFrames = 0;
  mExpectedDbc = UINT32_MAX;
  mPacketsPerBuffer = PacketsForRate(mMeasuredRate);
  mRateMeasurePackets = 0;
  mRateMeasureFrames = 0;
  mRateMeasureDone = 0;
  RestartDescriptors();
  mRingRead = mRingWrite = 0;
}

void QX531Device::ResetStreamState() {
  mMeasuredRate = mSampleRate;
  ComputeBufferGeometry();
  mRecordPacketsA = mRecordPacketsB = mPlaybackPacketsA = mPlaybackPacketsB = mPacketsPerBuffer;
  mLockState = 0;
  mPlaybackDbc = 0;
  std::memset(mCompletionCounts, 0, sizeof mCompletionCounts);
  mSequenceLogged = 0;
  mStreamInvalid = 1;
  InitEmptyOutputPackets(mPlaybackSlotsA, kPacketsPerList, mPlaybackLengthsA);
  InitEmptyOutputPackets(mPlaybackSlotsB, kPacketsPerList, mPlaybackLengthsB);
}

bool QX531Device::RecordBufferMatches(const BufferDescriptor& buffer) const {
  return buffer.mFrames == mBufferFrames && buffer.mChannelMask == mInputMask &&
         buffer.mChannelCount == mInputChannels;
}

bool QX531Device::PlaybackBufferMatches(const BufferDescriptor& buffer) const {
  return buffer.mFrames == mBufferFrames && buffer.mChannelMask == mOutputMask &&
         buffer.mChannelCount == mOutputChannels;
}

void QX531Device::HandleInputBufferACallback() { CompleteList(kRecordA); }
void QX531Device::HandleInputBufferBCallback() { CompleteList(kRecordB); }
void QX531Device::HandleOutputBufferACallback() { CompleteList(kPlaybackA); }
void QX531Device::HandleOutputBufferBCallback() { CompleteList(kPlaybackB); }

// A list is processed once both directions of its letter are back. The normal orders (record A,
// playback A, record B, playback B, or both records first) only ever wait here.
void QX531Device::CompleteList(uint32_t which) {
  const uint32_t letter = which & 1;
  const bool playback = which >= kPlaybackA;
  const uint32_t count = ++mCompletionCounts[which];
  if (playback) {
    mCompletionStamps[which] = (mPlaybackSchedule[letter] >> 12) & 0x1FFF;
  } else {
    const uint8_t* slot = letter == 0 ? mRecordSlotsA[0] : mRecordSlotsB[0];
    mCompletionStamps[which] = slot == nullptr ? 0 : (slot[0] | (slot[1] & 0x1F) << 8);
  }
  const uint32_t other = mCompletionCounts[which ^ 2];
  const uint32_t sibling = mCompletionCounts[which ^ 1];

  if (playback && count > other + 1 && !mSequenceLogged) {
    LogString(letter == 0 ? "Input stream stopped (A)\n" : "Input stream stopped (B)\n");
    mSequenceLogged = 1;
  }
  if (count == other) {
    ProcessIsocBuffer(letter, mCompletionStamps[kRecordA + letter], mCompletionStamps[kPlaybackA + letter]);
    return;
  }
  const bool waiting = letter == 0 ? count == sibling + 1 : count == sibling;
  if (count <= other + 1 && waiting) return;
  if (!mSequenceLogged) {
    LogString(kOrderLabels[which]);
    LogDecimal(static_cast<int32_t>(count));
    LogString(" ");
    LogDecimal(static_cast<int32_t>(other));
    LogString(" (");
    LogDecimal(static_cast<int32_t>(sibling));
    LogString(")\n");
    mSequenceLogged = 1;
  }
  OnBufferSequenceError();
  SignalForIsocReinitialize();
}

void QX531Device::ProcessIsocBuffer(uint32_t list, uint32_t recordStamp, uint32_t playbackStamp) {
  list &= 1;
  if (!mStreamInvalid) TakeRecordList(list);
  if (mStreamInvalid) {
    if (list == 0) {
      RestartListA();
    } else {
      RestartListB();
    }
  } else if (list == 0) {
    RunListA(recordStamp, playbackStamp);
  } else {
    RunListB();
  }
}

void QX531Device::CountStreamError(uint32_t& counter) {
  mStreamInvalid = 1;
  if (++counter < kEscalatingErrors) return;
  counter = 0;
  SignalForIsocReinitialize();
}

// Checks the list's record packets and cuts their blocks into the record buffers. A list stops at
// its first failed check, so one bad packet counts as one error. The expected DBC, the ring's write
// index and the buffer being filled stay in locals for the list and are stored once at its end.
void QX531Device::TakeRecordList(uint32_t list) {
  for (BufferDescriptor& descriptor : mDescriptors) ++descriptor.mUseCount;
  EmptyDescriptor(mDescriptors[kRecordA + (list ^ 1)]);
  EmptyDescriptor(mDescriptors[kPlaybackA + (list ^ 1)]);
  // The list fills its own letter's buffer first. After a restart the descriptor marked current is
  // the other letter's, just emptied, and filling it would spill into itself.
  BufferCutter cutter(&mDescriptors[kRecordA + list], mDescriptors[kRecordA + (list ^ 1)], (mInputChannels + 2) * 4,
                      mBufferFrames);

  uint8_t* const* slots = list == 0 ? mRecordSlotsA : mRecordSlotsB;
  const uint32_t packets = list == 0 ? mRecordPacketsA : mRecordPacketsB;
  const uint32_t dbs = mInputChannels + 2;
  const uint32_t blockBytes = dbs * 4;
  const uint32_t reciprocal = kReciprocals[std::min(dbs, kMaxBlockQuadlets)];
  uint32_t expectedDbc = mExpectedDbc;
  uint32_t ringWrite = mRingWrite;
  uint32_t blocksInList = 0;
  bool overflow = false;
  enum class Stop { None, Invalid, Dbc, Dbs } stop = Stop::None;
  for (uint32_t i = 0; i < packets; ++i) {
    uint8_t* slot = slots[i];
    const uint32_t length = slot[6] | uint32_t{slot[7]} << 8;
    if (length < 9 || length > kMaxRecordDataLength) {
      stop = Stop::Invalid;
      break;
    }
    const uint32_t packetDbs = slot[9];
    const uint32_t dbc = slot[11];
    if (expectedDbc > 0xFF) expectedDbc = dbc;
    if (dbc != expectedDbc) {
      stop = Stop::Dbc;
      break;
    }
    if (packetDbs != dbs) {
      stop = Stop::Dbs;
      break;
    }
    const uint32_t dataBytes = length - 8;
    const uint32_t blocks = DivideByBlock(dataBytes, reciprocal);
    if (dataBytes != blocks * blockBytes || blocks > kMaxRecordBlocks) {
      stop = Stop::Invalid;
      break;
    }
    expectedDbc = (dbc + blocks) & 0xFF;
    blocksInList += blocks;
    if (cutter.Full()) {
      overflow = true;
      continue;
    }
    mBlockRing[ringWrite] = blocks;
    ringWrite = ringWrite + 1 == kBlockRingEntries ? 0 : ringWrite + 1;
    if (!cutter.Cut(slot + kRecordHeaderBytes, blocks)) overflow = true;
  }
  mExpectedDbc = expectedDbc;
  mRingWrite = ringWrite;
  mCurrentRecord = cutter.Finish();
  switch (stop) {
    case Stop::None:
      break;
    case Stop::Invalid:
      mStreamInvalid = 1;
      return;
    case Stop::Dbc:
      CountStreamError(mDbcErrors);
      return;
    case Stop::Dbs:
      CountStreamError(mDbsErrors);
      return;
  }

  const uint32_t sum = mAccumulatedFrames + blocksInList;
  if (sum < mBufferFrames || sum > FrameLimit()) {
    mStreamInvalid = 1;
    mMeasuredRate = ClampRate(RoundDiv(uint64_t{blocksInList} * kCyclesPerSecond, packets));
    return;
  }
  mAccumulatedFrames = sum - mBufferFrames;
  TakeRateMeasurement(packets, blocksInList);
  if (overflow) mStreamInvalid = 1;
}

void QX531Device::TakeRateMeasurement(uint32_t packets, uint32_t blocks) {
  mRateMeasurePackets += packets;
  mRateMeasureFrames += blocks;
  // Worked out only when taken: once measured, a list pays no division for it.
  auto rate = [this] {
    return ClampRate(RoundDiv(uint64_t{mRateMeasureFrames} * kCyclesPerSecond, mRateMeasurePackets));
  };
  if (mRateMeasurePackets > kRateMeasurePackets) {
    mMeasuredRate = rate();
    mRateMeasurePackets = 0;
    mRateMeasureFrames = 0;
    mDbcErrors = 0;
    mDbsErrors = 0;
    mRateMeasureDone = 1;
  } else if (!mRateMeasureDone) {
    mMeasuredRate = rate();
  }
}

void QX531Device::RequeueEmpty(uint32_t list, uint32_t recordPackets, uint32_t playbackPackets) {
  uint32_t* lengths = list == 0 ? mPlaybackLengthsA : mPlaybackLengthsB;
  (list == 0 ? mRecordPacketsA : mRecordPacketsB) = recordPackets;
  (list == 0 ? mPlaybackPacketsA : mPlaybackPacketsB) = playbackPackets;
  InitEmptyOutputPackets(list == 0 ? mPlaybackSlotsA : mPlaybackSlotsB, playbackPackets, lengths);
  RequeueBuffers(list, recordPackets, playbackPackets, lengths);
}

// The drift is how many cycles the playback list ends after the record list; the playback side
// takes it back before the stream is allowed to lock.
void QX531Device::RunListA(uint32_t recordStamp, uint32_t playbackStamp) {
  const int32_t playbackEnd = static_cast<int32_t>((playbackStamp + mPlaybackPacketsA) % kCyclesPerSecond);
  const int32_t recordEnd = static_cast<int32_t>((recordStamp + mRecordPacketsA) % kCyclesPerSecond);
  int32_t drift = playbackEnd - recordEnd;
  if (drift > 4000) drift -= 8000;
  if (drift < -4000) drift += 8000;
  const bool measured = mRateMeasureDone || mRateMeasurePackets > kMeasuredEnoughPackets;

  if (drift != 0 || !measured) {
    if (mLockState != 0) {
      mLockState = 0;
      mStreamInvalid = 1;
    }
    const uint32_t packets = mPacketsPerBuffer;
    const uint32_t correction = std::min(packets / 4, static_cast<uint32_t>(drift < 0 ? -drift : drift));
    const uint32_t playback = drift > 0 ? packets - correction : std::min(packets + correction, kPacketsPerList);
    RequeueEmpty(0, packets, playback);
    return;
  }

  const uint32_t count = LockedPacketCount(mRecordPacketsB);
  mRecordPacketsA = mPlaybackPacketsA = count;
  if (mLockState < 2 && ++mLockState == 2 && mSharedState.mInputLocked != 1) {
    mSharedState.mInputLocked = 1;
    BumpChangeCount();
  }
  BuildPlaybackPackets(0, count);
  RequeueBuffers(0, count, count, mPlaybackLengthsA);
  ConvertBufferPair(0, &mDescriptors[kRecordA], &mDescriptors[kPlaybackA]);
}

void QX531Device::RunListB() {
  if (mLockState != 0) {
    const uint32_t count = LockedPacketCount(mRecordPacketsA);
    mRecordPacketsB = mPlaybackPacketsB = count;
    BuildPlaybackPackets(1, count);
    RequeueBuffers(1, count, count, mPlaybackLengthsB);
    ConvertBufferPair(1, &mDescriptors[kRecordB], &mDescriptors[kPlaybackB]);
    return;
  }
  // Not aligned yet: start the buffers afresh at the next list A, before its count is taken.
  mRingRead = mRingWrite = 0;
  mAccumulatedFrames = 0;
  RestartDescriptors();
  const uint32_t count = LockedPacketCount(mRecordPacketsA);
  RequeueEmpty(1, count, count);
  PreloadPlaybackA(count);
}

// The playback buffer of the next list A starts where the frames of list A and this list B, at the
// measured rate, run beyond two buffers.
void QX531Device::PreloadPlaybackA(uint32_t listBPackets) {
  BufferDescriptor& descriptor = mDescriptors[kPlaybackA];
  const uint64_t twoBuffers = 2 * uint64_t{mBufferFrames};
  for (uint32_t j = 0; j < listBPackets; ++j) {
    const uint64_t packet = uint64_t{mPlaybackPacketsA} + j;
    const uint64_t total = RoundDiv((packet + 1) * mMeasuredRate, kCyclesPerSecond);
    if (total <= twoBuffers) continue;
    const uint64_t wanted = total - twoBuffers;
    if (wanted > mBufferFrames) break;
    if (wanted <= descriptor.mFrames) continue;
    const uint32_t frames = static_cast<uint32_t>(wanted) - descriptor.mFrames;
    if (!AppendChunk(descriptor, mPlaybackSlotsB[j] + kPlaybackHeaderBytes, frames)) break;
  }
}

// Everything but the block count and DBC of a packet is the same for the whole list; the ring's
// read index, the DBC and the buffer being filled stay in locals and are stored once at its end.
void QX531Device::BuildPlaybackPackets(uint32_t list, uint32_t count) {
  uint8_t* const* slots = list == 0 ? mPlaybackSlotsA : mPlaybackSlotsB;
  uint32_t* lengths = list == 0 ? mPlaybackLengthsA : mPlaybackLengthsB;
  const uint32_t dbs = mOutputChannels;
  const uint32_t blockBytes = dbs * 4;
  BufferCutter cutter(mCurrentPlayback, mDescriptors[kPlaybackA + (list ^ 1)], blockBytes, mBufferFrames);
  const uint32_t maxBlocks = dbs == 0 ? UINT32_MAX : (kPlaybackSlotPitch - kPlaybackHeaderBytes) / blockBytes;
  const uint32_t nominalBlocks = static_cast<uint32_t>(RoundDiv(mMeasuredRate, kCyclesPerSecond));
  const uint64_t header = PlaybackHeader(mlocalNodeNum, dbs, 0);
  uint32_t ringRead = mRingRead;
  const uint32_t ringWrite = mRingWrite;
  uint32_t dbc = mPlaybackDbc;
  bool failed = false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t blocks = nominalBlocks;
    if (ringRead != ringWrite) {
      blocks = mBlockRing[ringRead];
      ringRead = ringRead + 1 == kBlockRingEntries ? 0 : ringRead + 1;
    }
    blocks = std::min(blocks, maxBlocks);
    uint8_t* slot = slots[i];
    const uint64_t packetHeader = header | uint64_t{dbc & 0xFF} << 24;
    std::memcpy(slot, &packetHeader, sizeof packetHeader);
    dbc = (dbc + blocks) & 0xFF;
    if (blocks != 0 && !cutter.Cut(slot + kPlaybackHeaderBytes, blocks)) failed = true;
    lengths[i] = kPlaybackHeaderBytes + blocks * blockBytes;
  }
  mRingRead = ringRead;
  mPlaybackDbc = dbc;
  mCurrentPlayback = cutter.Finish();
  if (failed) mStreamInvalid = 1;
}

void QX531Device::RestartListA() {
  mLockState = 0;
  if (mSharedState.mInputLocked != 0) {
    mSharedState.mInputLocked = 0;
    BumpChangeCount();
  }
  ComputeBufferGeometry();
  mRateWord = mClockSource | RateCode(mSampleRate);
  mPacketParam = PacketParameter(mSampleRate);
  if (!mStreamRestart.IsBusy()) StepStreamProgramming();
  OnBufferSequenceError();
  RequeueEmpty(0, mPacketsPerBuffer, mPacketsPerBuffer);
}

void QX531Device::RestartListB() {
  mLockState = 0;
  mPacketsPerBuffer = PacketsForRate(mMeasuredRate);
  OnBufferSequenceError();
  RequeueEmpty(1, mPacketsPerBuffer, mPacketsPerBuffer);
  mRingRead = mRingWrite = 0;
  mAccumulatedFrames = 0;
  InitBufferDescriptor(&mDescriptors[kRecordA], mInputMask, mInputChannels);
  InitBufferDescriptor(&mDescriptors[kPlaybackA], mOutputMask, mOutputChannels);
  mCurrentRecord = &mDescriptors[kRecordA];
  mCurrentPlayback = &mDescriptors[kPlaybackA];
}

// One step a pass of list A: switch streaming off, write what changed, switch it on, restart, then
// let the unit settle for a number of passes before the stream counts as valid.
void QX531Device::StepStreamProgramming() {
  struct StreamRegister {
    uint32_t mOffset;
    uint32_t mValue;
    uint32_t* mProgrammed;
  };
  const StreamRegister registers[] = {
      {QX5310_INPUT_MASK, mInputMask, &mProgrammedInputMask},
      {QX5310_OUTPUT_MASK, mOutputMask, &mProgrammedOutputMask},
      {QX5310_RATE_CLOCK, mRateWord, &mProgrammedRateWord},
      {QX5310_PACKET_PARAM, mPacketParam, &mProgrammedPacketParam},
  };
  const StreamRegister* changed = nullptr;
  for (const StreamRegister& r : registers) {
    if (r.mValue != *r.mProgrammed) {
      changed = &r;
      break;
    }
  }
  // A unit that is already off gets its registers compared; there is nothing more to re-program.
  if (mRunState != 1) mReprogramAsked = 0;

  if (changed != nullptr || mReprogramAsked) {
    mRestartState = 0;
    if (mRunState == 1) {
      if (QueueStreamRestartWrite(QX5310_CONTROL_BITS, kControlStreamingOff)) {
        mRunState = 0;
        mReprogramAsked = 0;
      }
    } else if (QueueStreamRestartWrite(changed->mOffset, changed->mValue)) {
      *changed->mProgrammed = changed->mValue;
    }
  } else if (mRunState == 1 && mRestartState == 1) {
    if (++mRestartPasses > kRestartPasses) {
      mStreamInvalid = 0;
      mLockState = 0;
      mRestartPasses = 0;
    }
  } else if (mRunState == 1) {
    if (QueueStreamRestartWrite(QX5310_STREAM_RESTART, 1)) {
      mRestartState = 1;
      mRestartPasses = 0;
    }
  } else if (QueueStreamRestartWrite(QX5310_CONTROL_BITS, kControlStreamingOn)) {
    mRunState = 1;
  }
}

// Busy is taken before the write goes out, since its completion may run inside the call.
bool QX531Device::QueueStreamRestartWrite(uint32_t offset, uint32_t value) {
  if (!mStreamRestart.TryTakeBusy()) return false;
  mStreamRestart.mValue = value;
  if (WriteQuadletAsync(mStreamRestart.mHandle, offset, &mStreamRestart.mValue, RestartWriteDone, this) == 0) {
    return true;
  }
  mStreamRestart.ClearBusy();
  return false;
}

int32_t QX531Device::RestartWriteDone(void* context, uint32_t) {
  static_cast<QX531Device*>(context)->mStreamRestart.ClearBusy();
  return 0;
}

void QX531Device::ConvertBufferPair(uint32_t, BufferDescriptor* record, BufferDescriptor* playback) {
  if (!RecordBufferMatches(*record) || !PlaybackBufferMatches(*playback)) return;
  uint32_t* destinations[kInputArrays];
  std::fill(std::begin(destinations), std::end(destinations), ConverterScratch());
  destinations[0] = mStatusIndex;
  destinations[mInputChannels + 1] = mStatusValue;
  UnpackInputChannels(*record, destinations);
  PackOutputChannels(*playback, SilentOutputArrays());
  HandleStatusWords(record->mFrames);
}
