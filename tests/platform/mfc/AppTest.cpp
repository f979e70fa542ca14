// A program on the class library in processes of a test machine: its entry, its application object
// and its windows' objects and maps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

struct Outcome {
  uint32_t exitCode;
  std::vector<std::string> output;
  uint64_t ms;
};

Outcome RunProbe(Machine& m, const std::string& arguments) {
  const uint64_t start = m.NowMs();
  void* p = m.StartProgram("AppProbe.exe", "AppProbe.exe " + arguments, 64);
  if (p == nullptr) {
    return {~0u, {}, 0};
  }
  m.Wait(p);
  Outcome run{m.ExitCode(p), Lines(m.DebugOutput(p)), m.NowMs() - start};
  m.Release(p);
  return run;
}

TEST(ClassLibraryProgram, WinMainRunsInitInstanceThenRunOrExitInstance) {
  struct Case {
    const char* arguments;
    uint32_t exitCode;
    std::vector<std::string> output;
  };
  const Case cases[] = {
      {"refuse", 3, {"ExitInstance"}},
      {"quit 9", 9, {"ExitInstance 9"}},
      {"quit 0", 0, {"ExitInstance 0"}},
      {"title", 0, {"title AppProbe", "ExitInstance 0"}},
  };
  Machine m;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Outcome run = RunProbe(m, c.arguments);
    EXPECT_EQ(c.exitCode, run.exitCode);
    EXPECT_EQ(c.output, run.output);
  }
}

TEST(ClassLibraryProgram, TwoProcessesKeepTheirOwnApplicationObjects) {
  Machine m;
  void* a = m.StartProgram("AppProbe.exe", "AppProbe.exe count", 64);
  void* b = m.StartProgram("AppProbe.exe", "AppProbe.exe count", 64);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  m.Wait(a);
  m.Wait(b);
  EXPECT_EQ(std::vector<std::string>({"count 1 mine", "ExitInstance 0"}), Lines(m.DebugOutput(a)));
  EXPECT_EQ(std::vector<std::string>({"count 1 mine", "ExitInstance 0"}), Lines(m.DebugOutput(b)));
  m.Release(a);
  m.Release(b);
}

TEST(ClassLibraryProgram, WindowObjectsRouteMessagesReflectClicksAndStayStable) {
  Machine m;
  const Outcome run = RunProbe(m, "window");
  EXPECT_EQ(std::vector<std::string>({"probe 7 8", "result 5", "button took its click", "parent took the other click",
                                      "timers 20", "ExitInstance 20"}),
            run.output);
  EXPECT_EQ(20u, run.exitCode);
  // 20 timers of 500 ms: ten virtual seconds.
  EXPECT_GE(run.ms, 10000u);
  EXPECT_LT(run.ms, 10500u);
}

}  // namespace
