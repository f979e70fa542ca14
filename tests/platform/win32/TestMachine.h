// A machine for tests of the Win32 stand-in, in plain C++ so that programs written against
// <windows.h> and the driver written against <wdm.h> stay in sources of their own: a test bus with
// one device whose driver registers a device interface and answers a few control codes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace w32test {

// Control codes of the test driver (device type 0x22, buffered, any access).
constexpr uint32_t Code(uint32_t function) { return 0x22u << 16 | function << 2; }
constexpr uint32_t kWhoAmI = Code(0x800);   // out: WhoAmI
constexpr uint32_t kMap = Code(0x801);      // out: MapReply, the shared buffer and the index cell
constexpr uint32_t kHold = Code(0x802);     // held pending until cancelled
constexpr uint32_t kTick = Code(0x803);     // buffer word 1 = 2 x word 0; the index cell flips
constexpr uint32_t kWriteOnly = 0x22u << 16 | 2u << 14 | 0x804u << 2;  // needs write access

// The driver's device interface class, as a GUID's 16 bytes.
extern const unsigned char kInterfaceClass[16];

// The two framework probe drivers, KfwAlpha.sys and KfwBeta.sys, each its own image: their device
// interface class, the control code that asks a device what its driver sees, and the answer.
const void* ProbeInterfaceClass();  // a GUID
extern const uint32_t kProbeState;
struct ProbeAnswer {
  uint32_t constructorsRun;
  uint32_t derivedPoolTag;
  uint8_t dosDevicesPrefix;
  uint8_t instanceIsOwn;
  uint8_t reserved[2];
  char16_t service[32];
  uint32_t processId;
  uint32_t is32;
  uint32_t requestorMode;
};

struct WhoAmI {
  uint32_t processId;
  uint32_t is32;
  uint32_t requestorMode;
  uint32_t previousMode;
};
struct MapReply {
  uint64_t buffer;  // 2 pages
  uint64_t index;   // one byte
};

class Machine {
 public:
  explicit Machine(uint64_t seed = 0);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Loads the probe drivers by their images through plug and play, one device each.
  void PlugProbeDrivers();

  // The device's interface path as user mode sees it ("\\?\...").
  std::string InterfacePath() const;
  std::vector<std::string>& Log();
  // The driver leaves its user mappings in place at CLEANUP (a faulty driver).
  void LeaveMappings();
  // Pool the driver holds for open files and their mappings.
  size_t FilePool() const;

  // Processes: an opaque process, its entry run on its first thread.
  void* Start(const std::string& image, unsigned bits, std::function<uint32_t()> entry);
  // The program image `image` started with `commandLine`; null, with the Win32 error, when refused.
  void* StartProgram(const std::string& image, const std::string& commandLine, unsigned bits, uint32_t* error = nullptr);
  // Runs `body` on a new thread of a running process until it returns; false when the process
  // ended first.
  bool RunIn(void* process, std::function<void()> body);
  void Kill(void* process);
  void Wait(void* process);
  void Release(void* process);
  uint32_t ExitCode(void* process) const;
  std::string DebugOutput(void* process) const;
  bool Ended(void* process) const;

  // Runs the machine until `done` or `ms` of virtual time have passed; true when done.
  bool RunUntil(const std::function<bool()>& done, uint64_t ms);
  void RunFor(uint64_t ms);
  uint64_t NowMs() const;
  // Pool left anywhere.
  size_t OutstandingPool() const;

 private:
  struct State;
  State* state_;
};

}  // namespace w32test
