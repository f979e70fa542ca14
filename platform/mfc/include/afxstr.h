// The class library's string of chars: a value with its own buffer, formatted and loaded from
// string resources.
#pragma once

#include <windows.h>

#include <compare>
#include <string>

class CString {
 public:
  CString() = default;
  CString(LPCSTR psz) : m_text(psz != nullptr ? psz : "") {}  // NOLINT(google-explicit-constructor)
  CString(LPCSTR pch, int nLength) : m_text(pch, static_cast<size_t>(nLength)) {}
  CString(char ch, int nRepeat = 1) : m_text(static_cast<size_t>(nRepeat), ch) {}  // NOLINT

  int GetLength() const { return static_cast<int>(m_text.size()); }
  BOOL IsEmpty() const { return m_text.empty() ? TRUE : FALSE; }
  void Empty() { m_text.clear(); }
  char GetAt(int nIndex) const { return m_text.at(static_cast<size_t>(nIndex)); }
  char operator[](int nIndex) const { return GetAt(nIndex); }
  void SetAt(int nIndex, char ch) { m_text.at(static_cast<size_t>(nIndex)) = ch; }
  operator LPCSTR() const { return m_text.c_str(); }  // NOLINT(google-explicit-constructor)
  LPCSTR GetString() const { return m_text.c_str(); }

  CString& operator=(LPCSTR psz) {
    m_text = psz != nullptr ? psz : "";
    return *this;
  }
  CString& operator=(char ch) {
    m_text.assign(1, ch);
    return *this;
  }
  CString& operator+=(const CString& s) {
    m_text += s.m_text;
    return *this;
  }
  CString& operator+=(LPCSTR psz) {
    m_text += psz != nullptr ? psz : "";
    return *this;
  }
  CString& operator+=(char ch) {
    m_text += ch;
    return *this;
  }
  friend CString operator+(CString a, const CString& b) { return a += b; }
  friend CString operator+(CString a, LPCSTR b) { return a += b; }
  friend CString operator+(LPCSTR a, const CString& b) { return CString(a) += b; }
  friend CString operator+(CString a, char b) { return a += b; }

  int Compare(LPCSTR psz) const;
  int CompareNoCase(LPCSTR psz) const;
  friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
  friend bool operator==(const CString& a, LPCSTR b) { return a.Compare(b) == 0; }
  friend std::strong_ordering operator<=>(const CString& a, const CString& b) { return a.m_text <=> b.m_text; }
  friend std::strong_ordering operator<=>(const CString& a, LPCSTR b) { return a.Compare(b) <=> 0; }

  // printf-style; the arguments must match the format as they must on Windows.
  void Format(LPCSTR pszFormat, ...);
  void FormatV(LPCSTR pszFormat, va_list args);
  // The string of the given id from the resource module; FALSE, and the string left empty, when
  // there is none.
  BOOL LoadString(UINT nID);

  // A buffer of at least nMinBufLength chars plus the terminator, holding the current text;
  // ReleaseBuffer takes the length back (up to the terminator when -1).
  LPSTR GetBuffer(int nMinBufLength = 0);
  LPSTR GetBufferSetLength(int nNewLength);
  void ReleaseBuffer(int nNewLength = -1);

  CString Left(int nCount) const;
  CString Right(int nCount) const;
  CString Mid(int nFirst) const;
  CString Mid(int nFirst, int nCount) const;
  int Find(char ch, int nStart = 0) const;
  int Find(LPCSTR pszSub, int nStart = 0) const;
  CString& MakeUpper();
  CString& MakeLower();
  CString& Trim();
  CString& TrimLeft();
  CString& TrimRight();

 private:
  std::string m_text;
};
