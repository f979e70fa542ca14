// User images in processes: one copy of an image's globals per process that loads it, reference
// counted loads, the load-time entry at attach and detach, and images of the other bitness refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/Loader.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "tests/platform/kernel/images/LoaderProbe.h"

namespace {

constexpr plat::ProcessKey kFirst{101, 64};
constexpr plat::ProcessKey kSecond{102, 64};
constexpr plat::ProcessKey kThirtyTwo{103, 32};

class UserImages : public testing::Test {
 protected:
  void SetUp() override { plat::RegistryHive::Clear(); }
  void TearDown() override {
    for (const plat::ProcessKey& process : {kFirst, kSecond, kThirtyTwo}) {
      plat::LdrEndProcess(process, plat::ProcessEnd::Terminate);
      EXPECT_TRUE(plat::LdrLoadedImages(process).empty());
    }
    plat::RegistryHive::Clear();
  }

  static ULONG Count(std::u16string_view event) {
    plat::RegistryValue value;
    ULONG n = 0;
    if (NT_SUCCESS(plat::RegistryHive::QueryValue(loaderprobe::kKey, event, &value)) && value.data.size() == sizeof n)
      std::memcpy(&n, value.data.data(), sizeof n);
    return n;
  }
  static void* Load(const plat::ProcessKey& process, std::u16string_view name) {
    ULONG error = 0;
    void* module = plat::LdrLoadImage(process, name, &error);
    EXPECT_NE(module, nullptr) << "error " << error;
    return module;
  }
  static LONG Bump(const plat::ProcessKey& process, void* module) {
    ULONG error = 0;
    auto bump = reinterpret_cast<loaderprobe::BumpRoutine>(plat::LdrGetProcAddress(process, module, "Bump", &error));
    return bump != nullptr ? bump() : -1;
  }
  static bool Free(const plat::ProcessKey& process, void* module) {
    ULONG error = 0;
    return plat::LdrFreeImage(process, module, &error);
  }

  plat::Scheduler sched;
};

TEST_F(UserImages, TwoProcessesThatLoadOneDllGetTwoCopiesOfItsGlobals) {
  void* first = Load(kFirst, u"LoaderProbe.dll");
  void* second = Load(kSecond, u"LoaderProbe.dll");
  EXPECT_NE(first, second);
  EXPECT_EQ(Bump(kFirst, first), 1);
  EXPECT_EQ(Bump(kFirst, first), 2);
  EXPECT_EQ(Bump(kSecond, second), 1);
  EXPECT_EQ(Count(u"Attaches"), 2u);
  EXPECT_TRUE(Free(kFirst, first));
  EXPECT_EQ(Bump(kSecond, second), 2);
  EXPECT_TRUE(Free(kSecond, second));
  EXPECT_EQ(Count(u"Detaches"), 2u);
}

TEST_F(UserImages, ALoadInTheSameProcessCountsAReferenceAndTheLastFreeDetachesAndUnloads) {
  void* module = Load(kFirst, u"LoaderProbe.dll");
  EXPECT_EQ(Load(kFirst, u"loaderprobe"), module);  // any case, ".dll" implied
  EXPECT_EQ(plat::LdrFindImage(kFirst, u"LOADERPROBE.DLL"), module);
  EXPECT_EQ(Count(u"Attaches"), 1u);
  EXPECT_EQ(Bump(kFirst, module), 1);

  EXPECT_TRUE(Free(kFirst, module));
  EXPECT_EQ(Count(u"Detaches"), 0u);
  EXPECT_EQ(Bump(kFirst, module), 2);

  EXPECT_TRUE(Free(kFirst, module));
  EXPECT_EQ(Count(u"Detaches"), 1u);
  EXPECT_TRUE(plat::LdrLoadedImages(kFirst).empty());
  EXPECT_EQ(plat::LdrFindImage(kFirst, u"LoaderProbe.dll"), nullptr);
  ULONG error = 0;
  EXPECT_FALSE(plat::LdrFreeImage(kFirst, module, &error));
  EXPECT_EQ(error, plat::kLdrErrorInvalidHandle);

  // Unloaded means gone: a new load starts from fresh globals.
  void* again = Load(kFirst, u"LoaderProbe.dll");
  EXPECT_EQ(Bump(kFirst, again), 1);
  EXPECT_EQ(Count(u"Attaches"), 2u);
  EXPECT_TRUE(Free(kFirst, again));
}

TEST_F(UserImages, AnImageLoadsOnlyIntoAProcessOfItsOwnBitness) {
  struct Case {
    plat::ProcessKey process;
    std::u16string image;
    ULONG error;  // 0: loads
  } cases[] = {{kFirst, u"LoaderProbe.dll", 0},
               {kThirtyTwo, u"LoaderProbe32.dll", 0},
               {kFirst, u"LoaderProbe32.dll", plat::kLdrErrorBadExeFormat},
               {kThirtyTwo, u"LoaderProbe.dll", plat::kLdrErrorBadExeFormat},
               {kFirst, u"Missing.dll", plat::kLdrErrorModNotFound},
               {kFirst, u"..\\LoaderProbe.dll", plat::kLdrErrorModNotFound}};
  ULONG loads = 0;
  for (const Case& c : cases) {
    ULONG error = 0;
    void* module = plat::LdrLoadImage(c.process, c.image, &error);
    EXPECT_EQ(error, c.error) << std::string(c.image.begin(), c.image.end()) << " in " << c.process.bits;
    EXPECT_EQ(module != nullptr, c.error == 0);
    if (module == nullptr) continue;
    loads += 1;
    EXPECT_TRUE(Free(c.process, module));
  }
  // A refused image ran no code.
  EXPECT_EQ(Count(u"Attaches"), loads);
}

TEST_F(UserImages, AnAttachThatFailsDetachesAndUnloadsTheImageAndFailsTheLoad) {
  plat::RegistryHive::CreateKey(loaderprobe::kKey);
  plat::RegistryHive::SetDword(loaderprobe::kKey, u"FailAttach", 1);
  ULONG error = 0;
  EXPECT_EQ(plat::LdrLoadImage(kFirst, u"LoaderProbe.dll", &error), nullptr);
  EXPECT_EQ(error, plat::kLdrErrorDllInitFailed);
  EXPECT_EQ(Count(u"Attaches"), 1u);
  EXPECT_EQ(Count(u"Detaches"), 1u);
  EXPECT_TRUE(plat::LdrLoadedImages(kFirst).empty());
}

TEST_F(UserImages, AProcessThatExitsDetachesItsImagesAndOneTerminatedRunsNoneOfTheirCode) {
  struct Case {
    plat::ProcessEnd how;
    ULONG detachesAtExit;
  } cases[] = {{plat::ProcessEnd::Exit, 1}, {plat::ProcessEnd::Terminate, 0}};
  for (const Case& c : cases) {
    plat::RegistryHive::Clear();
    Load(kFirst, u"LoaderProbe.dll");
    Load(kFirst, u"LoaderProbe.dll");
    plat::LdrEndProcess(kFirst, c.how);
    EXPECT_TRUE(plat::LdrLoadedImages(kFirst).empty());
    EXPECT_EQ(Count(u"DetachesAtExit"), c.detachesAtExit);
    EXPECT_EQ(Count(u"Detaches"), 0u);
  }
}

TEST_F(UserImages, OnlyAnExportedDllMainIsCalledAtAttachAndDetach) {
  void* module = Load(kFirst, u"EntryPointProbe.dll");
  EXPECT_EQ(Count(u"Attaches"), 0u);
  // DllEntryPoint is an ordinary export: it runs when a caller calls it.
  ULONG error = 0;
  using Entry = LONG (*)(void*, ULONG, void*);
  auto entry = reinterpret_cast<Entry>(plat::LdrGetProcAddress(kFirst, module, "DllEntryPoint", &error));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(module, plat::kDllProcessAttach, nullptr), 1);
  EXPECT_EQ(Count(u"Attaches"), 1u);
  EXPECT_TRUE(Free(kFirst, module));
  EXPECT_EQ(Count(u"Detaches"), 0u);
  EXPECT_TRUE(plat::LdrLoadedImages(kFirst).empty());
}

TEST_F(UserImages, GetProcAddressFindsTheImagesOwnExportsOnly) {
  void* module = Load(kFirst, u"LoaderProbe.dll");
  struct Case {
    const char* name;
    ULONG error;  // 0: found
  } cases[] = {{"Bump", 0}, {"DllMain", 0}, {"ExAllocatePoolWithTag", plat::kLdrErrorProcNotFound},
               {"Missing", plat::kLdrErrorProcNotFound}};
  for (const Case& c : cases) {
    ULONG error = 0;
    void* address = plat::LdrGetProcAddress(kFirst, module, c.name, &error);
    EXPECT_EQ(address != nullptr, c.error == 0) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  ULONG error = 0;
  EXPECT_EQ(plat::LdrGetProcAddress(kSecond, module, "Bump", &error), nullptr);
  EXPECT_EQ(error, plat::kLdrErrorInvalidHandle);
  EXPECT_TRUE(Free(kFirst, module));
}

}  // namespace
