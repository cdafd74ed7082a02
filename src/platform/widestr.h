// File names are bytes on Linux and wide strings in the system. UTF-8 is the file-name encoding; a byte that
// is not part of valid UTF-8 becomes the lone code point U+DC80..U+DCFF and turns back into the same byte,
// so every name round-trips.
#pragma once

#include "platform/wintypes.h"

#include <string>
#include <string_view>

TARNEL_API std::string NarrowFileName(std::wstring_view wide);
TARNEL_API std::wstring WidenFileName(std::string_view bytes);

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
