// Device-change messages from the machine's broker: a KR-6 plugged and pulled on the simulated bus,
// with the unit driver itself, reaches a window registered for the driver's interface class as
// arrival and remove-complete, and a window not registered not at all.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "client/QX531WinDriverInterface.h"
#include "platform/win32/DeviceBroker.h"
#include "platform/win32/include/dbt.h"
#include "platform/win32/include/windows.h"
#include "tests/client/DriverMachine.h"
#include "tests/support/Seeds.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

using ctest::DriverMachine;
using ctest::Program;

// What each window saw: "<window> arrival <path>" or "<window> removal <path>".
std::vector<std::string> gSeen;
// How long the registered window's thread sleeps after each message (virtual ms).
DWORD gSleepAfter = 0;

LRESULT WatcherProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    char name[32];
    GetWindowTextA(hwnd, name, sizeof name);
    auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
    std::string what = wParam == DBT_DEVICEARRIVAL ? "arrival" : wParam == DBT_DEVICEREMOVECOMPLETE ? "removal" : "other";
    gSeen.push_back(std::string(name) + " " + what + " " + (record != nullptr ? record->dbcc_name : ""));
    if (gSleepAfter != 0) Sleep(gSleepAfter);
    return TRUE;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

DWORD WINAPI WatcherThread(LPVOID) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = WatcherProc;
  wc.lpszClassName = "Watcher";
  RegisterClassA(&wc);
  HWND registered = CreateWindowExA(0, "Watcher", "registered", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                    nullptr, nullptr);
  CreateWindowExA(0, "Watcher", "unregistered", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kQX531InterfaceClass;
  HDEVNOTIFY note = RegisterDeviceNotificationA(registered, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  UnregisterDeviceNotification(note);
  return 0;
}

TEST(DeviceChange, AKr6PluggedAndPulledReachesTheRegisteredWindowOnlyAsArrivalAndRemoveComplete) {
  using PathCase = plat::win32::DeviceBroker::PathCase;
  struct Case {
    const char* name;
    DWORD sleepAfter;
    PathCase pathCase;
  } cases[] = {{"a window that answers at once", 0, PathCase::AsIs},
               {"a window whose thread sleeps in its handler, the path upper-cased", 3000, PathCase::Upper}};
  for (const Case& c : cases) {
    for (uint64_t seed : qxtest::InterleavingSeeds(3)) {
      SCOPED_TRACE(std::string(c.name) + ", " + qxtest::SeedTrace(seed));
      gSeen.clear();
      gSleepAfter = c.sleepAfter;
      DriverMachine m(seed);
      m.PlugMain();
      plat::win32::Broker().SetPathCase(c.pathCase);
      Program program(m.Run());
      DWORD thread = 0;
      program.Do([&] {
        HANDLE t = CreateThread(nullptr, 0, WatcherThread, nullptr, 0, &thread);
        CloseHandle(t);
      });
      m.Run()([] { return FindWindowA("Watcher", "unregistered") != nullptr; });
      m.PlugKr6(7);
      // Plug and play settled while the window may still sleep; its messages come once it answers.
      m.Run()([] { return gSeen.size() == 1; });
      m.UnplugKr6(7);
      m.Run()([] { return gSeen.size() == 2; });
      ASSERT_EQ(gSeen.size(), 2u);
      EXPECT_EQ(gSeen[0].substr(0, 23), "registered arrival \\\\?\\");
      EXPECT_EQ(gSeen[1].substr(0, 23), "registered removal \\\\?\\");
      EXPECT_EQ(gSeen[0].substr(19), gSeen[1].substr(19)) << "one interface came and went";
      std::string path = gSeen[0].substr(19);
      EXPECT_EQ(path, c.pathCase == PathCase::Upper ? Upper(path) : path);
      EXPECT_NE(Upper(path).find("{F8080C46-1BDA-4A20-9D58-D78E627C8FC5}"), std::string::npos) << path;
      PostThreadMessageA(thread, WM_QUIT, 0, 0);
      m.Run()([] { return FindWindowA("Watcher", nullptr) == nullptr; });
    }
  }
}

// A window that opens the unit its first arrival names, then sleeps in its handler; it lets the
// unit go when told of its removal.
HANDLE gHeld = INVALID_HANDLE_VALUE;
constexpr DWORD kLongSleep = 5000;

LRESULT HolderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcA(hwnd, message, wParam, lParam);
  auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
  if (wParam == DBT_DEVICEARRIVAL && gSeen.empty()) {
    gSeen.push_back("arrival");
    gHeld = CreateFileA(record->dbcc_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Sleep(kLongSleep);
  } else if (wParam == DBT_DEVICEREMOVECOMPLETE) {
    gSeen.push_back("removal");
    if (gHeld != INVALID_HANDLE_VALUE) CloseHandle(gHeld);
    gHeld = INVALID_HANDLE_VALUE;
  }
  return TRUE;
}

DWORD WINAPI HolderThread(LPVOID) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = HolderProc;
  wc.lpszClassName = "Holder";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "Holder", "holder", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kQX531InterfaceClass;
  HDEVNOTIFY note = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  UnregisterDeviceNotification(note);
  return 0;
}

TEST(DeviceChange, WhileTheWindowsThreadSleepsPlugAndPlaySettlesAndTheFinalRemovalWaitsOnlyForTheHandle) {
  struct Case {
    const char* name;
    bool closedByAnotherThread;  // else the window closes it once it hears of the removal
  } cases[] = {{"the handle closed by another thread while the window sleeps", true},
               {"the handle closed by the window when it wakes", false}};
  for (const Case& c : cases) {
    for (uint64_t seed : qxtest::InterleavingSeeds(3)) {
      SCOPED_TRACE(std::string(c.name) + ", " + qxtest::SeedTrace(seed));
      gSeen.clear();
      gHeld = INVALID_HANDLE_VALUE;
      DriverMachine m(seed);
      m.PlugMain();
      Program program(m.Run());
      DWORD thread = 0;
      program.Do([&] { CloseHandle(CreateThread(nullptr, 0, HolderThread, nullptr, 0, &thread)); });
      m.Run()([] { return FindWindowA("Holder", nullptr) != nullptr; });
      m.PlugKr6(7);
      m.Run()([] { return gHeld != INVALID_HANDLE_VALUE; });
      ASSERT_NE(gHeld, INVALID_HANDLE_VALUE) << "the window opened the unit and sleeps";
      // The pull settles without the window, which sleeps on; the unit plugged back waits for the
      // old device's handle alone.
      m.UnplugKr6(7);
      m.PlugKr6(7);
      EXPECT_EQ(gSeen, std::vector<std::string>{"arrival"}) << "nothing waited for the sleeping window";
      EXPECT_FALSE(m.Kr6Started(7)) << "the old device is held by its handle";
      if (c.closedByAnotherThread) {
        program.Do([] {
          CloseHandle(gHeld);
          gHeld = INVALID_HANDLE_VALUE;
        });
        m.Settle();
        EXPECT_TRUE(m.Kr6Started(7)) << "removed once the handle went, the window still asleep";
        EXPECT_EQ(gSeen, std::vector<std::string>{"arrival"});
      }
      m.Run()([] { return gSeen.size() == 2; });
      EXPECT_EQ(gSeen, (std::vector<std::string>{"arrival", "removal"}));
      m.Settle();
      EXPECT_TRUE(m.Kr6Started(7));
      PostThreadMessageA(thread, WM_QUIT, 0, 0);
      m.Run()([] { return FindWindowA("Holder", nullptr) == nullptr; });
    }
  }
}

}  // namespace
