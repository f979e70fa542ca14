#include "sim/host/AsioHost.h"

#include <cstring>

#include "platform/win32/include/windows.h"

namespace host {

namespace {

template <typename Record>
std::vector<uint8_t> BytesOf(const Record& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

template <typename Request>
std::vector<uint8_t> FillCreate(uint32_t sampleBits, uint32_t frames, const std::vector<uint32_t>& records,
                                const std::vector<uint32_t>& playbacks) {
  Request in{};
  in.mSampleBits = sampleBits;
  in.mFrames = frames;
  in.mPlaybackCount = static_cast<uint32_t>(playbacks.size());
  in.mRecordCount = static_cast<uint32_t>(records.size());
  for (size_t k = 0; k < playbacks.size() && k < kAsioListEntries; ++k) in.mPlaybackChannels[k] = playbacks[k];
  for (size_t k = 0; k < records.size() && k < kAsioListEntries; ++k) in.mRecordChannels[k] = records[k];
  return BytesOf(in);
}

uint64_t AddressAt(const std::vector<uint8_t>& reply, unsigned bits, size_t index) {
  if (bits == 32) {
    uint32_t word = 0;
    std::memcpy(&word, reply.data() + 4 * index, sizeof word);
    return word;
  }
  uint64_t word = 0;
  std::memcpy(&word, reply.data() + 8 * index, sizeof word);
  return word;
}

}  // namespace

std::vector<uint8_t> CreateBuffersInput(unsigned bits, uint32_t sampleBits, uint32_t frames,
                                        const std::vector<uint32_t>& records, const std::vector<uint32_t>& playbacks) {
  return bits == 32 ? FillCreate<AsioCreateBuffersRequest32>(sampleBits, frames, records, playbacks)
                    : FillCreate<AsioCreateBuffersRequest64>(sampleBits, frames, records, playbacks);
}

std::vector<uint8_t> StartInput(unsigned bits, void* event) {
  const auto value = reinterpret_cast<uintptr_t>(event);
  if (bits == 32) return BytesOf(AsioStartRequest32{static_cast<uint32_t>(value)});
  return BytesOf(AsioStartRequest64{value});
}

uint32_t StartReplyBytes(unsigned bits) { return bits == 32 ? sizeof(AsioStartReply32) : sizeof(AsioStartReply64); }

uint32_t CreateBuffersReplyBytes(unsigned bits) {
  return bits == 32 ? sizeof(AsioCreateBuffersReply32) : sizeof(AsioCreateBuffersReply64);
}

void* NewEventHandle() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }
void* NewMutexHandle() { return CreateMutexA(nullptr, FALSE, nullptr); }
void CloseUserHandle(void* handle) { CloseHandle(handle); }
void Pause(uint32_t ms) { Sleep(ms); }

AsioHost::AsioHost(unsigned bits, const std::string& path) : mBits(bits) {
  std::string unit = path;
  if (unit.empty()) {
    std::vector<std::string> units = FindUnitInterfaces();
    if (units.empty()) return;
    unit = units.front();
  }
  HANDLE h = CreateFileA(unit.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) mDevice = h;
}

AsioHost::~AsioHost() {
  if (mEvent != nullptr) CloseHandle(mEvent);
  if (mDevice != nullptr) CloseHandle(mDevice);
}

Reply AsioHost::Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
  std::vector<uint8_t> in = input;
  std::vector<uint8_t> out(outputLength);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(mDevice, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                            out.empty() ? nullptr : out.data(), outputLength, &returned, nullptr);
  return Reply{ok != FALSE, ok ? 0u : static_cast<uint32_t>(GetLastError()), returned, std::move(out)};
}

bool AsioHost::GetCaps(AsioCapsReply* caps) {
  Reply r = Send(IOCTL_QX531_ASIO_GET_CAPS, Words({kAsioSampleBits}), sizeof(AsioCapsReply));
  if (!r.ok || r.bytes != sizeof(AsioCapsReply)) return false;
  std::memcpy(caps, r.output.data(), sizeof *caps);
  return true;
}

bool AsioHost::CreateBuffers(const std::vector<uint32_t>& records, const std::vector<uint32_t>& playbacks,
                             uint32_t frames, uint32_t sampleBits) {
  Reply r = Send(IOCTL_QX531_ASIO_CREATE_BUFFERS, CreateBuffersInput(mBits, sampleBits, frames, records, playbacks),
                 CreateBuffersReplyBytes(mBits));
  mRecord.clear();
  mPlayback.clear();
  mRecordChannels = records;
  if (!r.ok || r.bytes != CreateBuffersReplyBytes(mBits)) return false;
  const size_t playbackAt = 2 * kAsioListEntries;
  for (size_t k = 0; k < records.size(); ++k)
    mRecord.push_back({reinterpret_cast<int32_t*>(AddressAt(r.output, mBits, 2 * k)),
                       reinterpret_cast<int32_t*>(AddressAt(r.output, mBits, 2 * k + 1))});
  for (size_t k = 0; k < playbacks.size(); ++k)
    mPlayback.push_back({reinterpret_cast<int32_t*>(AddressAt(r.output, mBits, playbackAt + 2 * k)),
                         reinterpret_cast<int32_t*>(AddressAt(r.output, mBits, playbackAt + 2 * k + 1))});
  return true;
}

bool AsioHost::Start() {
  if (mEvent == nullptr) mEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (mEvent == nullptr) return false;
  Reply r = Send(IOCTL_QX531_ASIO_START, StartInput(mBits, mEvent), StartReplyBytes(mBits));
  if (!r.ok || r.bytes != StartReplyBytes(mBits)) return false;
  mIndexCell = reinterpret_cast<volatile uint8_t*>(AddressAt(r.output, mBits, 0));
  return true;
}

bool AsioHost::Stop() { return Send(IOCTL_QX531_ASIO_STOP, {}, 0).ok; }
bool AsioHost::Dispose() { return Send(IOCTL_QX531_ASIO_DISPOSE_BUFFERS, {}, 0).ok; }
bool AsioHost::OutputReady() { return Send(IOCTL_QX531_ASIO_OUTPUT_READY, {}, 0).ok; }

int64_t AsioHost::ResetRequest() {
  Reply r = Send(IOCTL_QX531_ASIO_GET_CLOCK_STATE, {}, sizeof(AsioClockStateReply));
  return r.ok ? r.Word(2) : -1;
}

StreamReport AsioHost::Stream(uint32_t ms, uint32_t frames, bool stopOnReset) {
  StreamReport report;
  std::vector<uint32_t> next(mRecord.size());
  std::vector<bool> known(mRecord.size(), false);
  const DWORD start = GetTickCount();
  uint32_t waits = 0;
  while (GetTickCount() - start < ms) {
    if (WaitForHalf(75)) {
      ++report.events;
      const uint8_t index = *mIndexCell;
      if (index == mLastIndex) ++report.repeats;
      mLastIndex = index;
      const uint32_t half = index != 0 ? 1 : 0;
      for (size_t k = 0; k < mRecord.size(); ++k) {
        const int32_t* in = mRecord[k][half];
        bool broken = false;
        for (uint32_t f = 0; f < frames; ++f) {
          const auto sample = static_cast<uint32_t>(in[f]);
          if (known[k] && sample != (mRecordChannels[k] << 24 | (next[k] & 0xFFFFFF))) broken = true;
          next[k] = (sample & 0xFFFFFF) + 1;
          known[k] = true;
        }
        if (broken) ++report.recordBreaks;
        if (k < mPlayback.size()) std::memcpy(mPlayback[k][half], in, frames * sizeof(int32_t));
      }
      if (!OutputReady()) ++report.outputReadyFailures;
    } else {
      ++report.timeouts;
    }
    if (++waits == 50) {
      waits = 0;
      const int64_t reset = ResetRequest();
      if (reset < 0) ++report.failedPolls;
      if (reset > 0) {
        ++report.resetRequests;
        if (stopOnReset) break;
      }
    }
  }
  return report;
}

bool AsioHost::StreamUntilSteady(uint32_t frames, uint32_t limitMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limitMs) {
    const StreamReport r = Stream(500, frames);
    if (r.events != 0 && r.timeouts == 0 && r.repeats == 0 && r.recordBreaks == 0) return true;
  }
  return false;
}

bool AsioHost::WaitForHalf(uint32_t ms) { return WaitForSingleObject(mEvent, ms) == WAIT_OBJECT_0; }

}  // namespace host
