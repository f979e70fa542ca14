// The COM subset of in-process servers and their hosts: HRESULT codes, the exports a server DLL
// gives its hosts, and CLSID text conversion.
#pragma once

#include "../../kernel/ImageExport.h"
#include "unknwn.h"

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// What an in-process server exports; a host finds them with GetProcAddress.
extern "C" QX_IMAGE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
extern "C" QX_IMAGE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow();
// A server's export in the shape of a DLL entry, which the loader never calls: only a caller that
// looks it up runs it.
extern "C" QX_IMAGE_EXPORT BOOL WINAPI DllEntryPoint(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
using LPFNGETCLASSOBJECT = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using LPFNCANUNLOADNOW = HRESULT(STDAPICALLTYPE*)();

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" to a CLSID and back. The text form is what the
// registry holds: CLSIDFromString fails with CO_E_CLASSSTRING on anything else; StringFromGUID2
// writes 39 characters with the NUL and answers that count, or 0 when `cchMax` is short.
HRESULT CLSIDFromString(LPCWSTR lpsz, CLSID* pclsid);
int StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax);
