#include "asio/Qx531Asio.h"

#include <setupapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

Qx531Asio* liveDriver = nullptr;

namespace {

constexpr char kDriverName[] = "QX531 24-bit";
constexpr ASIOLong kDriverVersion = 2;
constexpr ASIOLong kLastChannel = 17;

constexpr const char* kChannelNames[kAsioUnitChannels] = {
    "Analog 1", "Analog 2", "Analog 3", "Analog 4", "Analog 5", "Analog 6", "Analog 7", "Analog 8", "ADAT 1",
    "ADAT 2",   "ADAT 3",   "ADAT 4",   "ADAT 5",   "ADAT 6",   "ADAT 7",   "ADAT 8",   "S/PDIF L", "S/PDIF R"};

struct ClockSourceEntry {
  const char* name;
  uint32_t code;
  const char* debugText;
};
constexpr ClockSourceEntry kClockSources[] = {
    {"Internal", 1, "clk=int"},
    {"Word Clock In", 2, "clk=wc"},
    {"ADAT Optical", 4, "clk=ADAT"},
    {"S/PDIF", 3, "clk=S/PDIF"},
};
constexpr ASIOLong kClockSourceCount = 4;
constexpr uint32_t kInternalClock = 1;

constexpr double kRates[] = {44100.0, 48000.0, 88200.0, 96000.0};

bool IsUnitRate(double rate) { return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates); }

// A rate the unit reports from a real clock, to the nearest rate it runs at.
double SnapRate(uint32_t rate) {
  if (rate < 46000) return 44100.0;
  if (rate < 68000) return 48000.0;
  if (rate < 92000) return 88200.0;
  return 96000.0;
}

LONG ClampCount(uint32_t count) { return static_cast<LONG>(std::min(count, kAsioUnitChannels)); }

void Debug(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  OutputDebugStringA(text);
}

constexpr char kHyphens[] = "---------------------------------------------------------\n";
static_assert(sizeof kHyphens == 59);

}  // namespace

CUnknown* CreateQx531Asio(IUnknown* outer, HRESULT* hr) {
  auto* object = new (std::nothrow) Qx531Asio(outer, hr);
  if (object == nullptr) {
    *hr = E_OUTOFMEMORY;
    return nullptr;
  }
  return object;
}

Qx531Asio::Qx531Asio(IUnknown* outer, HRESULT* hr) : CUnknown(L"QX531 Audio", outer) {
  if (hr != nullptr && FAILED(*hr)) return;
  SetErrorText("QX531 Create fails");
  EnumerateDevices(kQX531InterfaceClass);
  if (IsOpen() == 1) {
    liveDriver = this;
    present = 1;
  } else {
    SetErrorText("Couldn't locate QX-531 driver");
  }
}

// A host that let go without stopping or disposing leaves nothing behind: the stream and the
// mappings go before the unit is closed.
Qx531Asio::~Qx531Asio() {
  if (running) stop();
  if (buffersCreated) disposeBuffers();
  ReapEndingThread();
  uint32_t returned = 0;
  AsioIoctl(kAsioClose, nullptr, 0, nullptr, 0, &returned);
  present = 0;
  if (liveDriver == this) liveDriver = nullptr;
  CloseStreamHandles();
  // Released from that thread's own callback: nothing can wait for it there.
  if (endingThread != nullptr) CloseHandle(endingThread);
}

HRESULT Qx531Asio::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == CLSID_Qx531Asio) return ReturnInterface(static_cast<IASIO*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

bool Qx531Asio::AsioIoctl(uint32_t request, const void* input, uint32_t inLength, void* output, uint32_t outLength,
                          uint32_t* returned) {
  *returned = 0;
  if (output != nullptr) std::memset(output, 0, outLength);
  if (!IsMainOpen()) return false;
  const uint32_t size = std::max(inLength, outLength);
  std::unique_ptr<uint8_t[]> buffer;
  if (size != 0) {
    buffer.reset(new (std::nothrow) uint8_t[size]());
    if (buffer == nullptr) return false;
    if (input != nullptr) std::memcpy(buffer.get(), input, inLength);
  }
  uint32_t got = 0;
  if (Ioctl(request, buffer.get(), inLength, outLength, &got) != kQX531Success) return false;
  got = std::min(got, outLength);
  if (output != nullptr) std::memcpy(output, buffer.get(), got);
  *returned = got;
  return true;
}

bool Qx531Asio::ReadCaps(AsioCaps* caps) {
  const uint32_t input = kAsioCapsInput;
  uint32_t returned = 0;
  return AsioIoctl(kAsioGetCaps, &input, sizeof input, caps, sizeof *caps, &returned) && returned == sizeof *caps &&
         caps->magic == kAsioCapsMagicWord;
}

bool Qx531Asio::ReadClockState(AsioClockState* state) {
  uint32_t returned = 0;
  return AsioIoctl(kAsioGetClockState, nullptr, 0, state, sizeof *state, &returned) && returned == sizeof *state;
}

bool Qx531Asio::MainUnitListed() const {
  std::string path;
  for (const handleMapStruct& entry : mHandleMap)
    if (entry.handle == mMainHandle) path = entry.devname;
  bool found = false;
  HDEVINFO set = SetupDiGetClassDevsA(&kQX531InterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return true;
  for (DWORD index = 0; !found && !path.empty(); ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kQX531InterfaceClass, index, &data)) break;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[needed]);
    if (bytes == nullptr) continue;
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
      found = lstrcmpiA(detail->DevicePath, path.c_str()) == 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

bool Qx531Asio::UnitGone() {
  if (MainUnitListed()) return false;
  present = 0;
  SetErrorText("Couldn't locate QX-531 driver");
  return true;
}

ASIOError Qx531Asio::RequestFailed() { return UnitGone() ? ASE_NotPresent : ASE_HWMalfunction; }

void Qx531Asio::SetErrorText(const char* text) {
  std::snprintf(errorText, sizeof errorText, "%s", text);
}

void Qx531Asio::CloseStreamHandles() {
  if (threadHandle != nullptr) CloseHandle(threadHandle);
  threadHandle = nullptr;
  threadId = 0;
  if (eventHandle != nullptr) CloseHandle(eventHandle);
  eventHandle = nullptr;
}

void Qx531Asio::ReapEndingThread() {
  if (endingThread == nullptr || endingThreadId == GetCurrentThreadId()) return;
  WaitForSingleObject(endingThread, INFINITE);
  CloseHandle(endingThread);
  endingThread = nullptr;
  endingThreadId = 0;
}

ASIOBool Qx531Asio::init(void* handle) {
  if (!present) return ASIOFalse;
  sysHandle = handle;
  AsioCaps caps{};
  if (!ReadCaps(&caps)) {
    if (!UnitGone()) SetErrorText("Error during QX531 ASIO Init");
    return ASIOFalse;
  }
  bufferFrames = static_cast<LONG>(caps.bufferFrames);
  inputCount = ClampCount(caps.inputs);
  outputCount = ClampCount(caps.outputs);
  sampleBits = static_cast<LONG>(caps.sampleBits);
  present = 1;
  return ASIOTrue;
}

void Qx531Asio::getDriverName(char* name) {
  if (name != nullptr) std::memcpy(name, kDriverName, sizeof kDriverName);
}

ASIOLong Qx531Asio::getDriverVersion() { return kDriverVersion; }

void Qx531Asio::getErrorMessage(char* string) {
  if (string != nullptr) std::memcpy(string, errorText, std::strlen(errorText) + 1);
}

ASIOError Qx531Asio::start() {
  if (!present) return ASE_NotPresent;
  if (!buffersCreated || running) return ASE_InvalidMode;
  // The previous stream's thread must be gone before the position starts again from 0.
  ReapEndingThread();
  sampleCounter = 0;
  eventHandle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (eventHandle == nullptr) return ASE_HWMalfunction;
  const AsioStartIn in = {reinterpret_cast<uintptr_t>(eventHandle)};
  AsioStartOut out{};
  uint32_t returned = 0;
  if (!AsioIoctl(kAsioStart, &in, sizeof in, &out, sizeof out, &returned)) {
    CloseStreamHandles();
    return RequestFailed();
  }
  if (returned != sizeof out || out.indexCell == 0) {
    // The kernel driver made the session active and took the event all the same.
    AsioIoctl(kAsioStop, nullptr, 0, nullptr, 0, &returned);
    CloseStreamHandles();
    return ASE_HWMalfunction;
  }
  inPong = reinterpret_cast<volatile uint8_t*>(static_cast<uintptr_t>(out.indexCell));
  InterlockedIncrement(&streamGeneration);
  Debug("proc=%lx priorityClass=%lx thread=%lx priority=%lx\n", static_cast<unsigned long>(GetCurrentProcessId()),
        static_cast<unsigned long>(GetPriorityClass(GetCurrentProcess())),
        static_cast<unsigned long>(GetCurrentThreadId()),
        static_cast<unsigned long>(GetThreadPriority(GetCurrentThread())));
  // Set before the thread exists, which runs while it is set; cleared again if it can't be made.
  running = 1;
  threadHandle = CreateThread(nullptr, 0, myThread, this, 0, &threadId);
  if (threadHandle == nullptr) {
    running = 0;
    AsioIoctl(kAsioStop, nullptr, 0, nullptr, 0, &returned);
    CloseStreamHandles();
    return ASE_HWMalfunction;
  }
  SetThreadPriority(threadHandle, THREAD_PRIORITY_TIME_CRITICAL);
  OutputDebugStringA("Thread is created\n");
  return ASE_OK;
}

ASIOError Qx531Asio::stop() {
  if (!present && !running) return ASE_NotPresent;
  if (!buffersCreated || !running) return ASE_InvalidMode;
  uint32_t returned = 0;
  // A unit that has gone is recorded here, so that the host's next start learns it.
  if (!AsioIoctl(kAsioStop, nullptr, 0, nullptr, 0, &returned)) UnitGone();
  running = 0;
  OutputDebugStringA("Waiting for thread handle...");
  if (threadHandle != nullptr && GetCurrentThreadId() == threadId) {
    // From a callback on the buffer-switch thread itself: it ends once the callback returns, and
    // whoever next starts, disposes or destroys waits for that.
    ReapEndingThread();
    endingThread = threadHandle;
    endingThreadId = threadId;
    threadHandle = nullptr;
  } else if (threadHandle != nullptr) {
    WaitForSingleObject(threadHandle, INFINITE);
  }
  OutputDebugStringA("done\n");
  CloseStreamHandles();
  return ASE_OK;
}

ASIOError Qx531Asio::getChannels(ASIOLong* numInputChannels, ASIOLong* numOutputChannels) {
  if (numInputChannels == nullptr || numOutputChannels == nullptr) return ASE_InvalidParameter;
  *numInputChannels = inputCount;
  *numOutputChannels = outputCount;
  return ASE_OK;
}

ASIOError Qx531Asio::getLatencies(ASIOLong* inputLatency, ASIOLong* outputLatency) {
  if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
  *inputLatency = bufferFrames + 30;
  *outputLatency = bufferFrames + 41 + (currentRate < 50000.0 ? 11 : 22);
  return ASE_OK;
}

ASIOError Qx531Asio::getBufferSize(ASIOLong* minSize, ASIOLong* maxSize, ASIOLong* preferredSize,
                                   ASIOLong* granularity) {
  if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr)
    return ASE_InvalidParameter;
  AsioCaps caps{};
  if (ReadCaps(&caps)) {
    bufferFrames = static_cast<LONG>(caps.bufferFrames);
  } else {
    if (UnitGone()) return ASE_NotPresent;
    SetErrorText("Error during QX531 ASIO getBufferSize");
  }
  *minSize = *maxSize = *preferredSize = bufferFrames;
  *granularity = 0;
  return ASE_OK;
}

ASIOError Qx531Asio::canSampleRate(ASIOSampleRate sampleRate) { return IsUnitRate(sampleRate) ? ASE_OK : ASE_NoClock; }

ASIOError Qx531Asio::getSampleRate(ASIOSampleRate* sampleRate) {
  if (sampleRate == nullptr) return ASE_InvalidParameter;
  AsioClockState state{};
  if (!ReadClockState(&state)) return RequestFailed();
  double rate = 0.0;
  if (state.clockSource != 0)
    rate = SnapRate(state.sampleRate);
  else if (IsUnitRate(state.sampleRate))
    rate = state.sampleRate;
  else
    return ASE_OK;  // without a clock, a rate the unit doesn't run at is no rate: both values stay
  *sampleRate = rate;
  currentRate = rate;
  return ASE_OK;
}

ASIOError Qx531Asio::setSampleRate(ASIOSampleRate sampleRate) {
  AsioClockState state{};
  if (!ReadClockState(&state)) return RequestFailed();
  if (state.clockSource != kInternalClock) return sampleRate == 0.0 ? ASE_NoClock : ASE_InvalidMode;
  if (!IsUnitRate(sampleRate)) return ASE_NoClock;
  const auto rate = static_cast<uint32_t>(sampleRate);
  uint32_t returned = 0;
  if (!AsioIoctl(kAsioSetSampleRate, &rate, sizeof rate, nullptr, 0, &returned)) return RequestFailed();
  return ASE_OK;
}

ASIOError Qx531Asio::getClockSources(ASIOClockSource* clocks, ASIOLong* numSources) {
  if (clocks == nullptr || numSources == nullptr) return ASE_InvalidParameter;
  const ASIOLong asked = *numSources;
  AsioClockState state{};
  if (!ReadClockState(&state)) return RequestFailed();
  const ASIOLong filled = std::min(asked, kClockSourceCount);
  for (ASIOLong i = 0; i < filled; ++i) {
    ASIOClockSource& c = clocks[i];
    c.index = i;
    c.associatedChannel = -1;
    c.associatedGroup = -1;
    c.isCurrentSource = state.clockSource == kClockSources[i].code ? ASIOTrue : ASIOFalse;
    std::snprintf(c.name, sizeof c.name, "%s", kClockSources[i].name);
    if (c.isCurrentSource) OutputDebugStringA(kClockSources[i].debugText);
  }
  if (asked >= 1) *numSources = filled;
  clockSourceCount = *numSources;
  return ASE_OK;
}

ASIOError Qx531Asio::setClockSource(ASIOLong reference) {
  if (reference < 0 || reference >= clockSourceCount || reference >= kClockSourceCount) return ASE_InvalidParameter;
  const uint32_t code = kClockSources[reference].code;
  uint32_t returned = 0;
  if (!AsioIoctl(kAsioSetClockSource, &code, sizeof code, nullptr, 0, &returned)) return RequestFailed();
  return ASE_OK;
}

ASIOError Qx531Asio::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  if (sPos == nullptr || tStamp == nullptr) return ASE_InvalidParameter;
  sPos->hi = 0;
  sPos->lo = positionSnapshot;
  const uint64_t ns = uint64_t{timeSnapshot} * 1000000;
  tStamp->hi = static_cast<uint32_t>(ns >> 32);
  tStamp->lo = static_cast<uint32_t>(ns);
  return ASE_OK;
}

ASIOError Qx531Asio::getChannelInfo(ASIOChannelInfo* info) {
  if (info == nullptr) return ASE_InvalidParameter;
  const ASIOLong channel = info->channel;
  if (channel < 0 || channel > kLastChannel || channel >= (info->isInput ? inputCount : outputCount))
    return ASE_InvalidParameter;
  info->isActive = ASIOTrue;
  info->channelGroup = 0;
  info->type = sampleBits == 16 ? ASIOSTInt16LSB : ASIOSTInt32LSB;
  std::snprintf(info->name, sizeof info->name, "%s", kChannelNames[channel]);
  return ASE_OK;
}

ASIOError Qx531Asio::createBuffers(ASIOBufferInfo* bufferInfos, ASIOLong numChannels, ASIOLong bufferSize,
                                   ASIOCallbacks* callbacks) {
  if (!present) return ASE_NotPresent;
  if (buffersCreated) return ASE_InvalidMode;
  if (bufferInfos == nullptr || numChannels <= 0 || callbacks == nullptr) return ASE_InvalidParameter;
  ASIOLong inputs = 0, outputs = 0;
  for (ASIOLong i = 0; i < numChannels; ++i) {
    const ASIOBufferInfo& b = bufferInfos[i];
    const ASIOLong limit = b.isInput ? inputCount : outputCount;
    if (b.channelNum < 0 || b.channelNum > kLastChannel || b.channelNum >= limit) return ASE_InvalidParameter;
    ++(b.isInput ? inputs : outputs);
  }
  if (inputs > inputCount || outputs > outputCount) return ASE_InvalidParameter;
  if (bufferSize != bufferFrames) return ASE_InvalidMode;

  createRequest.sampleBits = static_cast<uint32_t>(sampleBits);
  createRequest.frames = static_cast<uint32_t>(bufferSize);
  createRequest.reserved = 0;
  createRequest.playbackCount = static_cast<uint32_t>(outputs);
  createRequest.recordCount = static_cast<uint32_t>(inputs);
  uint32_t nextInput = 0, nextOutput = 0;
  for (ASIOLong i = 0; i < numChannels; ++i) {
    const ASIOBufferInfo& b = bufferInfos[i];
    if (b.isInput)
      createRequest.recordChannels[nextInput++] = static_cast<uint32_t>(b.channelNum);
    else
      createRequest.playbackChannels[nextOutput++] = static_cast<uint32_t>(b.channelNum);
  }
  auto reply = std::make_unique<AsioCreateReply>();
  uint32_t returned = 0;
  const bool sent = AsioIoctl(kAsioCreateBuffers, &createRequest, sizeof createRequest, reply.get(), sizeof *reply,
                              &returned);
  if (!sent || returned != sizeof *reply) {
    for (ASIOLong i = 0; i < numChannels; ++i) bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    if (!sent) return RequestFailed();
    // A reply we can't read: whatever the kernel driver mapped goes again.
    AsioIoctl(kAsioDisposeBuffers, nullptr, 0, nullptr, 0, &returned);
    return ASE_HWMalfunction;
  }
  createdFrames = bufferSize;
  createdInputs = inputs;
  createdOutputs = outputs;

  OutputDebugStringA(kHyphens);
  uint32_t k = 0, j = 0;
  for (ASIOLong i = 0; i < numChannels; ++i) {
    ASIOBufferInfo& b = bufferInfos[i];
    const uint32_t at = b.isInput ? 2 * k++ : kAsioPlaybackAddresses + 2 * j++;
    b.buffers[0] = reinterpret_cast<void*>(static_cast<uintptr_t>(reply->addresses[at]));
    b.buffers[1] = reinterpret_cast<void*>(static_cast<uintptr_t>(reply->addresses[at + 1]));
    const char* direction = b.isInput ? "in" : "out";
    Debug("asio %sbuffer[%d][0] = %x\n     %sbuffer[%d][1] = %x\n", direction, static_cast<int>(i),
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(b.buffers[0])), direction, static_cast<int>(i),
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(b.buffers[1])));
  }
  OutputDebugStringA(kHyphens);

  timeBlock = ASIOTime{};
  timeBlock.timeInfo.sampleRate = currentRate;
  timeBlock.timeCode.speed = 1.0;
  timeInfoMode = 0;
  if (callbacks->asioMessage != nullptr && callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1)
    timeInfoMode = 1;
  hostCallbacks = callbacks;
  buffersCreated = 1;
  return ASE_OK;
}

ASIOError Qx531Asio::disposeBuffers() {
  if (!present && !buffersCreated) return ASE_NotPresent;
  if (!buffersCreated) return ASE_InvalidMode;
  if (running) stop();
  ReapEndingThread();
  uint32_t returned = 0;
  if (!AsioIoctl(kAsioDisposeBuffers, nullptr, 0, nullptr, 0, &returned)) UnitGone();
  buffersCreated = 0;
  hostCallbacks = nullptr;
  return ASE_OK;
}

ASIOError Qx531Asio::controlPanel() {
  char directory[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(directory, MAX_PATH);
  if (length >= MAX_PATH) length = 0;
  std::string path(directory, length);
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += "Qx5310cp.cpl";
  const std::string command = "shell32.dll,Control_RunDLL " + path;
  ShellExecuteA(static_cast<HWND>(sysHandle), "open", "rundll32.exe", command.c_str(), nullptr, SW_SHOWNORMAL);
  return ASE_OK;
}

ASIOError Qx531Asio::future(ASIOLong selector, void* opt) {
  switch (selector) {
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead:
    case kAsioCanInputMonitor:
      return ASE_SUCCESS;
    case kAsioCanTimeInfo:
      OutputDebugStringA("kAsioCanTimeInfo supported\n");
      return ASE_SUCCESS;
    case kAsioSetInputMonitor: {
      if (opt == nullptr) return ASE_InvalidParameter;
      const ASIOInputMonitor monitor = *static_cast<const ASIOInputMonitor*>(opt);
      if (monitor.input < -1 || monitor.input > kLastChannel) return ASE_InvalidParameter;
      Debug("InputMon input=%d, output=%d, gain=%x, state=%c, pan=%x\n", static_cast<int>(monitor.input),
            static_cast<int>(monitor.output), static_cast<unsigned>(monitor.gain), monitor.state ? 't' : 'f',
            static_cast<unsigned>(monitor.pan));
      // -1 is every input.
      const ASIOLong first = monitor.input < 0 ? 0 : monitor.input;
      const ASIOLong last = monitor.input < 0 ? kLastChannel : monitor.input;
      for (ASIOLong channel = first; channel <= last; ++channel) {
        InputMonitorRequest request = {static_cast<uint32_t>(channel), monitor.state ? 1u : 0u,
                                       static_cast<uint32_t>(monitor.gain), static_cast<uint32_t>(monitor.pan)};
        uint32_t returned = 0;
        if (Ioctl(QX531RequestNumber(IOCTL_QX531_SET_INPUT_MONITOR), &request, sizeof request, 0, &returned) !=
            kQX531Success)
          return RequestFailed();
      }
      return ASE_SUCCESS;
    }
    default:
      return ASE_NotPresent;
  }
}

// Hosts call it after every buffer, on the buffer-switch thread: a failed request is news only when
// the unit has gone, and the host's next call on its own thread records that.
ASIOError Qx531Asio::outputReady() {
  uint32_t returned = 0;
  if (AsioIoctl(kAsioOutputReady, nullptr, 0, nullptr, 0, &returned) || MainUnitListed()) return ASE_OK;
  return ASE_NotPresent;
}
