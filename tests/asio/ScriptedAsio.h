// The ASIO driver against a scripted main unit, whose answers to each request the test chooses:
// a host program in a simulated process loads the DLL, and the test plays the kernel driver's
// part of the stream, writing the buffer-index byte and setting the host's event.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "asio/Qx531AsioRequests.h"
#include "platform/asio/AsioHostHarness.h"
#include "tests/asio/AsioMachine.h"
#include "tests/client/ClientMachine.h"
#include "tests/client/Program.h"
#include "tests/client/Units.h"

namespace asiotest {

using plat::asio::AsioHostHarness;

// The driver's class id, which is also the interface id hosts ask it for.
inline constexpr CLSID kDriverClsid = {0x3CC6396F, 0xD6D9, 0x4101, {0xAC, 0x20, 0xD9, 0xAD, 0x05, 0xEB, 0x16, 0x37}};

class ScriptedAsio : public testing::Test {
 protected:
  static constexpr uint32_t kFrames = 256;
  static constexpr uint32_t kHalves = 4 * kAsioChannelSlots;

  void SetUp() override {
    main = ctest::PlugUnit(*m, ctest::kMain, 7);
    Caps({kAsioCapsMagicWord, kFrames, 18, 18, 24});
    ClockState({1, 44100, 0});
    AsioCreateReply reply{};
    for (uint32_t i = 0; i < kHalves; ++i) reply.addresses[i] = reinterpret_cast<uintptr_t>(&halves[i * kFrames]);
    m->SetReply(main, ctest::Answer(kAsioCreateBuffers, &reply, sizeof reply));
    const AsioStartOut start = {reinterpret_cast<uintptr_t>(&cell)};
    m->SetReply(main, ctest::Answer(kAsioStart, &start, sizeof start));
    program = std::make_unique<ctest::Program>(m->Run());
    Run([] { RegisterDriver(); });
  }

  void TearDown() override {
    Run([&] { host.reset(); });
    program.reset();
  }

  // The fixture again on a machine of its own run under `seed`, for a test that loops over seeds.
  void Reseed(uint64_t seed) {
    TearDown();
    m.reset();
    m = std::make_unique<ctest::Machine>(seed);
    SetUp();
  }

  void Caps(const AsioCaps& caps) { m->SetReply(main, ctest::Answer(kAsioGetCaps, &caps, sizeof caps)); }
  void ClockState(const AsioClockState& state) {
    m->SetReply(main, ctest::Answer(kAsioGetClockState, &state, sizeof state));
  }
  void Fail(uint32_t request, uint32_t count = 1) { m->FailNext(main, request, count); }
  std::vector<scripted::LogEntry> Sent(uint32_t request) { return ctest::Requests(*m, main, request); }

  void Run(std::function<void()> job) { program->Do(std::move(job)); }
  // Runs a call of the host's driver on the host's thread.
  template <typename T>
  T Call(const std::function<T(IASIO*)>& call) {
    T result{};
    Run([&] { result = call(host->Driver()); });
    return result;
  }
  // A host with the driver loaded; with `prepare`, its buffers created for every channel.
  void LoadHost(bool prepare = false, plat::asio::HostOptions options = {}) {
    Run([&] {
      host = std::make_unique<AsioHostHarness>(options);
      ASSERT_TRUE(host->Load(kDriverKey)) << host->Failure();
      if (prepare) {
        ASSERT_TRUE(host->Prepare()) << host->Failure();
      }
    });
  }
  // The event the host's driver handed to its last start.
  void* StartedEvent() {
    const std::vector<scripted::LogEntry> starts = Sent(kAsioStart);
    if (starts.empty()) return nullptr;
    uint64_t handle = 0;
    std::memcpy(&handle, starts.back().input, sizeof handle);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
  }
  // The kernel driver's part: a half completed with `index` in the cell, then the host's thread runs.
  void Signal(uint8_t index, void* event = nullptr) {
    if (event == nullptr) event = StartedEvent();
    Run([&] {
      cell = index;
      SetEvent(event);
      Sleep(5);
    });
  }
  // The host's start, stop and dispose, on its thread.
  ASIOError HostStart() { return Call<ASIOError>([&](IASIO*) { return host->Start(); }); }
  ASIOError HostStop() { return Call<ASIOError>([&](IASIO*) { return host->Stop(); }); }
  ASIOError HostDispose() { return Call<ASIOError>([&](IASIO*) { return host->Dispose(); }); }
  void Pause(uint32_t ms) {
    Run([ms] { Sleep(ms); });
  }

  std::unique_ptr<ctest::Machine> m = std::make_unique<ctest::Machine>();
  ctest::Machine::Unit main = nullptr;
  std::unique_ptr<ctest::Program> program;
  std::unique_ptr<AsioHostHarness> host;
  volatile uint8_t cell = 0;
  std::vector<int32_t> halves = std::vector<int32_t>(kHalves * kFrames);
};

}  // namespace asiotest
