// An ASIO host as the tests and the main job run one inside a simulated process: it finds a driver
// the way ASIO hosts do (the driver's key under HKLM\SOFTWARE\ASIO, its class's InprocServer32),
// loads the DLL into the process, creates the driver through DllGetClassObject, calls it in the
// order hosts do, records every callback, and calls outputReady from each buffer switch.
//
// Callbacks carry no context, so a process has one harness whose buffers are created at a time;
// they find it by the process they run in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/asio/include/iasiodrv.h"
#include "platform/com/include/objbase.h"
#include "platform/win32/include/windows.h"

namespace plat::asio {

struct BufferSwitchCall {
  ASIOLong index;
  bool timeInfo;  // bufferSwitchTimeInfo rather than bufferSwitch
  ASIOBool directProcess;
  ASIOTime time;  // the record handed over; zero without time info
  uint32_t threadId;
  ASIOError outputReady;  // what outputReady answered after it
};

struct MessageCall {
  ASIOLong selector;
  ASIOLong value;
  uint32_t threadId;
};

// What the steps before streaming answered.
struct HostSetup {
  ASIOBool init = ASIOFalse;
  std::string errorMessage;
  std::string driverName;
  ASIOLong version = 0;
  ASIOLong inputs = 0, outputs = 0;
  std::vector<ASIOChannelInfo> channels;  // every input, then every output
  ASIOLong inputLatency = 0, outputLatency = 0;
  ASIOLong minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
  std::vector<ASIOError> canRates;  // for 44100, 48000, 88200, 96000
  ASIOSampleRate rate = 0;
  std::vector<ASIOClockSource> clocks;
  ASIOError createBuffers = ASE_NotPresent;
};

struct HostOptions {
  bool timeInfo = true;  // answers kAsioSupportsTimeInfo with 1
  bool outputReady = true;
};

class AsioHostHarness {
 public:
  explicit AsioHostHarness(HostOptions options = {});
  // Releases the driver and lets the DLL go, as a host that closes.
  ~AsioHostHarness();
  AsioHostHarness(const AsioHostHarness&) = delete;
  AsioHostHarness& operator=(const AsioHostHarness&) = delete;

  // The driver names hosts list.
  static std::vector<std::string> ListDrivers();

  // Finds the driver `name`, loads its DLL and creates it; false, with Failure() set, when a step fails.
  bool Load(const std::string& name);
  // The full setup: init, the names, channels, latencies, rates, clock sources, the buffer size,
  // and buffers for every channel each way at `frames` (the preferred size when 0).
  bool Prepare(ASIOLong frames = 0);
  // Buffers for the given channels at `frames` (the preferred size when 0).
  ASIOError CreateBuffers(const std::vector<ASIOLong>& inputs, const std::vector<ASIOLong>& outputs, ASIOLong frames = 0);
  ASIOError Start();
  ASIOError Stop();
  ASIOError Dispose();
  // Releases the driver object (its last reference) and frees the DLL.
  void Release();
  // Releases the driver object alone; the DLL stays loaded until Release.
  void ReleaseDriver();

  IASIO* Driver() const { return driver_; }
  HMODULE Module() const { return module_; }
  const std::string& Failure() const { return failure_; }
  const HostSetup& Setup() const { return setup_; }
  ASIOLong Frames() const { return frames_; }
  // The buffer infos handed to createBuffers: the inputs first, then the outputs.
  const std::vector<ASIOBufferInfo>& Buffers() const { return buffers_; }
  size_t InputEntries() const { return inputEntries_; }

  // The host's work on one buffer, on the buffer-switch thread before outputReady; by default each
  // input entry is copied to the output entry of the same position.
  std::function<void(ASIOLong index)> onBuffer;
  // Called on the thread that delivers it, after it is recorded.
  std::function<void(ASIOLong selector)> onMessage;

  std::vector<BufferSwitchCall> switches;
  std::vector<MessageCall> messages;
  std::vector<ASIOSampleRate> rateChanges;

  // Answers of the host's asioMessage, by selector, when it is asked; what it records.
  ASIOLong Message(ASIOLong selector, ASIOLong value);
  void BufferSwitch(ASIOLong index, bool timeInfo, ASIOBool direct, const ASIOTime* time);

 private:
  bool Fail(const std::string& why);
  void CopyInputsToOutputs(ASIOLong index);

  HostOptions options_;
  HMODULE module_ = nullptr;
  IASIO* driver_ = nullptr;
  std::string failure_;
  HostSetup setup_;
  ASIOCallbacks callbacks_{};
  std::vector<ASIOBufferInfo> buffers_;
  size_t inputEntries_ = 0;
  ASIOLong frames_ = 0;
  ASIOLong sampleBytes_ = 4;
};

}  // namespace plat::asio
