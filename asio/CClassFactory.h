// The class factory of the module's creatable classes, and the table it makes them from.
#pragma once

#include "asio/CUnknown.h"

// One creatable class: its name, class id, the routine that makes an object (storing a failure in
// the HRESULT it is given) and an optional routine called at module load and unload.
struct CFactoryTemplate {
  const WCHAR* m_Name;
  const CLSID* m_ClsID;
  CUnknown* (*m_lpfnNew)(IUnknown* outer, HRESULT* hr);
  void (*m_lpfnInit)(BOOL loading, const CLSID* clsid);
};

extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// The count LockServer keeps.
LONG ServerLockCount();

class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const CFactoryTemplate* row) : mTemplate(row) {}
  virtual ~CClassFactory() = default;
  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  const CFactoryTemplate* mTemplate;
  LONG mRef = 0;
};
