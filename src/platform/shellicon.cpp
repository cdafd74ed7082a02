#include "shellapi.h"

#include "platform/tarnel/desktop.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/gdiobj.h"
#include "platform/tarnel/icontheme.h"
#include "platform/tarnel/widestr.h"

#include <vector>

using namespace tarnel::plat;

std::string tarnel::plat::FileContentType(LPCWSTR pszPath) {
    std::string native;
    if (!ResolveFileName(pszPath, native))
        return "";
    return GuessContentType(native, false);
}

extern "C" DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD, SHFILEINFOW* psfi, UINT cbFileInfo, UINT uFlags) {
    if (pszPath == nullptr || psfi == nullptr || cbFileInfo < sizeof(SHFILEINFOW))
        return 0;
    if ((uFlags & SHGFI_ICON) == 0)
        return 1;
    psfi->hIcon = nullptr;
    std::string native, type;
    if ((uFlags & SHGFI_USEFILEATTRIBUTES) != 0) {
        type = GuessContentType(NarrowFileName(pszPath), true);
    } else {
        if (!ResolveFileName(pszPath, native))
            return 0; // the file itself is examined: no file, no icon
        type = GuessContentType(native, false);
    }
    if (type.empty())
        return 0;
    const int size = (uFlags & SHGFI_SMALLICON) != 0 ? 16 : 32;
    int width = 0, height = 0;
    std::vector<DWORD> argb;
    if (!LoadTypeIcon(type, size, width, height, argb))
        return 0;
    psfi->hIcon = tarnel::gdi::CreateIconFromArgb(width, height, argb.data());
    return psfi->hIcon != nullptr ? 1 : 0;
}
