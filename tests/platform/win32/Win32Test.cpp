// Programs written against <windows.h>, run as processes of a test machine whose driver they reach
// only through handles and device controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "platform/win32/Session.h"
#include "platform/win32/Shell.h"
#include "platform/win32/include/shellapi.h"
#include "platform/win32/include/setupapi.h"
#include "platform/win32/include/windows.h"
#include "platform/win32/include/winioctl.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/support/Readable.h"
#include "tests/support/Seeds.h"

namespace {

using w32test::Machine;

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

template <typename T>
BOOL Ask(HANDLE h, DWORD code, T* out, DWORD* returned) {
  return DeviceIoControl(h, code, nullptr, 0, out, sizeof(T), returned, nullptr);
}

TEST(Win32, ProgramsOpenTheDeviceByItsInterfacePathAndTheDriverSeesTheirProcessBitnessAndMode) {
  Machine m;
  struct Case {
    unsigned bits;
    std::string path;
  } cases[] = {{32, m.InterfacePath()}, {64, m.InterfacePath()}, {64, "\\\\.\\" + m.InterfacePath().substr(4)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " " + c.path);
    w32test::WhoAmI who{};
    DWORD returned = 0, pid = 0;
    HANDLE handle = nullptr;
    void* p = m.Start("client.exe", c.bits, [&]() -> uint32_t {
      pid = GetCurrentProcessId();
      handle = Open(c.path);
      if (handle == INVALID_HANDLE_VALUE) return GetLastError();
      BOOL ok = Ask(handle, w32test::kWhoAmI, &who, &returned);
      CloseHandle(handle);
      return ok ? 0 : GetLastError();
    });
    m.Wait(p);
    EXPECT_EQ(m.ExitCode(p), 0u);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(4)) << "the program's first handle";
    EXPECT_EQ(returned, sizeof who);
    EXPECT_EQ(who.processId, pid);
    EXPECT_EQ(who.is32, c.bits == 32 ? 1u : 0u);
    EXPECT_EQ(who.requestorMode, 1u) << "UserMode";
    EXPECT_EQ(who.previousMode, 1u);
    m.Release(p);
  }
  EXPECT_EQ(m.Log(), (std::vector<std::string>{"create client.exe", "cleanup client.exe", "close client.exe",
                                               "create client.exe", "cleanup client.exe", "close client.exe",
                                               "create client.exe", "cleanup client.exe", "close client.exe"}));
}

TEST(Win32, AProgramFindsThePresentInterfacesOfAClassAndOpensThem) {
  Machine m;
  std::vector<std::string> found;
  DWORD required = 0, afterLast = 0;
  void* p = m.Start("panel.exe", 32, [&]() -> uint32_t {
    GUID guid;
    std::memcpy(&guid, w32test::kInterfaceClass, sizeof guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
      std::vector<char> bytes(required);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.data());
      detail->cbSize = 8;
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &info)) found.push_back(detail->DevicePath);
    }
    afterLast = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    HANDLE h = Open(found.empty() ? std::string() : found.front());
    return h == INVALID_HANDLE_VALUE ? 1 : 0;
  });
  m.Wait(p);
  EXPECT_EQ(found, std::vector<std::string>{m.InterfacePath()});
  EXPECT_EQ(required, 4 + m.InterfacePath().size() + 1);
  EXPECT_EQ(afterLast, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(m.ExitCode(p), 0u) << "opened, and closed as it ended";
  m.Release(p);
}

TEST(Win32, FailuresAreReportedThroughTheLastErrorOfTheFailingThread) {
  Machine m;
  std::vector<DWORD> errors;
  DWORD otherThread = 0;
  void* p = m.Start("client.exe", 64, [&]() -> uint32_t {
    auto record = [&](bool failed) { errors.push_back(failed ? GetLastError() : 0xFFFF); };
    record(Open("\\\\.\\NoSuchDevice") == INVALID_HANDLE_VALUE);
    record(Open("C:\\file.txt") == INVALID_HANDLE_VALUE);
    HANDLE h = CreateFileA(m.InterfacePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    record(!DeviceIoControl(h, w32test::kWriteOnly, nullptr, 0, nullptr, 0, &returned, nullptr));
    record(!DeviceIoControl(h, 0x00220FFC, nullptr, 0, nullptr, 0, &returned, nullptr));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    record(!DeviceIoControl(event, w32test::kWhoAmI, nullptr, 0, nullptr, 0, &returned, nullptr));
    record(!CloseHandle(reinterpret_cast<HANDLE>(0x400)));
    SetLastError(1234);
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return GetLastError(); }, nullptr, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    CloseHandle(event);
    CloseHandle(h);
    otherThread = GetLastError();
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                                        ERROR_INVALID_FUNCTION, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE}));
  EXPECT_EQ(otherThread, 1234u) << "another thread's errors are its own";
  m.Release(p);
}

TEST(Win32, AProgramReadsAndWritesThroughItsMappingAndSeesTheKernelsWrites) {
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    Machine m;
    const volatile DWORD* buffer = nullptr;
    std::vector<DWORD> seen;
    void* p = m.Start("asiohost.exe", bits, [&]() -> uint32_t {
      HANDLE h = Open(m.InterfacePath());
      w32test::MapReply reply{};
      DWORD returned = 0;
      if (!Ask(h, w32test::kMap, &reply, &returned)) return GetLastError();
      auto* words = reinterpret_cast<volatile DWORD*>(reply.buffer);
      auto* index = reinterpret_cast<volatile BYTE*>(reply.index);
      buffer = words;
      for (DWORD v : {21u, 50u}) {
        words[0] = v;
        words[1023 + 1024] = v;  // the last word of the second page
        DeviceIoControl(h, w32test::kTick, nullptr, 0, nullptr, 0, &returned, nullptr);
        seen.push_back(DWORD{words[1]});
        seen.push_back(DWORD{*index});
      }
      CloseHandle(h);
      return 0;
    });
    m.Wait(p);
    EXPECT_EQ(m.ExitCode(p), 0u);
    EXPECT_EQ(seen, (std::vector<DWORD>{42, 1, 100, 0}));
    if (bits == 32) {
      EXPECT_LT(reinterpret_cast<uintptr_t>(buffer), uintptr_t{1} << 32);
    }
    EXPECT_FALSE(qxtest::Readable(const_cast<DWORD*>(buffer))) << "undone at CLEANUP";
    EXPECT_EQ(m.FilePool(), 0u);
    m.Release(p);
  }
}

// The host of a stream: it maps the buffers, a thread of its waits on an event with a time-out,
// and its main thread has a request outstanding when the host is killed.
TEST(Win32, KillingAProgramMidStreamCancelsItsRequestClosesItsHandlesAndUndoesItsMappings) {
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Machine m(seed);
    const volatile BYTE* index = nullptr;
    int waits = 0;
    void* p = m.Start("asiohost.exe", 32, [&]() -> uint32_t {
      HANDLE h = Open(m.InterfacePath());
      w32test::MapReply reply{};
      DWORD returned = 0;
      Ask(h, w32test::kMap, &reply, &returned);
      index = reinterpret_cast<volatile BYTE*>(reply.index);
      HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
      struct Loop {
        HANDLE event;
        int* waits;
      } loop{event, &waits};
      HANDLE t = CreateThread(nullptr, 0, [](LPVOID arg) -> DWORD {
        auto* l = static_cast<Loop*>(arg);
        for (;;) {
          WaitForSingleObject(l->event, 75);
          ++*l->waits;
        }
      }, &loop, 0, nullptr);
      SetThreadPriority(t, THREAD_PRIORITY_TIME_CRITICAL);
      DeviceIoControl(h, w32test::kHold, nullptr, 0, nullptr, 0, &returned, nullptr);
      ADD_FAILURE() << "a killed program never returns";
      return 0;
    });
    ASSERT_TRUE(m.RunUntil([&] { return waits >= 3; }, 1000));
    const volatile BYTE* mapped = index;
    m.Kill(p);
    m.Wait(p);
    EXPECT_EQ(m.Log(), (std::vector<std::string>{"create asiohost.exe", "hold asiohost.exe", "cancel asiohost.exe",
                                                 "cleanup asiohost.exe", "close asiohost.exe"}));
    EXPECT_FALSE(qxtest::Readable(const_cast<BYTE*>(mapped)));
    EXPECT_EQ(m.FilePool(), 0u) << "the driver's pool for the program is back to zero";
    EXPECT_EQ(m.ExitCode(p), 1u);
    int after = waits;
    m.RunFor(500);
    EXPECT_EQ(waits, after) << "its threads stopped";
    m.Release(p);
  }
}

TEST(Win32, AMappingTheDriverLeavesAfterCleanupFailsWhenTheProgramEnds) {
  Machine m;
  m.LeaveMappings();
  void* p = m.Start("asiohost.exe", 64, [&]() -> uint32_t {
    HANDLE h = Open(m.InterfacePath());
    w32test::MapReply reply{};
    DWORD returned = 0;
    Ask(h, w32test::kMap, &reply, &returned);
    return 0;  // its handle is closed as it ends
  });
  std::string v = plat::ExpectViolation([&] { m.Wait(p); });
  EXPECT_NE(v.find("2 user mapping(s) still present in process asiohost.exe after its handles were closed (CLEANUP)"),
            std::string::npos)
      << v;
  m.Release(p);
}

TEST(Win32, AHandleMeansNothingInAnotherProcess) {
  Machine m;
  HANDLE first = nullptr;
  void* a = m.Start("a.exe", 64, [&]() -> uint32_t {
    first = Open(m.InterfacePath());
    Sleep(1000);
    return 0;
  });
  m.RunFor(10);
  DWORD error = 0;
  void* b = m.Start("b.exe", 64, [&]() -> uint32_t {
    DWORD returned = 0;
    w32test::WhoAmI who{};
    if (!Ask(first, w32test::kWhoAmI, &who, &returned)) error = GetLastError();
    return 0;
  });
  m.Wait(b);
  m.Wait(a);
  EXPECT_EQ(first, reinterpret_cast<HANDLE>(4));
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  m.Release(a);
  m.Release(b);
}

TEST(Win32, ANamedMutexIsSeenByALaterProcessAndIsFreeOnceTheFirstHasEnded) {
  Machine m;
  constexpr const char* kName = "PanelSingleInstance";
  struct Seen {
    DWORD error = 0, now = 0, later = 0, release = 0;
  };
  auto panel = [&](Seen* seen) {
    return [=]() -> uint32_t {
      HANDLE mutex = CreateMutexA(nullptr, TRUE, kName);
      seen->error = GetLastError();
      seen->now = WaitForSingleObject(mutex, 0);
      if (seen->now == WAIT_TIMEOUT && !ReleaseMutex(mutex)) seen->release = GetLastError();
      Sleep(100);
      seen->later = WaitForSingleObject(mutex, 200);
      return 0;  // the handle stays open until the process ends
    };
  };
  Seen first, second, third;
  void* a = m.Start("panel.exe", 32, panel(&first));
  m.RunFor(10);
  void* b = m.Start("panel.exe", 32, panel(&second));
  m.Wait(a);
  m.Wait(b);
  void* c = m.Start("panel.exe", 32, panel(&third));
  m.Wait(c);
  EXPECT_EQ(first.error, ERROR_SUCCESS);
  EXPECT_EQ(first.now, WAIT_OBJECT_0) << "its owner takes it again";
  EXPECT_EQ(second.error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(second.now, WAIT_TIMEOUT) << "owned by the first";
  EXPECT_EQ(second.release, ERROR_NOT_OWNER);
  EXPECT_EQ(second.later, WAIT_ABANDONED_0) << "the first ended owning it";
  EXPECT_EQ(third.error, ERROR_SUCCESS) << "gone with the last handle";
  EXPECT_EQ(third.later, WAIT_OBJECT_0);
  for (void* p : {a, b, c}) m.Release(p);
}

TEST(Win32, ExitWindowsIsRecordedNeverCarriedOutAndNeedsTheShutdownPrivilegeItsProcessEnabled) {
  Machine m;
  plat::win32::ClearSession();
  struct Seen {
    BOOL before = TRUE, logoff = FALSE, lookup = FALSE, unknown = TRUE, adjust = FALSE, after = FALSE, closed = FALSE;
    DWORD beforeError = 0, unknownError = 0, adjustError = 1;
    LUID luid{};
  } seen, other;
  void* p = m.Start("updater.exe", 64, [&]() -> uint32_t {
    seen.before = ExitWindowsEx(EWX_REBOOT, 0);
    seen.beforeError = GetLastError();
    seen.logoff = ExitWindowsEx(EWX_LOGOFF, 0);
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 1;
    seen.unknown = LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &seen.luid);
    seen.unknownError = GetLastError();
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    seen.lookup = LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    seen.luid = privileges.Privileges[0].Luid;
    seen.adjust = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    seen.adjustError = GetLastError();
    seen.closed = CloseHandle(token);
    seen.after = ExitWindowsEx(EWX_REBOOT, 7);
    return 0;
  });
  m.Wait(p);
  void* q = m.Start("other.exe", 32, [&]() -> uint32_t {
    other.before = ExitWindowsEx(EWX_SHUTDOWN, 0);
    return 0;
  });
  m.Wait(q);
  EXPECT_FALSE(seen.before);
  EXPECT_EQ(seen.beforeError, ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_TRUE(seen.logoff) << "logging off needs no privilege";
  EXPECT_FALSE(seen.unknown);
  EXPECT_EQ(seen.unknownError, ERROR_NO_SUCH_PRIVILEGE);
  EXPECT_TRUE(seen.lookup);
  EXPECT_EQ(seen.luid.LowPart, 19u);
  EXPECT_TRUE(seen.adjust);
  EXPECT_EQ(seen.adjustError, ERROR_SUCCESS);
  EXPECT_TRUE(seen.closed);
  EXPECT_TRUE(seen.after);
  EXPECT_FALSE(other.before) << "the privilege is the process's own";
  EXPECT_EQ(m.ExitCode(p), 0u);
  auto requests = plat::win32::ExitWindowsRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_FALSE(requests[0].accepted);
  EXPECT_TRUE(requests[1].accepted);
  EXPECT_EQ(requests[2].flags, EWX_REBOOT);
  EXPECT_EQ(requests[2].reason, 7u);
  EXPECT_TRUE(requests[2].accepted);
  EXPECT_FALSE(requests[3].accepted);
  plat::win32::ClearSession();
  m.Release(p);
  m.Release(q);
}

TEST(Win32, ExitProcessFromAnyThreadEndsTheProgramAndClosesItsFilesInItsOwnContext) {
  Machine m;
  DWORD mainId = 0, workerId = 0;
  void* p = m.Start("client.exe", 64, [&]() -> uint32_t {
    Open(m.InterfacePath());
    mainId = GetCurrentThreadId();
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
      Sleep(10);
      ExitProcess(3);
    }, nullptr, 0, &workerId);
    WaitForSingleObject(t, INFINITE);
    ADD_FAILURE() << "ended by its other thread";
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(m.ExitCode(p), 3u);
  EXPECT_EQ(m.Log(), (std::vector<std::string>{"create client.exe", "cleanup client.exe", "close client.exe"}));
  EXPECT_NE(mainId, workerId);
  EXPECT_EQ(mainId % 4, 0u);
  EXPECT_EQ(workerId % 4, 0u);
  m.Release(p);
}

TEST(Win32, EventsWaitsSleepsAndClocksRunOnVirtualTime) {
  Machine m;
  std::vector<DWORD> results;
  DWORD before = 0, after = 0, ticks = 0, ms = 0;
  void* p = m.Start("client.exe", 64, [&]() -> uint32_t {
    HANDLE autoReset = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    before = timeGetTime();
    results.push_back(WaitForSingleObject(autoReset, 75));
    after = timeGetTime();
    HANDLE both[] = {autoReset, manual};
    results.push_back(WaitForMultipleObjects(2, both, FALSE, 0));
    results.push_back(WaitForMultipleObjects(2, both, TRUE, 0));
    SetEvent(autoReset);
    results.push_back(WaitForMultipleObjects(2, both, TRUE, 0));
    results.push_back(WaitForSingleObject(autoReset, 0)) ;
    ResetEvent(manual);
    results.push_back(WaitForSingleObject(manual, 10));
    HANDLE t = CreateThread(nullptr, 0, [](LPVOID e) -> DWORD {
      Sleep(20);
      SetEvent(static_cast<HANDLE>(e));
      return 5;
    }, autoReset, 0, nullptr);
    results.push_back(WaitForSingleObject(autoReset, INFINITE));
    results.push_back(WaitForSingleObject(t, INFINITE));
    results.push_back(static_cast<DWORD>(GetThreadPriority(t)));
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    results.push_back(static_cast<DWORD>(GetThreadPriority(GetCurrentThread())));
    results.push_back(GetPriorityClass(GetCurrentProcess()));
    Sleep(1000);
    ticks = GetTickCount();
    ms = timeGetTime();
    OutputDebugStringA("usrmode: ");
    OutputDebugStringA("done\n");
    CloseHandle(t);
    CloseHandle(autoReset);
    CloseHandle(manual);
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(results, (std::vector<DWORD>{WAIT_TIMEOUT, WAIT_OBJECT_0 + 1, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT,
                                         WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_OBJECT_0, THREAD_PRIORITY_NORMAL,
                                         THREAD_PRIORITY_HIGHEST, NORMAL_PRIORITY_CLASS}));
  EXPECT_EQ(after - before, 75u);
  EXPECT_EQ(ms, 1105u);
  EXPECT_EQ(ticks, 1093u) << "70 clock interrupts of 15.625 ms";
  EXPECT_EQ(m.DebugOutput(p), "usrmode: done\n");
  m.Release(p);
}

TEST(Win32, TheRegistryIsTheMachinesAndStringsTravelInTheAnsiCodePage) {
  Machine m;
  std::vector<LSTATUS> codes;
  std::string text;
  DWORD type = 0, number = 0, created = 0, length = 0;
  char name[64] = {};
  void* p = m.Start("panel.exe", 32, [&]() -> uint32_t {
    HKEY key = nullptr, sub = nullptr;
    codes.push_back(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Panel", 0, KEY_READ, &key));
    codes.push_back(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Panel", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &key, &created));
    const char value[] = "On entry";
    codes.push_back(RegSetValueExA(key, "DebugOnEntry", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value));
    DWORD seven = 7;
    codes.push_back(RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4));
    codes.push_back(RegCreateKeyExA(key, "Params", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    char buffer[100];
    DWORD size = 4;
    codes.push_back(RegQueryValueExA(key, "DebugOnEntry", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
    size = sizeof buffer;
    codes.push_back(RegQueryValueExA(key, "DebugOnEntry", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size));
    text.assign(buffer, size);
    size = 4;
    codes.push_back(RegQueryValueExA(key, "Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size));
    length = sizeof name;
    codes.push_back(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    DWORD more = sizeof name;
    char other[64];
    codes.push_back(RegEnumKeyExA(key, 1, other, &more, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(sub);
    RegCloseKey(key);
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(codes, (std::vector<LSTATUS>{ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS,
                                         ERROR_MORE_DATA, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS,
                                         ERROR_NO_MORE_ITEMS}));
  EXPECT_EQ(created, REG_CREATED_NEW_KEY);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(text, std::string("On entry", 9));
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(std::string(name, length), "Params");
  m.Release(p);
}

TEST(Win32, SmallCallsBehaveAsWindowsDoes) {
  EXPECT_EQ(lstrcmpiA("ABC", "abc"), 0);
  EXPECT_LT(lstrcmpiA("abc", "ABD"), 0);
  EXPECT_GT(lstrcmpiA("abcd", "ABC"), 0);
  OSVERSIONINFOA version{};
  EXPECT_FALSE(GetVersionExA(&version)) << "the size field must be set";
  version.dwOSVersionInfoSize = 148;
  EXPECT_TRUE(GetVersionExA(&version));
  EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
  LONG counter = 0;
  EXPECT_EQ(InterlockedIncrement(&counter), 1);
  EXPECT_EQ(InterlockedCompareExchange(&counter, 5, 1), 1);
  EXPECT_EQ(counter, 5);
  EXPECT_EQ(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), 0x222000u);
}

}  // namespace

namespace {

using BumpRoutine = LONG (*)();

DWORD ProbeCount(const char* event) {
  HKEY key = nullptr;
  DWORD n = 0;
  DWORD size = sizeof n;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\QxLoaderProbe", 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
  if (RegQueryValueExA(key, event, nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &size) != ERROR_SUCCESS) n = 0;
  RegCloseKey(key);
  return n;
}

TEST(Win32, EachProcessThatLoadsADllGetsItsOwnGlobalsAndItsEndDetachesItUnlessKilled) {
  Machine m;
  LONG firstBumps[2] = {0, 0};
  LONG secondBump = 0;
  HANDLE go = nullptr;
  void* first = m.Start("first.exe", 64, [&] {
    HMODULE probe = LoadLibraryA("LoaderProbe.dll");
    if (probe == nullptr) return 1u;
    auto bump = reinterpret_cast<BumpRoutine>(reinterpret_cast<void*>(GetProcAddress(probe, "Bump")));
    if (bump == nullptr || GetProcAddress(probe, "NoSuchExport") != nullptr || GetLastError() != ERROR_PROC_NOT_FOUND)
      return 2u;
    firstBumps[0] = bump();
    firstBumps[1] = bump();
    return GetModuleHandleA("loaderprobe.dll") == probe ? 0u : 3u;  // exits with the image loaded
  });
  m.Wait(first);
  EXPECT_EQ(m.ExitCode(first), 0u);
  m.Release(first);
  void* second = m.Start("second.exe", 64, [&] {
    HMODULE probe = LoadLibraryA("LoaderProbe");
    auto bump = reinterpret_cast<BumpRoutine>(reinterpret_cast<void*>(GetProcAddress(probe, "Bump")));
    secondBump = bump != nullptr ? bump() : -1;
    if (!FreeLibrary(probe) || FreeLibrary(probe) || GetLastError() != ERROR_INVALID_HANDLE) return 1u;
    probe = LoadLibraryA("LoaderProbe.dll");
    go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(go, INFINITE);  // killed here, with the image loaded
    return 0u;
  });
  m.RunUntil([&] { return go != nullptr; }, 1000);
  m.Kill(second);
  m.Wait(second);
  m.Release(second);
  EXPECT_EQ(firstBumps[0], 1);
  EXPECT_EQ(firstBumps[1], 2);
  EXPECT_EQ(secondBump, 1) << "a second process reaches a copy of its own";

  DWORD counts[4] = {};
  DWORD wrongBitness = 0, right = 0;
  void* reader = m.Start("reader.exe", 32, [&] {
    if (LoadLibraryA("LoaderProbe.dll") == nullptr) wrongBitness = GetLastError();
    HMODULE own = LoadLibraryA("LoaderProbe32.dll");
    right = own != nullptr ? 1 : 0;
    FreeLibrary(own);
    counts[0] = ProbeCount("Attaches");
    counts[1] = ProbeCount("Detaches");
    counts[2] = ProbeCount("DetachesAtExit");
    return 0u;
  });
  m.Wait(reader);
  m.Release(reader);
  EXPECT_EQ(wrongBitness, ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(right, 1u);
  EXPECT_EQ(counts[0], 4u) << "first, second twice, and the 32-bit image";
  EXPECT_EQ(counts[1], 2u) << "second's FreeLibrary and the reader's";
  EXPECT_EQ(counts[2], 1u) << "first's exit; a killed process runs no code of its images";
}

}  // namespace

namespace {

// Paths of the present interfaces of a class, found as a program finds them.
std::vector<std::string> PresentInterfaces(const void* classGuid) {
  GUID guid;
  std::memcpy(&guid, classGuid, sizeof guid);
  std::vector<std::string> found;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
    std::vector<char> bytes(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.data());
    detail->cbSize = 8;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) found.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

TEST(Win32, ProgramsOf32And64BitsReachTwoFrameworkDriversLoadedAsImagesAndEachSeesTheCaller) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Machine m(seed);
    m.PlugProbeDrivers();
    for (unsigned bits : {32u, 64u}) {
      std::vector<w32test::ProbeAnswer> answers;
      DWORD pid = 0;
      void* p = m.Start(bits == 32 ? "host32.exe" : "host64.exe", bits, [&]() -> uint32_t {
        pid = GetCurrentProcessId();
        for (const std::string& path : PresentInterfaces(w32test::ProbeInterfaceClass())) {
          HANDLE h = Open(path);
          if (h == INVALID_HANDLE_VALUE) return 1;
          w32test::ProbeAnswer a{};
          DWORD returned = 0;
          if (!Ask(h, w32test::kProbeState, &a, &returned) || returned != sizeof a) return 2;
          answers.push_back(a);
          CloseHandle(h);
        }
        return 0;
      });
      m.Wait(p);
      EXPECT_EQ(m.ExitCode(p), 0u);
      m.Release(p);
      ASSERT_EQ(answers.size(), 2u);
      std::vector<std::u16string> services;
      for (const auto& a : answers) {
        services.emplace_back(a.service);
        EXPECT_EQ(a.processId, pid);
        EXPECT_EQ(a.is32, bits == 32 ? 1u : 0u);
        EXPECT_EQ(a.requestorMode, 1u) << "UserMode";
        EXPECT_EQ(a.instanceIsOwn, 1u) << "each image keeps its own driver instance";
      }
      std::sort(services.begin(), services.end());
      EXPECT_EQ(services, (std::vector<std::u16string>{u"KfwAlpha", u"KfwBeta"}));
      EXPECT_NE(answers[0].derivedPoolTag, answers[1].derivedPoolTag);
    }
  }
}

}  // namespace

namespace {

TEST(Win32, EachProcessHasItsOwnCountOfDeviceIoControlCallsByControlCode) {
  Machine m;
  struct Case {
    const char* image;
    unsigned whoAmI;
    unsigned ticks;
    unsigned refused;  // calls with an OVERLAPPED, refused before they reach the driver, counted too
  } cases[] = {{"poller.exe", 3, 5, 0}, {"other.exe", 1, 0, 2}};
  std::vector<DWORD> pids;
  for (const Case& c : cases) {
    DWORD pid = 0;
    void* p = m.Start(c.image, 32, [&]() -> uint32_t {
      pid = GetCurrentProcessId();
      HANDLE h = Open(m.InterfacePath());
      w32test::WhoAmI who{};
      DWORD returned = 0;
      for (unsigned i = 0; i < c.whoAmI; ++i) Ask(h, w32test::kWhoAmI, &who, &returned);
      for (unsigned i = 0; i < c.ticks; ++i) DeviceIoControl(h, w32test::kTick, nullptr, 0, nullptr, 0, &returned, nullptr);
      OVERLAPPED overlapped{};
      for (unsigned i = 0; i < c.refused; ++i)
        DeviceIoControl(h, w32test::kTick, nullptr, 0, nullptr, 0, &returned, &overlapped);
      CloseHandle(h);
      return 0;
    });
    m.Wait(p);
    m.Release(p);
    pids.push_back(pid);
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].image);
    std::map<uint32_t, uint64_t> expected;
    if (cases[i].whoAmI) expected[w32test::kWhoAmI] = cases[i].whoAmI;
    if (cases[i].ticks + cases[i].refused) expected[w32test::kTick] = cases[i].ticks + cases[i].refused;
    EXPECT_EQ(plat::win32::DeviceIoControlCounts(pids[i]), expected);
  }
}

}  // namespace

namespace {

TEST(Win32, TheWindowsAndSystemDirectoriesComeFromOneMachineValueAndLongOnesAskForTheirSize) {
  struct Case {
    std::string windows;
    UINT buffer;
  } cases[] = {{"C:\\Windows", MAX_PATH}, {"D:\\" + std::string(200, 'w'), MAX_PATH}, {"C:\\Windows", 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows.size());
    Machine m;
    if (c.windows != "C:\\Windows") plat::win32::SetWindowsDirectory(c.windows);
    UINT windowsLength = 0, systemLength = 0;
    std::string windows, system;
    void* p = m.Start("dirs.exe", 32, [&]() -> uint32_t {
      std::vector<char> a(c.buffer), b(c.buffer);
      windowsLength = GetWindowsDirectoryA(a.data(), c.buffer);
      systemLength = GetSystemDirectoryA(b.data(), c.buffer);
      windows = windowsLength < c.buffer ? a.data() : "";
      system = systemLength < c.buffer ? b.data() : "";
      return 0;
    });
    m.Wait(p);
    m.Release(p);
    bool fits = c.windows.size() + 9 < c.buffer;
    EXPECT_EQ(windowsLength, c.windows.size() + (c.windows.size() < c.buffer ? 0 : 1));
    EXPECT_EQ(systemLength, c.windows.size() + 9 + (fits ? 0 : 1));
    if (fits) {
      EXPECT_EQ(windows, c.windows);
      EXPECT_EQ(system, c.windows + "\\system32");
    }
  }
}

TEST(Win32, WinExecShellExecuteAndMessageBeepAreRecordedAndAnswerWithTheResultSetForTheNextCall) {
  Machine m;
  plat::win32::SetNextWinExecResult(2);
  std::vector<UINT> execs;
  std::vector<INT_PTR> opens;
  DWORD pid = 0;
  void* p = m.Start("panel.exe", 32, [&]() -> uint32_t {
    pid = GetCurrentProcessId();
    execs.push_back(WinExec("notepad.exe readme.txt", SW_SHOW));
    execs.push_back(WinExec("calc.exe", SW_HIDE));
    plat::win32::SetNextShellExecuteResult(5);
    for (int i = 0; i < 2; ++i)
      opens.push_back(reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", "http://example.invalid/", nullptr, nullptr,
                                                             SW_SHOWNORMAL)));
    MessageBeep(MB_ICONEXCLAMATION);
    return 0;
  });
  m.Wait(p);
  m.Release(p);
  EXPECT_EQ(execs, (std::vector<UINT>{2, 33}));
  EXPECT_EQ(opens, (std::vector<INT_PTR>{5, 42}));
  auto recorded = plat::win32::WinExecRequests();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].commandLine, "notepad.exe readme.txt");
  EXPECT_EQ(recorded[1].show, static_cast<unsigned>(SW_HIDE));
  EXPECT_EQ(plat::win32::ShellExecuteRequests().size(), 2u);
  auto beeps = plat::win32::MessageBeeps();
  ASSERT_EQ(beeps.size(), 1u);
  EXPECT_EQ(beeps[0].processId, pid);
  EXPECT_EQ(beeps[0].type, MB_ICONEXCLAMATION);
}

}  // namespace

namespace {

TEST(Win32, AnInterfaceOpenedByItsPathJoinsAnEmptySetAndItsDetailIsFound) {
  Machine m;
  struct Case {
    const char* name;
    std::string path;
    bool found;
  } cases[] = {{"as the kernel spells it", m.InterfacePath(), true},
               {"in lower case", [&] {
                  std::string s = m.InterfacePath();
                  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                  return s;
                }(), true},
               {"a path no interface has", "\\\\?\\ROOT#NONE#0000#{6a1d0c42-13b7-4e0f-9a51-3c7708e24b19}", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BOOL opened = FALSE;
    DWORD error = 0;
    std::string detailPath;
    void* p = m.Start("panel.exe", 32, [&]() -> uint32_t {
      HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      opened = SetupDiOpenDeviceInterfaceA(set, c.path.c_str(), 0, &data);
      error = GetLastError();
      if (opened) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> bytes(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(bytes.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) detailPath = detail->DevicePath;
      }
      SetupDiDestroyDeviceInfoList(set);
      return 0;
    });
    m.Wait(p);
    m.Release(p);
    EXPECT_EQ(opened != FALSE, c.found);
    if (c.found) {
      EXPECT_EQ(detailPath, m.InterfacePath());
    } else {
      EXPECT_EQ(error, ERROR_NO_SUCH_DEVICE_INTERFACE);
    }
  }
}

}  // namespace
