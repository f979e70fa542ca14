#include "tools/qx5310sim/AsioLoopHost.h"

#include <cstring>
#include <utility>

#include <memory>

#include "client/QX531WinDriverInterface.h"
#include "platform/asio/AsioHostHarness.h"
#include "platform/win32/include/setupapi.h"

using plat::asio::AsioHostHarness;

namespace {

constexpr DWORD kLookMs = 20;  // how often the host's own thread looks for a request or a stop
constexpr uint32_t kSizeWaitMs = 2000;
constexpr uint32_t kDeviceLookMs = 100;  // how often the host looks at the units' interfaces
constexpr uint32_t kQuietMs = 100;  // no buffer switch for this long: the host asks whether the unit is there

// The units' interfaces present now, as a host hears of devices that come and go.
std::vector<std::string> PresentUnits() {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&kQX531InterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kQX531InterfaceClass, index, &data); ++index) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    auto bytes = std::make_unique<uint8_t[]>(needed);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr))
      paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

}  // namespace

const uint32_t AsioLoopHost::kValidTimeFlags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;

AsioLoopHost::AsioLoopHost(std::function<void(const std::vector<const int32_t*>&, uint32_t)> onHalf)
    : onHalf_(std::move(onHalf)) {}

std::string AsioLoopHost::FlagNames(uint32_t flags) {
  std::string names;
  for (const auto& [flag, name] : {std::pair{kSystemTimeValid, "system time"},
                                   std::pair{kSamplePositionValid, "sample position"},
                                   std::pair{kSampleRateValid, "sample rate"}})
    if ((flags & flag) != 0) names += (names.empty() ? "" : ", ") + std::string(name);
  return names;
}

bool AsioLoopHost::Open(AsioHostHarness& asio) {
  const std::vector<std::string> listed = AsioHostHarness::ListDrivers();
  if (listed.empty()) {
    failure_ = "no ASIO driver is listed";
    return false;
  }
  listedName_ = listed.front();
  if (!asio.Load(listedName_)) {
    failure_ = asio.Failure();
    return false;
  }
  // The buffer size set through the client library reaches the driver once the unit's streams have
  // restarted with it: the host waits for it rather than stream at another size.
  ASIOLong size[4] = {};
  if (asio.Driver()->init(nullptr) == ASIOTrue)
    for (uint32_t waited = 0; waited < kSizeWaitMs; waited += kLookMs) {
      if (asio.Driver()->getBufferSize(&size[0], &size[1], &size[2], &size[3]) != ASE_OK ||
          size[2] == static_cast<ASIOLong>(frames_))
        break;
      Sleep(kLookMs);
    }
  if (!asio.Prepare(static_cast<ASIOLong>(frames_))) {
    failure_ = asio.Failure() + " (the driver's buffer size is " + std::to_string(asio.Setup().preferredSize) + ")";
    return false;
  }
  const plat::asio::HostSetup& setup = asio.Setup();
  if (setup.inputs != kChannels || setup.outputs != kChannels) {
    failure_ = "the driver has " + std::to_string(setup.inputs) + " inputs and " + std::to_string(setup.outputs) +
               " outputs";
    return false;
  }
  const ASIOError started = asio.Start();
  if (started != ASE_OK) {
    failure_ = "start failed: " + std::to_string(started);
    return false;
  }
  driverName_ = setup.driverName;
  driverVersion_ = setup.version;
  return true;
}

uint32_t AsioLoopHost::Main(uint32_t frames) {
  frames_ = frames;
  std::vector<const int32_t*> record(kChannels);
  bool waitForUnit = false;
  std::vector<std::string> units;
  while (!stop_) {
    // A driver that could not be opened is tried again once the units change.
    for (uint32_t ms = 0; waitForUnit && !stop_ && !reopen_; ms += kLookMs) {
      Sleep(kLookMs);
      if (ms % kDeviceLookMs == 0 && PresentUnits() != units) break;
    }
    if (stop_) break;
    units = PresentUnits();
    reopen_ = false;
    resetRequested_ = false;
    lastIndex_ = -1;
    positionKnown_ = false;
    AsioHostHarness asio;
    asio.onBuffer = [&](ASIOLong index) {
      ++delivered_;
      TakeSwitches(asio);
      const std::vector<ASIOBufferInfo>& buffers = asio.Buffers();
      const uint32_t silent = silent_;
      const size_t bytes = size_t{frames_} * sizeof(int32_t);
      for (uint32_t k = 0; k < kChannels; ++k) {
        record[k] = static_cast<const int32_t*>(buffers[k].buffers[index]);
        void* playback = buffers[kChannels + k].buffers[index];
        if ((silent >> k & 1) != 0)
          std::memset(playback, 0, bytes);
        else
          std::memcpy(playback, record[k], bytes);
      }
      onHalf_(record, frames_);
    };
    asio.onMessage = [this](ASIOLong selector) {
      if (selector != kAsioResetRequest) return;
      ++resetRequests_;
      resetRequested_ = true;
    };
    waitForUnit = !Open(asio);
    if (waitForUnit) {
      state_ = State::Failed;
      continue;
    }
    ++created_;
    state_ = State::Streaming;
    uint64_t heard = delivered_;
    uint32_t quietMs = 0;
    // The driver holds every unit's device open: when one comes or goes, the host lets the driver
    // go and creates it again, as hosts do on a device change.
    for (uint32_t ms = kLookMs; !stop_ && !reopen_ && !resetRequested_; ms += kLookMs) {
      Sleep(kLookMs);
      if (ms % kDeviceLookMs == 0 && PresentUnits() != units) {
        ++deviceChanges_;
        break;
      }
      quietMs = heard == delivered_ ? quietMs + kLookMs : 0;
      heard = delivered_;
      if (quietMs < kQuietMs) continue;
      // The stream went quiet: a driver whose unit has gone says so, and the host lets it go, so
      // that nothing holds the unit's device open once it left.
      quietMs = 0;
      ASIOSampleRate rate = 0;
      if (asio.Driver()->getSampleRate(&rate) == ASE_NotPresent) {
        ++notPresent_;
        waitForUnit = true;
        break;
      }
    }
    asio.Stop();
    TakeSwitches(asio);
    asio.Dispose();
    asio.Release();
  }
  return 0;
}

void AsioLoopHost::TakeSwitches(AsioHostHarness& asio) {
  for (const plat::asio::BufferSwitchCall& call : asio.switches) {
    ++stats_.count;
    if (call.index == lastIndex_) ++stats_.notAlternating;
    lastIndex_ = call.index;
    if (call.outputReady != ASE_OK) ++stats_.outputReadyFailures;
    if (!call.timeInfo) {
      ++stats_.withoutTimeInfo;
      positionKnown_ = false;
      continue;
    }
    const AsioTimeInfo& info = call.time.timeInfo;
    const uint64_t position = uint64_t{info.samplePosition.hi} << 32 | info.samplePosition.lo;
    // A stream's positions start at 0 and go on a half a switch.
    if (position != (positionKnown_ ? lastPosition_ + frames_ : 0)) ++stats_.positionOff;
    lastPosition_ = position;
    positionKnown_ = true;
    stats_.flagsMissing |= kValidTimeFlags & ~info.flags;
    if ((info.flags & kSampleRateChanged) != 0) ++stats_.rateChanged;
  }
  asio.switches.clear();
}
