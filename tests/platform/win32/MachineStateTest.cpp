// The user-mode stand-ins' state belongs to one machine: a new machine starts without what the one
// before kept.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/ImageObjects.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/Session.h"
#include "platform/win32/include/windows.h"
#include "platform/win32/include/winres.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

using w32test::Machine;

struct Counter {
  int n = 0;
};

// In a host process of `m`: the library's first load, its page's caption, and a shared icon.
struct Seen {
  std::string caption;
  HICON icon = nullptr;
  bool iconLoaded = false;  // while its process runs: the icon goes with the process
};

Seen LoadLibraryPage(Machine& m) {
  Seen seen;
  void* p = m.Start("host.exe", 64, [&]() -> uint32_t {
    HMODULE library = LoadLibraryA("ProbeLibrary.dll");
    HRSRC found = FindResourceA(library, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG);
    if (found == nullptr) return 1;
    seen.caption = static_cast<const DIALOG_RESOURCE*>(LockResource(LoadResource(library, found)))->caption;
    seen.icon = LoadIconA(library, MAKEINTRESOURCEA(probe::kAppIcon));
    seen.iconLoaded = plat::win32::ImageObjectOf(seen.icon) != nullptr;
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(m.ExitCode(p), 0u);
  m.Release(p);
  return seen;
}

TEST(MachineState, EachNewMachineStartsWithoutWhatTheMachineBeforeKept) {
  HICON before = nullptr;
  {
    Machine m;
    plat::win32::MachineState::Of<Counter>().n = 5;
    EXPECT_EQ(plat::win32::MachineState::Of<Counter>().n, 5) << "kept for the machine";
    void* p = m.Start("updater.exe", 64, []() -> uint32_t { return ExitWindowsEx(EWX_LOGOFF, 0) ? 0 : 1; });
    m.Wait(p);
    m.Release(p);
    EXPECT_EQ(plat::win32::ExitWindowsRequests().size(), 1u);
    const Seen seen = LoadLibraryPage(m);
    before = seen.icon;
    EXPECT_TRUE(seen.iconLoaded);
  }
  Machine m;
  EXPECT_EQ(plat::win32::MachineState::Of<Counter>().n, 0);
  EXPECT_TRUE(plat::win32::ExitWindowsRequests().empty()) << "the session's records";
  EXPECT_EQ(plat::win32::ImageObjectOf(before), nullptr) << "the objects programs loaded";
}

TEST(MachineState, ResourcesCompiledForAnImageOnOneMachineAreNotFoundByAnotherImageOnTheNext) {
  {
    Machine m;
    void* p = m.StartProgram("ProbeProgram.exe", "ProbeProgram.exe wait", 64);
    std::string caption;
    m.RunIn(p, [&] {
      HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(probe::kPage), RT_DIALOG);
      caption = static_cast<const DIALOG_RESOURCE*>(LockResource(LoadResource(nullptr, found)))->caption;
      ExitProcess(0);
    });
    m.Wait(p);
    m.Release(p);
    EXPECT_EQ(caption, "Settings");
  }
  Machine m;
  EXPECT_EQ(LoadLibraryPage(m).caption, "Library page") << "the first load of the new machine is the library's";
}

}  // namespace
