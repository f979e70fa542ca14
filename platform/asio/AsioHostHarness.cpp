#include "platform/asio/AsioHostHarness.h"

#include <cstring>
#include <map>
#include <mutex>
#include "platform/kernel/WideText.h"

namespace plat::asio {

namespace {

// The harness whose buffers are created, by the process it runs in.
struct Hosts {
  std::mutex lock;
  std::map<DWORD, AsioHostHarness*> byProcess;
};

Hosts& TheHosts() {
  static Hosts hosts;
  return hosts;
}

AsioHostHarness* HostOfThisProcess() {
  std::lock_guard<std::mutex> hold(TheHosts().lock);
  auto it = TheHosts().byProcess.find(GetCurrentProcessId());
  return it != TheHosts().byProcess.end() ? it->second : nullptr;
}

void Bind(AsioHostHarness* host) {
  std::lock_guard<std::mutex> hold(TheHosts().lock);
  TheHosts().byProcess[GetCurrentProcessId()] = host;
}

void Unbind(AsioHostHarness* host) {
  std::lock_guard<std::mutex> hold(TheHosts().lock);
  auto it = TheHosts().byProcess.find(GetCurrentProcessId());
  if (it != TheHosts().byProcess.end() && it->second == host) TheHosts().byProcess.erase(it);
}

void OnBufferSwitch(ASIOLong index, ASIOBool direct) {
  if (AsioHostHarness* host = HostOfThisProcess()) host->BufferSwitch(index, false, direct, nullptr);
}

ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* time, ASIOLong index, ASIOBool direct) {
  if (AsioHostHarness* host = HostOfThisProcess()) host->BufferSwitch(index, true, direct, time);
  return nullptr;
}

void OnSampleRateDidChange(ASIOSampleRate rate) {
  if (AsioHostHarness* host = HostOfThisProcess()) host->rateChanges.push_back(rate);
}

ASIOLong OnAsioMessage(ASIOLong selector, ASIOLong value, void*, double*) {
  AsioHostHarness* host = HostOfThisProcess();
  return host != nullptr ? host->Message(selector, value) : 0;
}

// A string value of HKLM\`path`; the default value for a null name.
bool ReadString(const std::string& path, const char* name, std::string* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS))
    return false;
  char data[MAX_PATH] = {};
  DWORD size = sizeof data - 1;
  DWORD type = 0;
  const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size);
  RegCloseKey(key);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS) || type != REG_SZ) return false;
  *value = std::string(data, strnlen(data, size));
  return true;
}

constexpr ASIOSampleRate kRates[] = {44100.0, 48000.0, 88200.0, 96000.0};

}  // namespace

AsioHostHarness::AsioHostHarness(HostOptions options) : options_(options) {
  callbacks_.bufferSwitch = OnBufferSwitch;
  callbacks_.sampleRateDidChange = OnSampleRateDidChange;
  callbacks_.asioMessage = OnAsioMessage;
  callbacks_.bufferSwitchTimeInfo = OnBufferSwitchTimeInfo;
}

AsioHostHarness::~AsioHostHarness() { Release(); }

std::vector<std::string> AsioHostHarness::ListDrivers() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS))
    return names;
  for (DWORD index = 0;; ++index) {
    char name[MAX_PATH];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        static_cast<LSTATUS>(ERROR_SUCCESS))
      break;
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

bool AsioHostHarness::Fail(const std::string& why) {
  failure_ = why;
  return false;
}

bool AsioHostHarness::Load(const std::string& name) {
  std::string clsidText, dll;
  if (!ReadString("SOFTWARE\\ASIO\\" + name, "CLSID", &clsidText)) return Fail("no CLSID under the driver's ASIO key");
  plat::WideString wide(std::u16string(clsidText.begin(), clsidText.end()));
  CLSID clsid{};
  if (FAILED(CLSIDFromString(wide.c_str(), &clsid))) return Fail("the driver's CLSID is not a class id");
  if (!ReadString("SOFTWARE\\Classes\\CLSID\\" + clsidText + "\\InprocServer32", nullptr, &dll))
    return Fail("the class has no InprocServer32");
  module_ = LoadLibraryA(dll.c_str());
  if (module_ == nullptr) return Fail("LoadLibrary failed: " + std::to_string(GetLastError()));
  auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
  if (getClassObject == nullptr) return Fail("the DLL exports no DllGetClassObject");
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr) || factory == nullptr) return Fail("DllGetClassObject failed: " + std::to_string(hr));
  // ASIO hosts ask for the class id itself as the interface.
  void* object = nullptr;
  hr = factory->CreateInstance(nullptr, clsid, &object);
  factory->Release();
  if (FAILED(hr) || object == nullptr) return Fail("CreateInstance failed: " + std::to_string(hr));
  driver_ = static_cast<IASIO*>(object);
  return true;
}

bool AsioHostHarness::Prepare(ASIOLong frames) {
  if (driver_ == nullptr) return Fail("no driver");
  HostSetup& s = setup_;
  s.init = driver_->init(nullptr);
  char text[128] = {};
  driver_->getErrorMessage(text);
  s.errorMessage = text;
  if (s.init != ASIOTrue) return Fail("init failed: " + s.errorMessage);
  char name[32] = {};
  driver_->getDriverName(name);
  s.driverName = name;
  s.version = driver_->getDriverVersion();
  if (driver_->getChannels(&s.inputs, &s.outputs) != ASE_OK) return Fail("getChannels failed");
  for (ASIOBool input : {ASIOTrue, ASIOFalse}) {
    for (ASIOLong c = 0; c < (input ? s.inputs : s.outputs); ++c) {
      ASIOChannelInfo info{};
      info.channel = c;
      info.isInput = input;
      if (driver_->getChannelInfo(&info) != ASE_OK) return Fail("getChannelInfo failed");
      s.channels.push_back(info);
    }
  }
  if (driver_->getLatencies(&s.inputLatency, &s.outputLatency) != ASE_OK) return Fail("getLatencies failed");
  for (ASIOSampleRate rate : kRates) s.canRates.push_back(driver_->canSampleRate(rate));
  if (driver_->getSampleRate(&s.rate) != ASE_OK) return Fail("getSampleRate failed");
  ASIOClockSource clocks[8] = {};
  ASIOLong count = 8;
  if (driver_->getClockSources(clocks, &count) != ASE_OK) return Fail("getClockSources failed");
  s.clocks.assign(clocks, clocks + count);
  if (driver_->getBufferSize(&s.minSize, &s.maxSize, &s.preferredSize, &s.granularity) != ASE_OK)
    return Fail("getBufferSize failed");
  std::vector<ASIOLong> inputs, outputs;
  for (ASIOLong c = 0; c < s.inputs; ++c) inputs.push_back(c);
  for (ASIOLong c = 0; c < s.outputs; ++c) outputs.push_back(c);
  s.createBuffers = CreateBuffers(inputs, outputs, frames != 0 ? frames : s.preferredSize);
  if (s.createBuffers != ASE_OK) return Fail("createBuffers failed: " + std::to_string(s.createBuffers));
  return true;
}

ASIOError AsioHostHarness::CreateBuffers(const std::vector<ASIOLong>& inputs, const std::vector<ASIOLong>& outputs,
                                         ASIOLong frames) {
  if (driver_ == nullptr) return ASE_NotPresent;
  frames_ = frames != 0 ? frames : setup_.preferredSize;
  buffers_.clear();
  for (ASIOLong c : inputs) buffers_.push_back({ASIOTrue, c, {nullptr, nullptr}});
  for (ASIOLong c : outputs) buffers_.push_back({ASIOFalse, c, {nullptr, nullptr}});
  inputEntries_ = inputs.size();
  ASIOChannelInfo info{};
  info.isInput = ASIOTrue;
  sampleBytes_ = driver_->getChannelInfo(&info) == ASE_OK && info.type == ASIOSTInt16LSB ? 2 : 4;
  Bind(this);
  const ASIOError result =
      driver_->createBuffers(buffers_.data(), static_cast<ASIOLong>(buffers_.size()), frames_, &callbacks_);
  if (result != ASE_OK) Unbind(this);
  return result;
}

ASIOError AsioHostHarness::Start() { return driver_ != nullptr ? driver_->start() : ASE_NotPresent; }
ASIOError AsioHostHarness::Stop() { return driver_ != nullptr ? driver_->stop() : ASE_NotPresent; }

ASIOError AsioHostHarness::Dispose() {
  if (driver_ == nullptr) return ASE_NotPresent;
  const ASIOError result = driver_->disposeBuffers();
  Unbind(this);
  return result;
}

void AsioHostHarness::ReleaseDriver() {
  if (driver_ != nullptr) driver_->Release();
  driver_ = nullptr;
  Unbind(this);
}

void AsioHostHarness::Release() {
  ReleaseDriver();
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
}

ASIOLong AsioHostHarness::Message(ASIOLong selector, ASIOLong value) {
  messages.push_back({selector, value, GetCurrentThreadId()});
  ASIOLong answer = 0;
  switch (selector) {
    case kAsioSelectorSupported:
      answer = value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioResyncRequest ||
                       value == kAsioLatenciesChanged || value == kAsioSupportsTimeInfo
                   ? 1
                   : 0;
      break;
    case kAsioEngineVersion:
      answer = 2;
      break;
    case kAsioResetRequest:
    case kAsioResyncRequest:
    case kAsioLatenciesChanged:
      answer = 1;
      break;
    case kAsioSupportsTimeInfo:
      answer = options_.timeInfo ? 1 : 0;
      break;
    default:
      break;
  }
  if (onMessage) onMessage(selector);
  return answer;
}

void AsioHostHarness::BufferSwitch(ASIOLong index, bool timeInfo, ASIOBool direct, const ASIOTime* time) {
  BufferSwitchCall call{index, timeInfo, direct, {}, GetCurrentThreadId(), ASE_OK};
  if (time != nullptr) call.time = *time;
  if (onBuffer)
    onBuffer(index);
  else
    CopyInputsToOutputs(index);
  if (options_.outputReady && driver_ != nullptr) call.outputReady = driver_->outputReady();
  switches.push_back(call);
}

void AsioHostHarness::CopyInputsToOutputs(ASIOLong index) {
  const size_t outputs = buffers_.size() - inputEntries_;
  for (size_t k = 0; k < inputEntries_ && k < outputs; ++k) {
    const void* in = buffers_[k].buffers[index];
    void* out = buffers_[inputEntries_ + k].buffers[index];
    if (in != nullptr && out != nullptr) std::memcpy(out, in, static_cast<size_t>(frames_ * sampleBytes_));
  }
}

}  // namespace plat::asio
