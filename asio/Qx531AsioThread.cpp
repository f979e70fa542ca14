// The buffer-switch thread: one per started stream, at time-critical priority. It waits for the
// kernel driver's event, tells the host which half to process, keeps the sample position, and now
// and then asks the kernel driver whether the host should reset the driver.
#include <cstdio>

#include "asio/Qx531Asio.h"

namespace {

constexpr DWORD kWaitMs = 75;
constexpr uint32_t kWaitsPerPoll = 50;

}  // namespace

DWORD WINAPI Qx531Asio::myThread(LPVOID param) {
  // The thread serves the object that started it, whatever other instances the process holds.
  auto* self = static_cast<Qx531Asio*>(param);
  volatile uint8_t* const indexCell = self->inPong;
  const HANDLE event = self->eventHandle;
  const LONG generation = self->streamGeneration;
  char text[64];
  std::snprintf(text, sizeof text, "usrmode: eventHandle=%x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(event)));
  OutputDebugStringA(text);
  std::snprintf(text, sizeof text, "inPong=%x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(indexCell)));
  OutputDebugStringA(text);

  // The index byte of the previous signal of this stream; none before its first.
  int lastIndexByte = -1;
  uint32_t waits = 0;
  while (self->running && self->streamGeneration == generation) {
    const DWORD result = WaitForSingleObject(event, kWaitMs);
    // A wait that fails will fail again: spinning at this priority would starve the machine.
    if (result == WAIT_FAILED) break;
    if (result == WAIT_OBJECT_0) {
      self->positionSnapshot = self->sampleCounter;
      self->timeSnapshot = timeGetTime();
      const uint8_t index = *indexCell;
      const bool ours = self->running && self->DispatchBufferSwitch(index != 0 ? 1 : 0);
      // The kernel driver completed a buffer without the half changing.
      if (index == lastIndexByte) OutputDebugStringA("repeat! ");
      lastIndexByte = index;
      // Stopped, or stopped and restarted, from the host's callback: the object is no longer this thread's.
      if (!ours) break;
    }
    if (++waits == kWaitsPerPoll) {
      waits = 0;
      AsioClockState state{};
      const bool polled = self->ReadClockState(&state);
      // Whether the unit has gone is recorded by the host's next call, on its own thread.
      const bool reset = polled ? state.resetRequest != 0 : !self->MainUnitListed();
      ASIOCallbacks* callbacks = self->hostCallbacks;
      if (reset && callbacks != nullptr && callbacks->asioMessage != nullptr)
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    }
  }
  OutputDebugStringA("Exiting myThread\n");
  return 0;
}

bool Qx531Asio::DispatchBufferSwitch(ASIOLong index) {
  ASIOCallbacks* callbacks = hostCallbacks;
  const LONG generation = streamGeneration;
  if (timeInfoMode == 1) {
    AsioTimeInfo& info = timeBlock.timeInfo;
    info.samplePosition = {0, positionSnapshot};
    info.flags = kSystemTimeValid | kSamplePositionValid;
    const uint64_t ns = uint64_t{timeGetTime()} * 1000000;
    info.systemTime = {static_cast<uint32_t>(ns >> 32), static_cast<uint32_t>(ns)};
    if (running) {
      const double rate = currentRate;
      if (info.sampleRate != rate) info.flags |= kSampleRateChanged;
      info.flags |= kSampleRateValid;
      info.sampleRate = rate;
    }
    timeBlock.timeCode.flags = 0;
    if (callbacks != nullptr && callbacks->bufferSwitchTimeInfo != nullptr)
      callbacks->bufferSwitchTimeInfo(&timeBlock, index, ASIOTrue);
  } else if (callbacks != nullptr && callbacks->bufferSwitch != nullptr) {
    callbacks->bufferSwitch(index, ASIOTrue);
  }
  // A stop, or a stop and a new start, from the callback: the position is no longer this stream's.
  if (!running || streamGeneration != generation) return false;
  sampleCounter = sampleCounter + static_cast<DWORD>(createdFrames);
  return true;
}
