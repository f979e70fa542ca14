// The drawing objects: a C++ object owning a pen, brush, font or bitmap handle. An object the
// program made or attached is found again from its handle; any other handle gets a temporary
// object of its kind, dropped at the next idle pass, which never deletes the handle.
#pragma once

#include <windows.h>

#include <afxobj.h>

class CDC;

class CGdiObject : public CObject {
 public:
  HGDIOBJ m_hObject = nullptr;

  CGdiObject() = default;
  // The object owns its handle: it goes with the object.
  ~CGdiObject() override;

  operator HGDIOBJ() const { return m_hObject; }  // NOLINT(google-explicit-constructor)
  HGDIOBJ GetSafeHandle() const { return m_hObject; }

  // The object of the handle: the one it is attached to, else a temporary one of its kind.
  static CGdiObject* FromHandle(HGDIOBJ hObject);
  // Drops the temporary objects; their handles stay.
  static void DeleteTempMap();

  // FALSE for no handle, or when the object already holds one.
  BOOL Attach(HGDIOBJ hObject);
  HGDIOBJ Detach();
  // Deletes the handle; FALSE when there was none or GDI refused.
  BOOL DeleteObject();
  int GetObject(int nCount, LPVOID lpObject) const { return ::GetObjectA(m_hObject, nCount, lpObject); }
  UINT GetObjectType() const { return static_cast<UINT>(::GetObjectType(m_hObject)); }
  BOOL CreateStockObject(int nIndex) { return Attach(::GetStockObject(nIndex)); }

 protected:
  // Takes a handle just made; one the object cannot take is deleted again.
  BOOL AttachNew(HGDIOBJ hObject);
};

class CPen : public CGdiObject {
 public:
  CPen() = default;
  CPen(int nPenStyle, int nWidth, COLORREF crColor) { CreatePen(nPenStyle, nWidth, crColor); }
  CPen(int nPenStyle, int nWidth, const LOGBRUSH* pLogBrush, int nStyleCount = 0, const DWORD* lpStyle = nullptr) {
    CreatePen(nPenStyle, nWidth, pLogBrush, nStyleCount, lpStyle);
  }

  operator HPEN() const { return static_cast<HPEN>(m_hObject); }  // NOLINT(google-explicit-constructor)
  static CPen* FromHandle(HPEN hPen) { return static_cast<CPen*>(CGdiObject::FromHandle(hPen)); }

  BOOL CreatePen(int nPenStyle, int nWidth, COLORREF crColor) {
    return AttachNew(::CreatePen(nPenStyle, nWidth, crColor));
  }
  // A pen of the extended kinds (geometric, end caps, joins) painted with the brush described.
  BOOL CreatePen(int nPenStyle, int nWidth, const LOGBRUSH* pLogBrush, int nStyleCount = 0,
                 const DWORD* lpStyle = nullptr) {
    return AttachNew(::ExtCreatePen(static_cast<DWORD>(nPenStyle), static_cast<DWORD>(nWidth), pLogBrush,
                                 static_cast<DWORD>(nStyleCount), lpStyle));
  }
  BOOL CreatePenIndirect(LPLOGPEN lpLogPen) { return AttachNew(::CreatePenIndirect(lpLogPen)); }
  int GetLogPen(LOGPEN* pLogPen) const { return GetObject(sizeof(LOGPEN), pLogPen); }
  int GetExtLogPen(EXTLOGPEN* pLogPen) const { return GetObject(sizeof(EXTLOGPEN), pLogPen); }
};

class CBrush : public CGdiObject {
 public:
  CBrush() = default;
  explicit CBrush(COLORREF crColor) { CreateSolidBrush(crColor); }

  operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }  // NOLINT(google-explicit-constructor)
  static CBrush* FromHandle(HBRUSH hBrush) { return static_cast<CBrush*>(CGdiObject::FromHandle(hBrush)); }

  BOOL CreateSolidBrush(COLORREF crColor) { return AttachNew(::CreateSolidBrush(crColor)); }
  BOOL CreateBrushIndirect(const LOGBRUSH* lpLogBrush) { return AttachNew(::CreateBrushIndirect(lpLogBrush)); }
  int GetLogBrush(LOGBRUSH* pLogBrush) const { return GetObject(sizeof(LOGBRUSH), pLogBrush); }
};

class CFont : public CGdiObject {
 public:
  operator HFONT() const { return static_cast<HFONT>(m_hObject); }  // NOLINT(google-explicit-constructor)
  static CFont* FromHandle(HFONT hFont) { return static_cast<CFont*>(CGdiObject::FromHandle(hFont)); }

  BOOL CreateFontIndirect(const LOGFONT* lpLogFont) { return AttachNew(::CreateFontIndirectA(lpLogFont)); }
  BOOL CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight, BYTE bItalic,
                  BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet, BYTE nOutPrecision, BYTE nClipPrecision,
                  BYTE nQuality, BYTE nPitchAndFamily, LPCSTR lpszFacename) {
    return AttachNew(::CreateFontA(nHeight, nWidth, nEscapement, nOrientation, nWeight, bItalic, bUnderline, cStrikeOut,
                                nCharSet, nOutPrecision, nClipPrecision, nQuality, nPitchAndFamily, lpszFacename));
  }
  int GetLogFont(LOGFONT* pLogFont) const { return GetObject(sizeof(LOGFONT), pLogFont); }
};

class CBitmap : public CGdiObject {
 public:
  operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }  // NOLINT(google-explicit-constructor)
  static CBitmap* FromHandle(HBITMAP hBitmap) { return static_cast<CBitmap*>(CGdiObject::FromHandle(hBitmap)); }

  // From the resources of the module AfxGetResourceHandle names.
  BOOL LoadBitmap(LPCSTR lpszResourceName);
  BOOL LoadBitmap(UINT nIDResource) { return LoadBitmap(MAKEINTRESOURCEA(nIDResource)); }
  BOOL CreateBitmap(int nWidth, int nHeight, UINT nPlanes, UINT nBitcount, const void* lpBits) {
    return AttachNew(::CreateBitmap(nWidth, nHeight, nPlanes, nBitcount, lpBits));
  }
  BOOL CreateBitmapIndirect(LPBITMAP lpBitmap) { return AttachNew(::CreateBitmapIndirect(lpBitmap)); }
  BOOL CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight);
  int GetBitmap(BITMAP* pBitMap) const { return GetObject(sizeof(BITMAP), pBitMap); }
};
