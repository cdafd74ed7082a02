#include "platform/tarnel/widestr.h"
#include "stringapiset.h"

#include <cstring>
#include <cwchar>

namespace tarnel::plat {

std::string NarrowFileName(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t wc : wide) {
        uint32_t c = uint32_t(wc);
        if (c >= 0xDC80 && c <= 0xDCFF) { // an undecodable byte, carried through
            out += char(c - 0xDC00);
        } else if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                c = 0xFFFD; // other lone surrogates have no UTF-8 form
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

std::wstring WidenFileName(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        uint32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (s[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
        if (ok)
            ok = (len == 1 || (len == 2 && c >= 0x80) || (len == 3 && c >= 0x800) ||
                  (len == 4 && c >= 0x10000)) &&
                 !(c >= 0xD800 && c <= 0xDFFF) && c < 0x110000;
        if (ok) {
            out += wchar_t(c);
            i += len;
        } else {
            out += wchar_t(0xDC00 + b);
            ++i;
        }
    }
    return out;
}

} // namespace tarnel::plat

using tarnel::plat::NarrowFileName;
using tarnel::plat::WidenFileName;

extern "C" {

int WideCharToMultiByte(UINT, DWORD, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR, BOOL* lpUsedDefaultChar) {
    if (lpWideCharStr == nullptr || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr))
        return 0;
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = FALSE;
    // A length of -1 takes the string with its terminator, as the result then does.
    size_t n = cchWideChar < 0 ? std::wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);
    std::string bytes = NarrowFileName(std::wstring_view(lpWideCharStr, n));
    if (cbMultiByte == 0)
        return int(bytes.size());
    if (bytes.size() > size_t(cbMultiByte))
        return 0;
    std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return int(bytes.size());
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (lpMultiByteStr == nullptr || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr))
        return 0;
    size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    std::wstring wide = WidenFileName(std::string_view(lpMultiByteStr, n));
    if (cchWideChar == 0)
        return int(wide.size());
    if (wide.size() > size_t(cchWideChar))
        return 0;
    std::wmemcpy(lpWideCharStr, wide.data(), wide.size());
    return int(wide.size());
}

int lstrlenW(LPCWSTR lpString) {
    return lpString == nullptr ? 0 : int(std::wcslen(lpString));
}

} // extern "C"
