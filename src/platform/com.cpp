#include "objbase.h"

#include <cstdio>
#include <cwchar>

extern "C" {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IExtractImage = {0xBB2E617C, 0x0920, 0x11D1, {0x9A, 0x0B, 0x00, 0xC0, 0x4F, 0xC2, 0xD6, 0xC1}};
const IID IID_IExtractImage2 = {0x953BB1EE, 0x93B4, 0x11D1, {0x98, 0xA3, 0x00, 0xC0, 0x4F, 0xB6, 0x87, 0xDA}};
const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

int StringFromGUID2(REFGUID g, LPWSTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < 39)
        return 0;
    std::swprintf(lpsz, size_t(cchMax), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return 39;
}

HRESULT CLSIDFromString(LPCWSTR lpsz, CLSID* pclsid) {
    if (lpsz == nullptr || pclsid == nullptr)
        return E_INVALIDARG;
    static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (std::wcslen(lpsz) != sizeof kShape - 1)
        return E_INVALIDARG;
    uint8_t bytes[16];
    int nibble = 0;
    for (size_t i = 0; i < sizeof kShape - 1; ++i) {
        wchar_t c = lpsz[i];
        if (kShape[i] != 'X') {
            if (c != wchar_t(kShape[i]))
                return E_INVALIDARG;
            continue;
        }
        int v = c >= L'0' && c <= L'9'   ? c - L'0'
                : c >= L'a' && c <= L'f' ? c - L'a' + 10
                : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                         : -1;
        if (v < 0)
            return E_INVALIDARG;
        bytes[nibble / 2] = uint8_t((nibble % 2 == 0) ? v << 4 : (bytes[nibble / 2] | v));
        ++nibble;
    }
    pclsid->Data1 =
        (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    pclsid->Data2 = uint16_t((bytes[4] << 8) | bytes[5]);
    pclsid->Data3 = uint16_t((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        pclsid->Data4[i] = bytes[8 + i];
    return S_OK;
}

} // extern "C"
