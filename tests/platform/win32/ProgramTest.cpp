// Program images started with a command line: the C runtime's arguments, WinMain's line and exit
// code, the program's own module, and one copy of the program's globals per process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/include/windows.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

struct Outcome {
  uint32_t exitCode;
  std::vector<std::string> output;  // each argument, then "line:" and WinMain's line
};

Outcome RunProgram(Machine& m, const std::string& commandLine, unsigned bits = 64) {
  void* p = m.StartProgram(bits == 32 ? "ProbeProgram32.exe" : "ProbeProgram.exe", commandLine, bits);
  if (p == nullptr) return {~0u, {}};
  m.Wait(p);
  Outcome run{m.ExitCode(p), Lines(m.DebugOutput(p))};
  m.Release(p);
  return run;
}

TEST(Programs, TheCommandLineSplitsIntoArgumentsAsWindowsRuntimeSplitsIt) {
  Machine m;
  struct Case {
    const char* line;
    std::vector<std::string> arguments;
    const char* rest;  // what WinMain is given
  } cases[] = {
      {"X.exe H", {"X.exe", "H"}, "H"},
      {"X.exe \"H x\"", {"X.exe", "H x"}, "\"H x\""},
      {"X.exe H y", {"X.exe", "H", "y"}, "H y"},
      {"X.exe", {"X.exe"}, ""},
      {"X.exe   H \t y  ", {"X.exe", "H", "y"}, "H \t y  "},
      {"X.exe \"\"", {"X.exe", ""}, "\"\""},
      {"\"C:\\Program Files\\X.exe\" H", {"C:\\Program Files\\X.exe", "H"}, "H"},
      {"C:\\dir\\X.exe a", {"C:\\dir\\X.exe", "a"}, "a"},
      {"X.exe a\\b c\\\\d", {"X.exe", "a\\b", "c\\\\d"}, "a\\b c\\\\d"},       // lone backslashes stay
      {"X.exe a\\\"b", {"X.exe", "a\"b"}, "a\\\"b"},                           // \" is a quote
      {"X.exe a\\\\\"b c\"", {"X.exe", "a\\b c"}, "a\\\\\"b c\""},             // \\" is \ and a quote
      {"X.exe a\\\\\\\"b", {"X.exe", "a\\\"b"}, "a\\\\\\\"b"},                 // \\\" is \ and "
      {"X.exe \"a\\\\\\\\\"", {"X.exe", "a\\\\"}, "\"a\\\\\\\\\""},            // \\\\" is \\ and a quote
      {"X.exe \"a\"\"b\"", {"X.exe", "a\"b"}, "\"a\"\"b\""},                   // "" inside quotes
      {"X.exe a\"b c\"d e", {"X.exe", "ab cd", "e"}, "a\"b c\"d e"},
      {"X.exe \"open", {"X.exe", "open"}, "\"open"},
      {"X.exe \"a b\"c", {"X.exe", "a bc"}, "\"a b\"c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome run = RunProgram(m, c.line);
    std::vector<std::string> expected = c.arguments;
    expected.push_back(std::string("line:") + c.rest);
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.exitCode, c.arguments.size()) << "WinMain's value";
  }
}

TEST(Programs, WinMainsValueIsTheExitCodeInEitherBitness) {
  Machine m;
  for (unsigned bits : {64u, 32u})
    for (uint32_t code : {0u, 7u, 259u, 0xC0000005u}) {
      SCOPED_TRACE(std::to_string(bits) + " " + std::to_string(code));
      EXPECT_EQ(RunProgram(m, "P.exe exit " + std::to_string(static_cast<int>(code)), bits).exitCode, code);
    }
}

TEST(Programs, AProgramStartedWithoutACommandLineHasItsImageNameAsOne) {
  Machine m;
  Outcome run = RunProgram(m, "");
  EXPECT_EQ(run.output, (std::vector<std::string>{"ProbeProgram.exe", "line:"}));
}

TEST(Programs, AMissingImageOrOneOfTheOtherBitnessStartsNoProcess) {
  Machine m;
  struct Case {
    const char* image;
    unsigned bits;
    uint32_t error;
  } cases[] = {
      {"NoSuchProgram.exe", 64, ERROR_FILE_NOT_FOUND},
      {"ProbeProgram32.exe", 64, ERROR_BAD_EXE_FORMAT},
      {"ProbeProgram.exe", 32, ERROR_BAD_EXE_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    uint32_t error = 0;
    EXPECT_EQ(m.StartProgram(c.image, c.image, c.bits, &error), nullptr);
    EXPECT_EQ(error, c.error);
  }
}

TEST(Programs, TwoProcessesOfOneProgramKeepSeparateGlobals) {
  Machine m;
  void* a = m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe globals first", 64);
  void* b = m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe globals second", 64);
  m.Wait(a);
  m.Wait(b);
  EXPECT_EQ(m.DebugOutput(a), "first 1");
  EXPECT_EQ(m.DebugOutput(b), "second 1") << "each process ran its own copy's static constructor once";
  m.Release(a);
  m.Release(b);
}

TEST(Programs, TheProgramKnowsItsCommandLineItsModuleAndItsFileName) {
  Machine m;
  void* p = m.StartProgram("probeprogram.EXE", "probeprogram wait", 64);
  ASSERT_NE(p, nullptr) << "image names match as Windows matches them";
  struct Seen {
    std::string commandLine;
    HMODULE null = nullptr, named = nullptr;
    char path[MAX_PATH] = {};
    DWORD length = 0;
    char shortPath[8] = {};
    DWORD shortLength = 0, shortError = 0;
    DWORD missingLength = 1, missingError = 0;
    BOOL freed = FALSE;
    HMODULE afterFree = nullptr;
  } seen;
  ASSERT_TRUE(m.RunIn(p, [&] {
    seen.commandLine = GetCommandLineA();
    seen.null = GetModuleHandleA(nullptr);
    seen.named = GetModuleHandleA("PROBEPROGRAM.exe");
    seen.length = GetModuleFileNameA(nullptr, seen.path, sizeof seen.path);
    seen.shortLength = GetModuleFileNameA(seen.null, seen.shortPath, sizeof seen.shortPath);
    seen.shortError = GetLastError();
    seen.missingLength = GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1000), seen.path + 200, 50);
    seen.missingError = GetLastError();
    seen.freed = FreeLibrary(seen.null);
    seen.afterFree = GetModuleHandleA(nullptr);
    std::string quit = "ProbeProgramQuit" + std::to_string(GetCurrentProcessId());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, quit.c_str());
    SetEvent(event);
    CloseHandle(event);
  }));
  m.Wait(p);
  EXPECT_EQ(seen.commandLine, "probeprogram wait");
  EXPECT_NE(seen.null, nullptr);
  EXPECT_EQ(seen.named, seen.null);
  EXPECT_EQ(std::string(seen.path), "C:\\Windows\\system32\\ProbeProgram.exe") << "the file's own name";
  EXPECT_EQ(seen.length, std::string(seen.path).size());
  EXPECT_EQ(std::string(seen.shortPath), "C:\\Wind") << "cut short, and terminated";
  EXPECT_EQ(seen.shortLength, sizeof seen.shortPath);
  EXPECT_EQ(seen.shortError, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(seen.missingLength, 0u);
  EXPECT_EQ(seen.missingError, ERROR_MOD_NOT_FOUND);
  EXPECT_TRUE(seen.freed);
  EXPECT_EQ(seen.afterFree, seen.null) << "the program's image stays until the process ends";
  EXPECT_EQ(m.ExitCode(p), 0u);
  m.Release(p);
}

TEST(Programs, AProcessStartedFromAHostFunctionHasNoProgramImage) {
  Machine m;
  HMODULE module = reinterpret_cast<HMODULE>(1);
  DWORD error = 0;
  std::string line;
  void* p = m.Start("host.exe", 64, [&]() -> uint32_t {
    line = GetCommandLineA();
    module = GetModuleHandleA(nullptr);
    error = GetLastError();
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(line, "host.exe");
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(error, ERROR_MOD_NOT_FOUND);
  m.Release(p);
}

}  // namespace
