#include <afxwin.h>

namespace {
// The image's own module state: each image links the class library, so each has its own.
struct ModuleState {
  HINSTANCE hInstance = nullptr;
  HINSTANCE hResource = nullptr;
};
ModuleState g_moduleState;
}  // namespace

HINSTANCE AfxGetInstanceHandle() { return g_moduleState.hInstance; }

HINSTANCE AfxGetResourceHandle() { return g_moduleState.hResource; }

void AfxSetResourceHandle(HINSTANCE hInstResource) { g_moduleState.hResource = hInstResource; }

void AfxSetInstanceHandle(HINSTANCE hInstance) {
  g_moduleState.hInstance = hInstance;
  if (g_moduleState.hResource == nullptr) {
    g_moduleState.hResource = hInstance;
  }
}
