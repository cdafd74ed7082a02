// Code-page conversion. Every code page maps to the file-name encoding, UTF-8, in which a byte that is not
// part of valid UTF-8 becomes the lone code point U+DC80..U+DCFF and turns back into the same byte.
#pragma once

#include "windef.h"

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

extern "C" {
// Only the file-name encoding is offered: every code page maps to it.
TARNEL_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                   BOOL* lpUsedDefaultChar);
TARNEL_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar);
TARNEL_API int lstrlenW(LPCWSTR lpString);
}
