// An ASIO host as the ASIO driver drives the unit driver, in plain C++ so that a test or the main
// job can run it inside a simulated process of either width: its requests in that width's
// layouts, its event, the buffer-index cell and the channel halves mapped into its process.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/AsioRequests.h"
#include "sim/host/UserClient.h"

namespace host {

// The input of request 259 as a caller of `bits` bits lays it out.
std::vector<uint8_t> CreateBuffersInput(unsigned bits, uint32_t sampleBits, uint32_t frames,
                                        const std::vector<uint32_t>& records, const std::vector<uint32_t>& playbacks);
// The input of request 257: the handle in the caller's width.
std::vector<uint8_t> StartInput(unsigned bits, void* event);
// The reply sizes of 257 and 259 for a caller of `bits` bits.
uint32_t StartReplyBytes(unsigned bits);
uint32_t CreateBuffersReplyBytes(unsigned bits);
// Handles of the calling process, for requests that are handed one.
void* NewEventHandle();
void* NewMutexHandle();
void CloseUserHandle(void* handle);
// Sleeps the calling program's thread for `ms` milliseconds of virtual time.
void Pause(uint32_t ms);

// What a host saw while it streamed.
struct StreamReport {
  uint64_t events = 0;        // buffer switches
  uint64_t timeouts = 0;      // waits of 75 ms that saw no event
  uint64_t repeats = 0;       // switches whose index byte equals the one before
  uint64_t recordBreaks = 0;  // record halves that do not continue the unit's ramp of their channel
  uint64_t outputReadyFailures = 0;
  uint64_t resetRequests = 0;  // clock-state polls that reported the reset request
  uint64_t failedPolls = 0;
};

class AsioHost {
 public:
  // Opens the unit at `path` (the first unit found when empty); `bits` is the process's width.
  explicit AsioHost(unsigned bits, const std::string& path = {});
  ~AsioHost();
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  bool IsOpen() const { return mDevice != nullptr; }
  Reply Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength);

  bool GetCaps(AsioCapsReply* caps);
  // Maps the halves of the listed channels; the addresses of the reply are kept.
  bool CreateBuffers(const std::vector<uint32_t>& records, const std::vector<uint32_t>& playbacks, uint32_t frames,
                     uint32_t sampleBits = 24);
  // Creates an auto-reset event and starts with it; the cell's address is kept.
  bool Start();
  bool Stop();
  bool Dispose();
  bool OutputReady();
  // The clock state's reset-request word, or -1 when the request failed.
  int64_t ResetRequest();

  // Streams for `ms` milliseconds of virtual time as the ASIO driver's buffer-switch thread does:
  // waits up to 75 ms for the event, takes the half the index byte names, checks that each record
  // half continues its channel's ramp (channel << 24 | frame), copies the k-th record entry to the
  // k-th playback entry, and sends output ready; every 50 waits it polls the clock state. Stops
  // early, after the poll, when `stopOnReset` and the reset request was seen.
  StreamReport Stream(uint32_t ms, uint32_t frames, bool stopOnReset = false);

  // Streams until half a second passes with every half on time and continuing its ramp (the
  // streams have locked); false when that takes longer than `limitMs`.
  bool StreamUntilSteady(uint32_t frames, uint32_t limitMs = 10000);

  // Waits for the event up to `ms` milliseconds of virtual time; true when it was set.
  bool WaitForHalf(uint32_t ms);
  uint8_t IndexByte() const { return *mIndexCell; }
  // The k-th entry of each list, half h.
  int32_t* Record(size_t k, uint32_t h) const { return mRecord[k][h]; }
  int32_t* Playback(size_t k, uint32_t h) const { return mPlayback[k][h]; }
  void* Event() const { return mEvent; }
  void* Device() const { return mDevice; }
  volatile uint8_t* IndexCell() const { return mIndexCell; }

 private:
  unsigned mBits;
  void* mDevice = nullptr;
  void* mEvent = nullptr;
  volatile uint8_t* mIndexCell = nullptr;
  std::vector<std::array<int32_t*, 2>> mRecord;
  std::vector<std::array<int32_t*, 2>> mPlayback;
  // The record channel of each entry.
  std::vector<uint32_t> mRecordChannels;
  uint8_t mLastIndex = 0xFF;
};

}  // namespace host
