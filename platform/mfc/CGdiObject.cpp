#include <afxwin.h>

#include <memory>
#include <unordered_map>

namespace {

// The image's maps of drawing objects, made on first use so no static constructor order matters.
struct GdiMaps {
  std::unordered_map<HGDIOBJ, CGdiObject*> permanent;
  std::unordered_map<HGDIOBJ, std::unique_ptr<CGdiObject>> temporary;
};

GdiMaps& Maps() {
  static GdiMaps maps;
  return maps;
}

// A temporary object of the handle's kind, so a caller may treat it as a pen, brush, font or bitmap.
std::unique_ptr<CGdiObject> NewOfKind(HGDIOBJ hObject) {
  switch (::GetObjectType(hObject)) {
    case OBJ_PEN:
    case OBJ_EXTPEN: return std::make_unique<CPen>();
    case OBJ_BRUSH: return std::make_unique<CBrush>();
    case OBJ_FONT: return std::make_unique<CFont>();
    case OBJ_BITMAP: return std::make_unique<CBitmap>();
    default: return std::make_unique<CGdiObject>();
  }
}

}  // namespace

CGdiObject::~CGdiObject() { DeleteObject(); }

CGdiObject* CGdiObject::FromHandle(HGDIOBJ hObject) {
  if (hObject == nullptr) {
    return nullptr;
  }
  if (const auto found = Maps().permanent.find(hObject); found != Maps().permanent.end()) {
    return found->second;
  }
  std::unique_ptr<CGdiObject>& temporary = Maps().temporary[hObject];
  if (temporary == nullptr) {
    temporary = NewOfKind(hObject);
    temporary->m_hObject = hObject;
  }
  return temporary.get();
}

void CGdiObject::DeleteTempMap() {
  for (auto& [hObject, object] : Maps().temporary) {
    // Not ours to delete.
    object->m_hObject = nullptr;
  }
  Maps().temporary.clear();
}

BOOL CGdiObject::Attach(HGDIOBJ hObject) {
  if (hObject == nullptr || m_hObject != nullptr) {
    return FALSE;
  }
  m_hObject = hObject;
  Maps().permanent[hObject] = this;
  return TRUE;
}

BOOL CGdiObject::AttachNew(HGDIOBJ hObject) {
  if (hObject != nullptr && m_hObject != nullptr) {
    ::DeleteObject(hObject);
    return FALSE;
  }
  return Attach(hObject);
}

HGDIOBJ CGdiObject::Detach() {
  const HGDIOBJ hObject = m_hObject;
  if (hObject != nullptr) {
    if (const auto found = Maps().permanent.find(hObject); found != Maps().permanent.end() && found->second == this) {
      Maps().permanent.erase(found);
    }
  }
  m_hObject = nullptr;
  return hObject;
}

BOOL CGdiObject::DeleteObject() {
  if (m_hObject == nullptr) {
    return FALSE;
  }
  return ::DeleteObject(Detach());
}

BOOL CBitmap::LoadBitmap(LPCSTR lpszResourceName) {
  return AttachNew(::LoadBitmapA(AfxGetResourceHandle(), lpszResourceName));
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight) {
  return AttachNew(::CreateCompatibleBitmap(pDC->m_hDC, nWidth, nHeight));
}

CFont* CWnd::GetFont() const {
  return CFont::FromHandle(reinterpret_cast<HFONT>(::SendMessageA(m_hWnd, WM_GETFONT, 0, 0)));
}

void CWnd::SetFont(CFont* pFont, BOOL bRedraw) {
  ::SendMessageA(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(pFont != nullptr ? pFont->m_hObject : nullptr), bRedraw);
}
