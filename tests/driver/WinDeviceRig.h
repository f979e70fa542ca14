// The Windows unit object on a machine with the simulated bus and the 1394 bus driver: a unit is
// plugged in, the plain test driver starts on it, and a QX531WinDevice sends its bus requests down
// that driver's stack, holding its asynchronous work on a function device of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/IsochStream.h"
#include "driver/QX531WinDevice.h"
#include "kframework/KernelDriverBase.h"
#include "kframework/LowerDeviceLink.h"
#include "kframework/PnpDeviceBase.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"

namespace drivertest {

inline constexpr WCHAR kServiceKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310";
inline constexpr char16_t kParametersKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";

// A function device that only counts the requests the unit holds on it.
class CountingDevice : public PnpDeviceBase {
 public:
  CountingDevice(ULONG stamp, PDEVICE_OBJECT pdo)
      : PnpDeviceBase(stamp, pdo, nullptr, FILE_DEVICE_UNKNOWN, nullptr, 0, 0) {}
  NTSTATUS DefaultPnp(PIRP irp) override { return CompleteRequest(irp, STATUS_NOT_SUPPORTED); }
  NTSTATUS DefaultPower(PIRP irp) override { return CompleteRequest(irp, STATUS_NOT_SUPPORTED); }
};

// The Windows unit object on the test driver's stack.
class TestUnit : public QX531WinDevice {
 public:
  TestUnit(bus1394test::UnitDevice* device, PnpDeviceBase* counted) : QX531WinDevice(device->pdo, counted) {
    mLink.LinkToLowerDevice(device->lower, device->pdo);
  }
  LowerDeviceLink* GetLowerDeviceLink() override { return &mLink; }
  BOOLEAN QueueMidiOut(ULONG packet) override {
    SendMIDIOut(packet);
    return TRUE;
  }
  void DeliverMidiWord(ULONG) override {}
  void LogString(const char* text) override {
    log.emplace_back(text);
    QX531WinDevice::LogString(text);
  }
  void LogLabelHex(const char* label, uint32_t value) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", value);
    log.push_back(std::string(label) + hex);
    QX531WinDevice::LogLabelHex(label, value);
  }
  void LogLabelDecimal(const char* label, int32_t value) override {
    log.push_back(std::string(label) + std::to_string(value));
    QX531WinDevice::LogLabelDecimal(label, value);
  }
  void HandleMIDIReceive(uint32_t count) override {
    midiWrites.emplace_back(mMIDIReceiveBuffer, mMIDIReceiveBuffer + count);
  }
  void HandleAsyncReceive(uint32_t length) override { asyncWrites.push_back(length); }

  uint32_t Generation() const { return mGenerationNumber; }
  uint32_t NodeNumber() const { return mNodeNum; }
  uint32_t LocalNodeNumber() const { return mlocalNodeNum; }
  uint8_t* MidiReceiveBuffer() { return mMIDIReceiveBuffer; }
  // The streams' state on the Windows side and the packet counts the engine hands it.
  IsochStream* Stream(uint32_t direction) const { return mIsochStreams[direction & 1]; }
  volatile UCHAR* ListBusy() { return mListBusy; }
  const uint32_t* CompletionCounts() const { return mCompletionCounts; }
  void SetListPackets(uint32_t count) {
    mRecordPacketsA = mRecordPacketsB = mPlaybackPacketsA = mPlaybackPacketsB = count;
  }
  uint32_t* PlaybackLengthsA() { return mPlaybackLengthsA; }
  uint8_t* AsyncReceiveBuffer() { return mAsyncReceiveBuffer; }

  LowerDeviceLink mLink;
  std::vector<std::string> log;
  std::vector<std::vector<uint8_t>> midiWrites;
  std::vector<uint32_t> asyncWrites;
};

// A machine with one unit plugged in and its Windows unit object, under an interleaving seed.
class WinDeviceRig : public bus1394test::Rig {
 public:
  explicit WinDeviceRig(sim::Node& unit, uint64_t seed = 0);
  ~WinDeviceRig();

  // Runs the machine until nothing is left to do.
  void Run() { sched.RunFor(100 * plat::kNsPerMs); }
  LONG RequestCount() const { return counted->mRequestCount; }
  // Bytes still allocated under the framework's tag.
  static size_t FrameworkPoolBytes();

  bus1394test::UnitDevice* device = nullptr;
  KernelDriverBase driver;
  CountingDevice* counted = nullptr;
  std::unique_ptr<TestUnit> win;
};

}  // namespace drivertest
