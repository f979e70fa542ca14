// The module's exports and its table of creatable classes.
#include <new>

#include "asio/CClassFactory.h"
#include "asio/Qx531Asio.h"

const CFactoryTemplate g_Templates[] = {
    {L"QX531 Audio", &CLSID_Qx531Asio, CreateQx531Asio, nullptr},
};
const int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];

// Kept for callers of DllEntryPoint; nothing in the driver reads them.
HINSTANCE gInstance = nullptr;
DWORD gPlatformId = 0;
OSVERSIONINFOA gVersion{};

namespace {

// Factories handed out and not yet released: the module must stay while one is held.
LONG gFactories = 0;

// A factory that counts itself among the module's live objects while it exists.
class CountedClassFactory : public CClassFactory {
 public:
  explicit CountedClassFactory(const CFactoryTemplate* row) : CClassFactory(row) { InterlockedIncrement(&gFactories); }
  ~CountedClassFactory() override { InterlockedDecrement(&gFactories); }
};

void CallTemplateInitRoutines(BOOL loading) {
  for (int i = 0; i < g_cTemplates; ++i)
    if (g_Templates[i].m_lpfnInit != nullptr) g_Templates[i].m_lpfnInit(loading, g_Templates[i].m_ClsID);
}

}  // namespace

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
  for (int i = 0; i < g_cTemplates; ++i) {
    if (*g_Templates[i].m_ClsID != rclsid) continue;
    auto* factory = new (std::nothrow) CountedClassFactory(&g_Templates[i]);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    *ppv = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return ServerLockCount() > 0 || ObjectCount() != 0 || gFactories != 0 ? S_FALSE : S_OK;
}

BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID) {
  OutputDebugStringA("Started AsioVel DLL");
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    gPlatformId = 1;
    gVersion.dwOSVersionInfoSize = sizeof gVersion;
    if (GetVersionExA(&gVersion)) gPlatformId = gVersion.dwPlatformId;
    gInstance = instance;
    CallTemplateInitRoutines(TRUE);
  } else if (reason == DLL_PROCESS_DETACH) {
    CallTemplateInitRoutines(FALSE);
  }
  return TRUE;
}
