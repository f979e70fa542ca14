#include <afxstr.h>
#include <afxwin.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
bool IsSpace(char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; }
}  // namespace

int CString::Compare(LPCSTR psz) const { return std::strcmp(m_text.c_str(), psz != nullptr ? psz : ""); }

int CString::CompareNoCase(LPCSTR psz) const {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(m_text.c_str());
  const unsigned char* b = reinterpret_cast<const unsigned char*>(psz != nullptr ? psz : "");
  for (;; ++a, ++b) {
    const int ca = std::tolower(*a);
    const int cb = std::tolower(*b);
    if (ca != cb || ca == 0) {
      return ca < cb ? -1 : (ca > cb ? 1 : 0);
    }
  }
}

void CString::Format(LPCSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  FormatV(pszFormat, args);
  va_end(args);
}

void CString::FormatV(LPCSTR pszFormat, va_list args) {
  va_list sizing;
  va_copy(sizing, args);
  const int length = std::vsnprintf(nullptr, 0, pszFormat, sizing);
  va_end(sizing);
  if (length < 0) {
    m_text.clear();
    return;
  }
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), pszFormat, args);
  text.resize(static_cast<size_t>(length));
  m_text = std::move(text);
}

BOOL CString::LoadString(UINT nID) {
  // A string resource holds at most 65535 chars; grow until it fits.
  for (int capacity = 256;; capacity *= 2) {
    std::string buffer(static_cast<size_t>(capacity), '\0');
    const int length = ::LoadStringA(AfxGetResourceHandle(), nID, buffer.data(), capacity);
    if (length <= 0) {
      m_text.clear();
      return FALSE;
    }
    if (length < capacity - 1 || capacity > 0x10000) {
      buffer.resize(static_cast<size_t>(length));
      m_text = std::move(buffer);
      return TRUE;
    }
  }
}

LPSTR CString::GetBuffer(int nMinBufLength) {
  if (nMinBufLength > GetLength()) {
    m_text.resize(static_cast<size_t>(nMinBufLength));
  }
  return m_text.data();
}

LPSTR CString::GetBufferSetLength(int nNewLength) {
  m_text.resize(static_cast<size_t>(std::max(nNewLength, 0)));
  return m_text.data();
}

void CString::ReleaseBuffer(int nNewLength) {
  const size_t length = nNewLength < 0 ? std::strlen(m_text.c_str()) : static_cast<size_t>(nNewLength);
  m_text.resize(std::min(length, m_text.size()));
}

CString CString::Left(int nCount) const {
  return CString(m_text.substr(0, static_cast<size_t>(std::clamp(nCount, 0, GetLength()))).c_str());
}

CString CString::Right(int nCount) const {
  const int count = std::clamp(nCount, 0, GetLength());
  return CString(m_text.substr(static_cast<size_t>(GetLength() - count)).c_str());
}

CString CString::Mid(int nFirst) const { return Mid(nFirst, GetLength()); }

CString CString::Mid(int nFirst, int nCount) const {
  const int first = std::clamp(nFirst, 0, GetLength());
  const int count = std::clamp(nCount, 0, GetLength() - first);
  return CString(m_text.substr(static_cast<size_t>(first), static_cast<size_t>(count)).c_str());
}

int CString::Find(char ch, int nStart) const {
  if (nStart < 0 || nStart > GetLength()) {
    return -1;
  }
  const size_t at = m_text.find(ch, static_cast<size_t>(nStart));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(LPCSTR pszSub, int nStart) const {
  if (nStart < 0 || nStart > GetLength() || pszSub == nullptr) {
    return -1;
  }
  const size_t at = m_text.find(pszSub, static_cast<size_t>(nStart));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString& CString::MakeUpper() {
  for (char& ch : m_text) {
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  return *this;
}

CString& CString::MakeLower() {
  for (char& ch : m_text) {
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  return *this;
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }

CString& CString::TrimLeft() {
  m_text.erase(m_text.begin(), std::find_if_not(m_text.begin(), m_text.end(), IsSpace));
  return *this;
}

CString& CString::TrimRight() {
  m_text.erase(std::find_if_not(m_text.rbegin(), m_text.rend(), IsSpace).base(), m_text.end());
  return *this;
}
