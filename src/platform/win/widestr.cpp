// Text of files and names as the system reads it on Windows: 8-bit text in the thread's code page, as the
// class library's text files read it in a Unicode build.
#include "platform/tarnel/widestr.h"

#include <climits>

namespace tarnel::plat {

std::string NarrowFileName(std::wstring_view wide) {
    if (wide.empty() || wide.size() > size_t(INT_MAX))
        return {};
    const int n =
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), int(wide.size()), narrow.data(), n, nullptr,
                              nullptr);
    return narrow;
}

std::wstring WidenFileName(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > size_t(INT_MAX))
        return {};
    const int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), int(bytes.size()), wide.data(), n);
    return wide;
}

} // namespace tarnel::plat
