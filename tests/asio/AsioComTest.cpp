// The DLL as a COM in-process server: the class objects DllGetClassObject hands out, aggregation,
// the interfaces the driver object answers, when the module may unload, and how hosts find it.
#include "tests/asio/ScriptedAsio.h"

namespace asiotest {
namespace {

constexpr const CLSID& kClsid = kDriverClsid;
constexpr CLSID kOtherClsid = {0x3CC6396F, 0xD6D9, 0x4101, {0xAC, 0x20, 0xD9, 0xAD, 0x05, 0xEB, 0x16, 0x38}};

template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// An outer object that aggregates the driver: it counts the references the driver's interfaces
// forward to it.
struct Outer : IUnknown {
  HRESULT QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  ULONG refs = 1;
};

class AsioCom : public ScriptedAsio {
 protected:
  void SetUp() override {
    ScriptedAsio::SetUp();
    Run([&] {
      module = LoadLibraryA(kDriverDll);
      ASSERT_NE(module, nullptr);
      getClassObject = Export<LPFNGETCLASSOBJECT>(module, "DllGetClassObject");
      canUnloadNow = Export<LPFNCANUNLOADNOW>(module, "DllCanUnloadNow");
    });
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);
  }
  void TearDown() override {
    Run([&] { FreeLibrary(module); });
    ScriptedAsio::TearDown();
  }
  IClassFactory* Factory() {
    void* factory = nullptr;
    EXPECT_EQ(getClassObject(kClsid, IID_IClassFactory, &factory), S_OK);
    return static_cast<IClassFactory*>(factory);
  }

  HMODULE module = nullptr;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  LPFNCANUNLOADNOW canUnloadNow = nullptr;
};

TEST_F(AsioCom, DllGetClassObjectGivesAFactoryOnlyForTheDriversClassAndTheFactorysInterfaces) {
  const struct {
    const char* name;
    const CLSID* clsid;
    const IID* iid;
    HRESULT result;
  } cases[] = {
      {"class factory", &kClsid, &IID_IClassFactory, S_OK},
      {"unknown", &kClsid, &IID_IUnknown, S_OK},
      {"another class", &kOtherClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {"dispatch", &kClsid, &IID_IDispatch, E_NOINTERFACE},
  };
  Run([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      void* out = reinterpret_cast<void*>(1);
      EXPECT_EQ(getClassObject(*c.clsid, *c.iid, &out), c.result);
      if (c.result != S_OK) {
        EXPECT_EQ(out, nullptr);
        continue;
      }
      auto* factory = static_cast<IUnknown*>(out);
      EXPECT_EQ(factory->AddRef(), 2u) << "handed out with one reference";
      EXPECT_EQ(factory->Release(), 1u);
      EXPECT_EQ(factory->Release(), 0u);
    }
    EXPECT_EQ(getClassObject(kClsid, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(canUnloadNow(), S_OK);
  });
}

TEST_F(AsioCom, AnAggregatingCallerGetsTheInnerUnknownAndTheDriversInterfaceCountsOnTheOuterObject) {
  Run([&] {
    IClassFactory* factory = Factory();
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, kClsid, &out), E_NOINTERFACE);
    EXPECT_EQ(factory->CreateInstance(nullptr, kClsid, nullptr), E_POINTER);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_OK) << "nothing was created";

    factory = Factory();
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    factory->Release();
    IASIO* driver = nullptr;
    ASSERT_EQ(inner->QueryInterface(kClsid, reinterpret_cast<void**>(&driver)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the interface's reference is the outer object's";
    driver->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
  });
}

TEST_F(AsioCom, TheDriverAnswersItsClassIdAndIUnknownAndClearsTheOutPointerForAnythingElse) {
  LoadHost();
  Run([&] {
    IASIO* driver = host->Driver();
    void* out = nullptr;
    ASSERT_EQ(driver->QueryInterface(kClsid, &out), S_OK);
    EXPECT_EQ(out, driver);
    static_cast<IUnknown*>(out)->Release();
    ASSERT_EQ(driver->QueryInterface(IID_IUnknown, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(driver->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
  });
}

TEST_F(AsioCom, TheModuleMayUnloadOnlyWithNoFactoryNoObjectAndNoServerLockHeld) {
  Run([&] {
    IClassFactory* factory = Factory();
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "a factory is held";
    IUnknown* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_FALSE) << "the server is locked";
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow(), S_OK);
  });
}

TEST_F(AsioCom, HostsFindTheDriverByItsAsioKeyAndItsEntryShapedExportRunsOnlyWhenCalled) {
  std::vector<std::string> drivers;
  Run([&] { drivers = AsioHostHarness::ListDrivers(); });
  EXPECT_NE(std::find(drivers.begin(), drivers.end(), kDriverKey), drivers.end());
  LoadHost();
  EXPECT_EQ(program->DebugOutput().find("Started AsioVel DLL"), std::string::npos) << "the loader does not call it";
  Run([&] {
    char name[32] = {};
    host->Driver()->getDriverName(name);
    EXPECT_STREQ(name, "QX531 24-bit");
    auto entry = Export<BOOL (*)(HINSTANCE, DWORD, LPVOID)>(module, "DllEntryPoint");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(module, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(entry(module, DLL_THREAD_ATTACH, nullptr), TRUE);
  });
  EXPECT_NE(program->DebugOutput().find("Started AsioVel DLL"), std::string::npos);
}

}  // namespace
}  // namespace asiotest
