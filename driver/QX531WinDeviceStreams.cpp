#include <cstring>

#include "driver/BusRequests.h"
#include "driver/CycleTime.h"
#include "driver/IsochStream.h"
#include "driver/QX531WinDevice.h"
#include "kframework/PnpDeviceBase.h"

namespace {

constexpr int32_t kFailure = 99;

enum ListIndex : uint32_t { kRecordA, kRecordB, kPlaybackA, kPlaybackB };

constexpr ULONG kRecordPacketBytes = QX531Device::kRecordSlotPitch;
constexpr ULONG kPlaybackPacketBytes = QX531Device::kPlaybackSlotPitch;
// Two lists of a stream.
constexpr ULONG kBuffersPerResource = 2 * IsochStream::kDescriptorsPerList;
// The unit registers' code for S400.
constexpr uint32_t kUnitSpeedS400 = 2;

// Record descriptors keep to the unit's tag; the first also takes the time it completed.
constexpr ULONG kRecordFirstFlags = DESCRIPTOR_TIME_STAMP_ON_COMPLETION | DESCRIPTOR_SYNCH_ON_TAG;
constexpr ULONG kRecordFlags = DESCRIPTOR_SYNCH_ON_TAG;
static_assert(kRecordFirstFlags == 0x12 && kRecordFlags == 0x02);

constexpr ULONG kStartDelayCycles = 4096;

// The idle wait: 50 stalls of 5 ms.
constexpr ULONG kIdleStalls = 50;
constexpr ULONG kIdleStallMicroseconds = 5000;

void SetCycleTime(CYCLE_TIME* cell, ULONG word) { std::memcpy(cell, &word, sizeof word); }

// The switches of the unit's streams complete without anything to do.
int32_t SwitchWritten(void*, uint32_t) { return 0; }

// Microseconds of the performance counter, without overflow or a zero divisor.
LONGLONG MicrosecondsNow() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  const LONGLONG f = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  return (counter.QuadPart / f) * 1000000 + (counter.QuadPart % f) * 1000000 / f;
}

}  // namespace

int32_t QX531WinDevice::AllocateIsochStream(PlatformHandle handle, uint32_t direction) {
  PAGED_CODE();
  auto* stream = static_cast<IsochStream*>(handle);
  if (stream == nullptr) return kFailure;
  if (stream->mAllocated) return 0;
  const bool record = direction == 0;
  LowerDeviceLink* link = GetLowerDeviceLink();

  // The answer is not used: the streams always run at S400, but a unit that cannot be asked
  // cannot stream.
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_GET_SPEED_BETWEEN_DEVICES;
  irb.u.GetMaxSpeedBetweenDevices.fulFlags = USE_LOCAL_NODE;
  irb.u.GetMaxSpeedBetweenDevices.ulNumberOfDestinations = 1;
  irb.u.GetMaxSpeedBetweenDevices.hDestinationDeviceObjects[0] = mLowerDevice;
  if (!NT_SUCCESS(SubmitIrb(link, &irb, nullptr))) return kFailure;

  const ULONG packetBytes = record ? kRecordPacketBytes : kPlaybackPacketBytes;
  uint8_t* const* slots[2] = {record ? mRecordSlotsA : mPlaybackSlotsA, record ? mRecordSlotsB : mPlaybackSlotsB};
  bool described = stream->AllocateLists();
  for (ULONG half = 0; described && half < 2; ++half) {
    for (ULONG j = 0; described && j < kPacketsPerList; ++j) {
      const ULONG flags = !record ? 0 : j == 0 ? kRecordFirstFlags : kRecordFlags;
      described = slots[half][j] != nullptr && stream->DescribePacket(half, j, slots[half][j], packetBytes, flags);
    }
  }
  if (!described) {
    LogString("   *** Failed isoch memory allocation \n");
    stream->FreeLists();
    return kFailure;
  }
  const IsochListCompletion completions[2] = {record ? OnInputBufferADone : OnOutputBufferADone,
                                              record ? OnInputBufferBDone : OnOutputBufferBDone};
  for (ULONG half = 0; half < 2; ++half) {
    PISOCH_DESCRIPTOR list = stream->List(half);
    list[0].DeviceReserved[kListUnit] = reinterpret_cast<ULONG_PTR>(this);
    list[0].DeviceReserved[kListCompletion] = reinterpret_cast<ULONG_PTR>(completions[half]);
  }

  stream->mLink = link;
  if (!stream->ReserveTeardownIrp()) {
    LogString("   *** Failed isoch memory allocation \n");
    stream->mLink = nullptr;
    stream->FreeLists();
    return kFailure;
  }
  NTSTATUS status = stream->AllocateIsochBandwidth(packetBytes, SPEED_FLAGS_400);
  if (!NT_SUCCESS(status)) {
    TraceLabelHex("   *** Failed bandwidth allocation ", static_cast<uint32_t>(status));
    stream->ReleaseTeardownIrp();
    stream->mLink = nullptr;
    stream->FreeLists();
    return kFailure;
  }
  status = stream->AllocateIsochChannel(ISOCH_ANY_CHANNEL);
  if (!NT_SUCCESS(status) || stream->mChannel == IsochStream::kNoChannel) {
    TraceLabelHex("   *** Failed isoch channel allocation ", static_cast<uint32_t>(status));
    stream->FreeIsochBandwidth();
    stream->ReleaseTeardownIrp();
    stream->mLink = nullptr;
    stream->FreeLists();
    return kFailure;
  }
  status = stream->AllocateTransferResources(record ? FALSE : TRUE, link, mPnpDevice, SPEED_FLAGS_400, packetBytes,
                                             kBuffersPerResource, packetBytes, stream->mChannel);
  if (!NT_SUCCESS(status)) {
    TraceLabelHex("   *** Failed isoch transfer allocation ", static_cast<uint32_t>(status));
    stream->mLink = link;
    stream->FreeIsochChannel();
    stream->FreeIsochBandwidth();
    stream->ReleaseTeardownIrp();
    stream->mLink = nullptr;
    stream->FreeLists();
    return kFailure;
  }
  if (record) {
    SetRecordIsochChannel(stream->mChannel, kUnitSpeedS400);
  } else {
    SetPlaybackIsochChannel(stream->mChannel, kUnitSpeedS400);
  }
  mIsochStreams[record ? 0 : 1] = stream;
  stream->mStartStatus = STATUS_SUCCESS;
  stream->mAllocated = 1;
  return 0;
}

ULONG QX531WinDevice::QueryCycleTime() {
  PAGED_CODE();
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_QUERY_CYCLE_TIME;
  SubmitIrb(GetLowerDeviceLink(), &irb, nullptr);
  ULONG word;
  std::memcpy(&word, &irb.u.IsochQueryCycleTime.CycleTime, sizeof word);
  return word;
}

// Both streams start at one bus cycle, far enough ahead for every list to be on the bus by then.
// A start that reached the bus late, or whose listen or talk could not be sent, is rebuilt by
// the stream re-initialisation.
int32_t QX531WinDevice::StartIsochStreams() {
  PAGED_CODE();
  IsochStream* record = mIsochStreams[0];
  IsochStream* playback = mIsochStreams[1];
  if (record == nullptr || playback == nullptr || !record->mAllocated || !playback->mAllocated) return kFailure;
  mIsochRunning = 1;
  mLateStart = 0;
  std::memset(mCompletionCounts, 0, sizeof mCompletionCounts);

  const ULONG start = AddCycles(QueryCycleTime() & ~kCycleOffsetBits, kStartDelayCycles);
  mPlaybackSchedule[0] = start;
  SetCycleTime(&playback->mListA[0].CycleTime, start);
  mSchedule = AddCycles(start, mRecordPacketsA);
  mPlaybackSchedule[1] = mSchedule;
  SetCycleTime(&playback->mListB[0].CycleTime, mSchedule);
  mSchedule = AddCycles(mSchedule, mRecordPacketsB);

  bool sent = ReattachList(kRecordA, mRecordPacketsA, nullptr);
  sent = ReattachList(kRecordB, mRecordPacketsB, nullptr) && sent;
  sent = ReattachList(kPlaybackA, mPlaybackPacketsA, mPlaybackLengthsA) && sent;
  sent = ReattachList(kPlaybackB, mPlaybackPacketsB, mPlaybackLengthsB) && sent;

  CYCLE_TIME at;
  SetCycleTime(&at, start);
  const bool recordTalks = (record->mResource.mFlags & RESOURCE_USED_IN_TALKING) != 0;
  NTSTATUS status = recordTalks ? record->IsochTalk(&at) : record->IsochListen(&at);
  sent = NT_SUCCESS(status) && sent;
  EnableRecordStream(SwitchWritten, nullptr);
  record->mStarted = 1;
  EnablePlaybackStream(SwitchWritten, nullptr);
  status = playback->IsochTalk(&at);
  sent = NT_SUCCESS(status) && sent;

  if (CyclesAfter(QueryCycleTime(), start) > 0) mLateStart = 1;
  playback->mStarted = 1;
  if (!sent || mLateStart) SignalForIsocReinitialize();
  return 0;
}

// DISPATCH_LEVEL or below, in the completion of the list's last round: nothing on this path
// allocates, the list goes back in the record its stream made for it. One list back to the bus
// driver with `count` packets (and, for playback, their lengths). A list that cannot even be sent
// stops the stream from running on: it is given back at once and the streams are rebuilt.
bool QX531WinDevice::ReattachList(uint32_t which, uint32_t count, const uint32_t* lengths) {
  const bool playback = which >= kPlaybackA;
  IsochStream* stream = mIsochStreams[playback ? 1 : 0];
  const ULONG half = which & 1;
  PISOCH_DESCRIPTOR list = stream != nullptr ? stream->List(half) : nullptr;
  mListBusy[which] = 1;
  mPnpDevice->IncrementRequestCount();
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (list != nullptr && count != 0 && count <= kPacketsPerList) {
    ISOCH_DESCRIPTOR& last = list[list[0].DeviceReserved[kListCount] - 1];
    last.Callback = nullptr;
    last.Context1 = nullptr;
    last.Context2 = nullptr;
    list[0].DeviceReserved[kListCount] = count;
    if (playback) {
      for (uint32_t j = 0; j < count; ++j) {
        const ULONG length = lengths[j] < kPlaybackPacketBytes ? lengths[j] : kPlaybackPacketBytes;
        list[j].ulLength = length;
        list[j].nMaxBytesPerFrame = length;
      }
    }
    status = stream->AttachIsochBuffers(list);
  }
  if (NT_SUCCESS(status)) return true;
  TraceLabelHex("   *** Failed isoch add buffer list ", static_cast<uint32_t>(status));
  mListBusy[which] = 0;
  mPnpDevice->DecrementRequestCount();
  SignalForIsocReinitialize();
  return false;
}

int32_t QX531WinDevice::RequeueBuffers(uint32_t half, uint32_t recordPackets, uint32_t playbackPackets,
                                       const uint32_t* lengths) {
  if (!mIsochRunning) return 0;
  half &= 1;
  IsochStream* playback = mIsochStreams[1];
  if (playback == nullptr) return kFailure;
  ReattachList(kRecordA + half, recordPackets, nullptr);
  mPlaybackSchedule[half] = mSchedule;
  SetCycleTime(&playback->List(half)[0].CycleTime, mSchedule);
  mSchedule = AddCycles(mSchedule, playbackPackets);
  ReattachList(kPlaybackA + half, playbackPackets, lengths);
  return 0;
}

// DISPATCH_LEVEL, in the list's detach completion. Only a list that finished while the streams
// run reaches the engine: one taken back by a stop or a removal, or that failed, is not looked
// at, and a failure while running has the streams rebuilt.
void QX531WinDevice::ListDone(uint32_t which, NTSTATUS status) {
  mListBusy[which] = 0;
  mListDoneTime[which] = MicrosecondsNow();
  if (mIsochRunning) {
    if (NT_SUCCESS(status)) {
      switch (which) {
        case kRecordA: HandleInputBufferACallback(); break;
        case kRecordB: HandleInputBufferBCallback(); break;
        case kPlaybackA: HandleOutputBufferACallback(); break;
        default: HandleOutputBufferBCallback(); break;
      }
    } else if (status != STATUS_CANCELLED) {
      SignalForIsocReinitialize();
    }
  }
  mPnpDevice->DecrementRequestCount();
}

void QX531WinDevice::OnInputBufferADone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR) {
  static_cast<QX531WinDevice*>(unit)->ListDone(kRecordA, status);
}

void QX531WinDevice::OnInputBufferBDone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR) {
  static_cast<QX531WinDevice*>(unit)->ListDone(kRecordB, status);
}

void QX531WinDevice::OnOutputBufferADone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR) {
  static_cast<QX531WinDevice*>(unit)->ListDone(kPlaybackA, status);
}

void QX531WinDevice::OnOutputBufferBDone(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR) {
  static_cast<QX531WinDevice*>(unit)->ListDone(kPlaybackB, status);
}

int32_t QX531WinDevice::StopIsochStreams() {
  PAGED_CODE();
  mIsochRunning = 0;
  IsochStream* record = mIsochStreams[0];
  IsochStream* playback = mIsochStreams[1];
  if (record != nullptr && record->mStarted) {
    DisableRecordStream(SwitchWritten, nullptr);
    record->IsochStop();
    record->mStarted = 0;
  }
  if (playback != nullptr && playback->mStarted) {
    playback->mStarted = 0;
    playback->IsochStop();
    DisablePlaybackStream(SwitchWritten, nullptr);
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (IsochStream* stream : {record, playback}) {
    if (stream == nullptr || !stream->mAllocated) continue;
    for (ULONG half = 0; half < 2; ++half) status = stream->DetachIsochBuffers(stream->List(half));
  }
  return NT_SUCCESS(status) ? 0 : kFailure;
}

// A stall rather than a wait: the bus driver hands the lists back meanwhile.
int32_t QX531WinDevice::WaitIsochIdle() {
  PAGED_CODE();
  auto busy = [this] { return mListBusy[0] | mListBusy[1] | mListBusy[2] | mListBusy[3]; };
  for (ULONG i = 0; i < kIdleStalls && busy(); ++i) KeStallExecutionProcessor(kIdleStallMicroseconds);
  return 0;
}

// Lists the bus driver still holds are left allocated rather than freed under it.
int32_t QX531WinDevice::FreeIsochStream(PlatformHandle handle, uint32_t direction) {
  PAGED_CODE();
  auto* stream = static_cast<IsochStream*>(handle);
  if (stream == nullptr || !stream->mAllocated) return 0;
  const uint32_t first = (direction & 1) == 0 ? kRecordA : kPlaybackA;
  stream->IsochStop();
  stream->DetachAllIsochBuffers();
  WaitIsochIdle();
  stream->WaitForRequests();
  const bool held = mListBusy[first] != 0 || mListBusy[first + 1] != 0;
  // The frees need the link, which teardown forgets after the last request has come back.
  stream->FreeIsochResources();
  stream->FreeIsochChannel();
  stream->FreeIsochBandwidth();
  stream->ReleaseTeardownIrp();
  stream->DropTransferResources();
  if (held) {
    stream->mListA = stream->mListB = nullptr;
    stream->mMdlTableA = stream->mMdlTableB = nullptr;
  } else {
    stream->FreeLists();
  }
  if (mIsochStreams[direction & 1] == stream) mIsochStreams[direction & 1] = nullptr;
  stream->mStarted = 0;
  stream->mAllocated = 0;
  return 0;
}
