#include "oleauto.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The length in bytes sits just in front of the characters; the header keeps them aligned to 8.
constexpr size_t kHeader = 8;

} // namespace

extern "C" {

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    const size_t bytes = size_t(ui) * sizeof(OLECHAR);
    if (bytes > 0xFFFFFFFFu - kHeader - sizeof(OLECHAR))
        return nullptr;
    auto* block = static_cast<char*>(std::malloc(kHeader + bytes + sizeof(OLECHAR)));
    if (block == nullptr)
        return nullptr;
    const uint32_t length = uint32_t(bytes);
    std::memcpy(block + kHeader - sizeof length, &length, sizeof length);
    auto* text = reinterpret_cast<BSTR>(block + kHeader);
    if (strIn != nullptr)
        std::wmemcpy(text, strIn, ui);
    else
        std::wmemset(text, L'\0', ui);
    text[ui] = L'\0';
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
    return psz == nullptr ? nullptr : SysAllocStringLen(psz, UINT(std::wcslen(psz)));
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr)
        std::free(reinterpret_cast<char*>(bstrString) - kHeader);
}

UINT SysStringLen(BSTR pbstr) {
    if (pbstr == nullptr)
        return 0;
    uint32_t length = 0;
    std::memcpy(&length, reinterpret_cast<char*>(pbstr) - sizeof length, sizeof length);
    return UINT(length / sizeof(OLECHAR));
}

} // extern "C"
