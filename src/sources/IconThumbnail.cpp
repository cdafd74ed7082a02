#include "sources/IconThumbnail.h"

#include "afxwin.h"
#include "dibkit/dibkit.h"
#include "shellapi.h"

HBITMAP CreateIconThumbnail(LPCWSTR lpszPath, const SIZE& size) {
    if (lpszPath == nullptr)
        return nullptr;

    SHFILEINFOW info = {};
    ::SHGetFileInfoW(lpszPath, 0, &info, sizeof info, SHGFI_ICON);
    if (info.hIcon == nullptr)
        return nullptr;

    ICONINFO iconInfo = {};
    if (!::GetIconInfo(info.hIcon, &iconInfo)) {
        ::DestroyIcon(info.hIcon);
        return nullptr;
    }
    // The hot spot is the icon's centre, so twice it is the icon's size.
    const int iconWidth = int(2 * iconInfo.xHotspot), iconHeight = int(2 * iconInfo.yHotspot);

    CClientDC screenDC(nullptr);
    CCompatibleDC memDC(&screenDC);
    CCompatibleBitmap bitmap(&screenDC, size.cx, size.cy);
    CDCRestorer restorer(&memDC);
    CDC::SelectGdiObject(memDC.GetSafeHdc(), bitmap.GetSafeHandle());

    // Centred along each side the icon is smaller than; from the edge along a side it fills or overflows.
    int left = 0, top = 0;
    if (iconWidth < size.cx)
        left = size.cx / 2 - int(iconInfo.xHotspot);
    if (iconHeight < size.cy)
        top = size.cy / 2 - int(iconInfo.yHotspot);

    CBrush brush(RGB(255, 255, 255));
    RECT rect = {0, 0, size.cx, size.cy};
    ::FillRect(memDC.GetSafeHdc(), &rect, brush);
    ::DrawIconEx(memDC.GetSafeHdc(), left, top, info.hIcon, iconWidth, iconHeight, 0, brush, DI_NORMAL);
    restorer.Restore();

    ::DestroyIcon(info.hIcon);
    ::DeleteObject(iconInfo.hbmColor);
    ::DeleteObject(iconInfo.hbmMask);
    return static_cast<HBITMAP>(bitmap.Detach());
}
