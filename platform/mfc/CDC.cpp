#include <afxwin.h>

#include <memory>
#include <unordered_map>

namespace {

// The image's maps of DC objects, made on first use so no static constructor order matters.
struct DcMaps {
  std::unordered_map<HDC, CDC*> permanent;
  std::unordered_map<HDC, std::unique_ptr<CDC>> temporary;
};

DcMaps& Maps() {
  static DcMaps maps;
  return maps;
}

}  // namespace

CDC::~CDC() {
  if (m_hDC != nullptr) {
    ::DeleteDC(Detach());
  }
}

CDC* CDC::FromHandle(HDC hDC) {
  if (hDC == nullptr) {
    return nullptr;
  }
  if (const auto found = Maps().permanent.find(hDC); found != Maps().permanent.end()) {
    return found->second;
  }
  std::unique_ptr<CDC>& temporary = Maps().temporary[hDC];
  if (temporary == nullptr) {
    temporary = std::make_unique<CDC>();
    temporary->m_hDC = hDC;
    temporary->m_hAttribDC = hDC;
  }
  return temporary.get();
}

void CDC::DeleteTempMap() {
  for (auto& [hDC, dc] : Maps().temporary) {
    // Not ours to delete.
    dc->m_hDC = nullptr;
    dc->m_hAttribDC = nullptr;
  }
  Maps().temporary.clear();
}

BOOL CDC::Attach(HDC hDC) {
  if (hDC == nullptr || m_hDC != nullptr) {
    return FALSE;
  }
  m_hDC = hDC;
  m_hAttribDC = hDC;
  Maps().permanent[hDC] = this;
  return TRUE;
}

HDC CDC::Detach() {
  const HDC hDC = m_hDC;
  if (hDC != nullptr) {
    if (const auto found = Maps().permanent.find(hDC); found != Maps().permanent.end() && found->second == this) {
      Maps().permanent.erase(found);
    }
  }
  m_hDC = nullptr;
  m_hAttribDC = nullptr;
  return hDC;
}

BOOL CDC::CreateCompatibleDC(CDC* pDC) {
  const HDC hDC = ::CreateCompatibleDC(pDC != nullptr ? pDC->m_hDC : nullptr);
  if (hDC == nullptr) {
    return FALSE;
  }
  if (!Attach(hDC)) {
    ::DeleteDC(hDC);
    return FALSE;
  }
  return TRUE;
}

BOOL CDC::DeleteDC() {
  if (m_hDC == nullptr) {
    return FALSE;
  }
  return ::DeleteDC(Detach());
}

CPen* CDC::SelectObject(CPen* pPen) {
  return CPen::FromHandle(static_cast<HPEN>(::SelectObject(m_hDC, pPen->m_hObject)));
}

CBrush* CDC::SelectObject(CBrush* pBrush) {
  return CBrush::FromHandle(static_cast<HBRUSH>(::SelectObject(m_hDC, pBrush->m_hObject)));
}

CFont* CDC::SelectObject(CFont* pFont) {
  return CFont::FromHandle(static_cast<HFONT>(::SelectObject(m_hDC, pFont->m_hObject)));
}

CBitmap* CDC::SelectObject(CBitmap* pBitmap) {
  return CBitmap::FromHandle(static_cast<HBITMAP>(::SelectObject(m_hDC, pBitmap->m_hObject)));
}

CGdiObject* CDC::SelectObject(CGdiObject* pObject) {
  const HGDIOBJ previous = ::SelectObject(m_hDC, pObject->m_hObject);
  // A refused selection answers HGDI_ERROR, not an object.
  return previous == HGDI_ERROR ? nullptr : CGdiObject::FromHandle(previous);
}

CGdiObject* CDC::SelectStockObject(int nIndex) {
  const HGDIOBJ stock = ::GetStockObject(nIndex);
  return stock != nullptr ? CGdiObject::FromHandle(::SelectObject(m_hDC, stock)) : nullptr;
}

CPoint CDC::MoveTo(int x, int y) {
  POINT previous{};
  ::MoveToEx(m_hDC, x, y, &previous);
  return previous;
}

CPoint CDC::GetCurrentPosition() const {
  POINT point{};
  ::GetCurrentPositionEx(m_hDC, &point);
  return point;
}

void CDC::FillSolidRect(LPCRECT lpRect, COLORREF clr) {
  ::SetBkColor(m_hDC, clr);
  ::ExtTextOutA(m_hDC, 0, 0, ETO_OPAQUE, lpRect, nullptr, 0, nullptr);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF clr) {
  const RECT rect{x, y, x + cx, y + cy};
  FillSolidRect(&rect, clr);
}

CSize CDC::GetTextExtent(LPCSTR lpszString, int nCount) const {
  SIZE size{};
  ::GetTextExtentPoint32A(m_hDC, lpszString, nCount, &size);
  return size;
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) { Attach(::BeginPaint(m_hWnd, &m_ps)); }

CPaintDC::~CPaintDC() {
  ::EndPaint(m_hWnd, &m_ps);
  Detach();
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr) { Attach(::GetDC(m_hWnd)); }

CClientDC::~CClientDC() { ::ReleaseDC(m_hWnd, Detach()); }

CDC* CWnd::GetDC() { return CDC::FromHandle(::GetDC(m_hWnd)); }

int CWnd::ReleaseDC(CDC* pDC) { return ::ReleaseDC(m_hWnd, pDC->m_hDC); }
