// The root object and run-time class records: a class made creatable by name carries a
// constant record with its name, size, base and factory.
#pragma once

#include <windows.h>

class CObject;

struct CRuntimeClass {
  LPCSTR m_lpszClassName;
  int m_nObjectSize;
  CObject* (*m_pfnCreateObject)();
  const CRuntimeClass* m_pBaseClass;

  CObject* CreateObject() const { return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr; }
  BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

class CObject {
 public:
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;
  virtual ~CObject() = default;
  virtual const CRuntimeClass* GetRuntimeClass() const;
  BOOL IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

  static const CRuntimeClass classCObject;

 protected:
  CObject() = default;
};

#define RUNTIME_CLASS(className) (&className::class##className)

#define DECLARE_DYNAMIC(className)                            \
 public:                                                      \
  static const CRuntimeClass class##className;                \
  const CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(className) \
  DECLARE_DYNAMIC(className)         \
  static CObject* CreateObject();

#define AFX_IMPLEMENT_RUNTIMECLASS(className, baseClassName, pfnNew)                                   \
  constinit const CRuntimeClass className::class##className = {#className, static_cast<int>(sizeof(className)), \
                                                         pfnNew, RUNTIME_CLASS(baseClassName)};           \
  const CRuntimeClass* className::GetRuntimeClass() const { return RUNTIME_CLASS(className); }

#define IMPLEMENT_DYNAMIC(className, baseClassName) AFX_IMPLEMENT_RUNTIMECLASS(className, baseClassName, nullptr)

#define IMPLEMENT_DYNCREATE(className, baseClassName)            \
  CObject* className::CreateObject() { return new className; }   \
  AFX_IMPLEMENT_RUNTIMECLASS(className, baseClassName, className::CreateObject)
