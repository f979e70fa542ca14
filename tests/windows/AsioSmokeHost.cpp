// A Windows host that loads the ASIO driver as a host does, through its class factory, with no
// unit present: the driver names itself, refuses init with a clear error text, and unloads.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include <iasiodrv.h>

#include "asio/Qx531Asio.h"

namespace {

int Fail(const char* what) {
  std::printf("FAIL: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("Qx5310A24x64.dll");
  if (dll == nullptr) return Fail("LoadLibrary");
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
  auto getClassObject = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  auto canUnloadNow = reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  if (getClassObject == nullptr || canUnloadNow == nullptr) return Fail("exports");

  IClassFactory* factory = nullptr;
  if (FAILED(getClassObject(CLSID_Qx531Asio, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    return Fail("DllGetClassObject");
  IASIO* driver = nullptr;
  const HRESULT created = factory->CreateInstance(nullptr, CLSID_Qx531Asio, reinterpret_cast<void**>(&driver));
  factory->Release();
  if (FAILED(created) || driver == nullptr) return Fail("CreateInstance");

  char name[32] = {};
  driver->getDriverName(name);
  std::printf("driver name: %s, version %ld\n", name, static_cast<long>(driver->getDriverVersion()));
  const ASIOBool initialised = driver->init(nullptr);
  char error[124] = {};
  driver->getErrorMessage(error);
  std::printf("init without a unit: %s, error text: \"%s\"\n", initialised ? "accepted" : "refused", error);
  driver->Release();
  if (initialised) return Fail("init accepted without a unit");
  if (name[0] == '\0') return Fail("no driver name");

  if (canUnloadNow() != S_OK) return Fail("DllCanUnloadNow after the last release");
  if (!FreeLibrary(dll)) return Fail("FreeLibrary");
  std::printf("PASS\n");
  return 0;
}
