// The shell's file information: here, the icon a Linux file manager shows for a file.
#pragma once

#include "windef.h"

#define SHGFI_ICON 0x000000100
#define SHGFI_LARGEICON 0x000000000
#define SHGFI_SMALLICON 0x000000001
#define SHGFI_USEFILEATTRIBUTES 0x000000010

typedef struct _SHFILEINFOW {
    HICON hIcon;
    int iIcon;
    DWORD dwAttributes;
    WCHAR szDisplayName[MAX_PATH];
    WCHAR szTypeName[80];
} SHFILEINFOW;

// With SHGFI_ICON: the icon for the file's type (its MIME type from the shared-mime-info database, that
// type's icon names, looked up in the icon themes) at the large size, 32 x 32 (16 x 16 with
// SHGFI_SMALLICON), in psfi->hIcon for the caller to destroy. A file that does not exist gets no icon.
extern "C" TARNEL_API DWORD_PTR SHGetFileInfoW(LPCWSTR pszPath, DWORD dwFileAttributes, SHFILEINFOW* psfi,
                                               UINT cbFileInfo, UINT uFlags);
