#include <afxcmdtarget.h>

const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP_ENTRY* entries, UINT nMessage, UINT nCode, UINT nID) {
  for (const AFX_MSGMAP_ENTRY* entry = entries; entry->pfn != nullptr; ++entry) {
    const UINT message = entry->pnRegistered != nullptr ? *entry->pnRegistered : entry->nMessage;
    if (message == nMessage && entry->nCode == nCode && nID >= entry->nID && nID <= entry->nLastID) {
      return entry;
    }
  }
  return nullptr;
}

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static constexpr AFX_MSGMAP_ENTRY messageEntries[] = {{0, 0, 0, 0, nullptr, nullptr}};
  static constexpr AFX_MSGMAP messageMap = {nullptr, messageEntries};
  return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::DispatchToMap(UINT nMessage, UINT nCode, UINT nID, WPARAM wParam, LPARAM lParam, LRESULT* pResult,
                               UINT nArrived) {
  for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
       map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
    if (const AFX_MSGMAP_ENTRY* entry = AfxFindMessageEntry(map->lpEntries, nMessage, nCode, nID)) {
      return entry->pfn(this, nArrived != 0 ? nArrived : nMessage, wParam, lParam, pResult);
    }
  }
  return FALSE;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo) {
  if (pHandlerInfo != nullptr) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
      if (AfxFindMessageEntry(map->lpEntries, WM_COMMAND, static_cast<UINT>(nCode), nID) != nullptr) {
        static_cast<AFX_CMDHANDLERINFO*>(pHandlerInfo)->pTarget = this;
        return TRUE;
      }
    }
    return FALSE;
  }
  LRESULT result = 0;
  return DispatchToMap(WM_COMMAND, static_cast<UINT>(nCode), nID, MAKEWPARAM(nID, static_cast<UINT>(nCode)),
                       reinterpret_cast<LPARAM>(pExtra), &result);
}

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
  for (const CRuntimeClass* runtimeClass = this; runtimeClass != nullptr; runtimeClass = runtimeClass->m_pBaseClass) {
    if (runtimeClass == pBaseClass) {
      return TRUE;
    }
  }
  return FALSE;
}

constinit const CRuntimeClass CObject::classCObject = {"CObject", static_cast<int>(sizeof(CObject)), nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
