// GDI and USER on in-memory surfaces. The display is 32-bit BGRX with rows top-down; a new memory device
// context holds the 1 x 1 monochrome stock bitmap, as on Windows, so a bitmap made compatible with it is
// monochrome. Every object made here is counted until it is deleted, so tests can see leaks.
#pragma once

#include "windef.h"

#define SRCCOPY 0x00CC0020
#define BLACKNESS 0x00000042
#define WHITENESS 0x00FF0062
#define ETO_OPAQUE 0x0002
#define ETO_CLIPPED 0x0004
#define CLR_INVALID 0xFFFFFFFF
#define OBJ_BRUSH 2
#define OBJ_DC 3
#define OBJ_BITMAP 7
#define OBJ_MEMDC 10
#define BITSPIXEL 12
#define PLANES 14
#define HORZRES 8
#define VERTRES 10
#define DI_MASK 0x0001
#define DI_IMAGE 0x0002
#define DI_NORMAL 0x0003
#define BLACKONWHITE 1
#define WHITEONBLACK 2
#define COLORONCOLOR 3
#define HALFTONE 4
#define COLOR_BTNFACE 15
#define COLOR_BTNSHADOW 16
#define COLOR_BTNTEXT 18
#define COLOR_BTNHIGHLIGHT 20
#define COLOR_WINDOW 5
#define COLOR_WINDOWTEXT 8
#define COLOR_3DFACE COLOR_BTNFACE
#define COLOR_3DSHADOW COLOR_BTNSHADOW
#define COLOR_3DHIGHLIGHT COLOR_BTNHIGHLIGHT

typedef struct _ICONINFO {
    BOOL fIcon;
    DWORD xHotspot;
    DWORD yHotspot;
    HBITMAP hbmMask;
    HBITMAP hbmColor;
} ICONINFO, *PICONINFO;

extern "C" {
TARNEL_API HWND GetDesktopWindow(void);
TARNEL_API HDC GetDC(HWND hWnd);
TARNEL_API int ReleaseDC(HWND hWnd, HDC hDC);
TARNEL_API HDC CreateCompatibleDC(HDC hdc);
TARNEL_API BOOL DeleteDC(HDC hdc);
TARNEL_API int GetDeviceCaps(HDC hdc, int index);
TARNEL_API int SaveDC(HDC hdc);
TARNEL_API BOOL RestoreDC(HDC hdc, int nSavedDC);

TARNEL_API HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
TARNEL_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
TARNEL_API HGDIOBJ GetCurrentObject(HDC hdc, UINT type);
TARNEL_API BOOL DeleteObject(HGDIOBJ ho);
TARNEL_API int GetObjectW(HGDIOBJ h, int c, LPVOID pv);
TARNEL_API DWORD GetObjectType(HGDIOBJ h);

TARNEL_API COLORREF SetBkColor(HDC hdc, COLORREF color);
TARNEL_API COLORREF GetBkColor(HDC hdc);
TARNEL_API COLORREF SetTextColor(HDC hdc, COLORREF color);
TARNEL_API COLORREF GetTextColor(HDC hdc);
TARNEL_API BOOL ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* lprect, LPCWSTR lpString, UINT c,
                            const INT* lpDx);
TARNEL_API BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop);
TARNEL_API COLORREF GetPixel(HDC hdc, int x, int y);
TARNEL_API COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color);
TARNEL_API DWORD GetSysColor(int nIndex);

TARNEL_API int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi,
                         UINT usage);
TARNEL_API int SetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, const void* lpBits,
                         const BITMAPINFO* lpbmi, UINT ColorUse);

TARNEL_API HBRUSH CreateSolidBrush(COLORREF color);
TARNEL_API int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr);

// Hands out new colour (32-bit) and mask (monochrome: white where the icon is transparent) bitmaps, which
// the caller deletes.
TARNEL_API BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo);
// Draws the icon at cxWidth x cyWidth (0: its own size) through its alpha. With a flicker-free brush the
// rectangle is first filled with it, as the off-screen buffer it stands for would be.
TARNEL_API BOOL DrawIconEx(HDC hdc, int xLeft, int yTop, HICON hIcon, int cxWidth, int cyWidth,
                           UINT istepIfAniCur, HBRUSH hbrFlickerFreeDraw, UINT diFlags);
TARNEL_API BOOL DestroyIcon(HICON hIcon);

TARNEL_API int SetStretchBltMode(HDC hdc, int mode);
// Every DIB format: core, info, V4 and V5 headers; 1, 4, 8, 16, 24 and 32 bits; BI_RGB, BI_BITFIELDS, BI_RLE4
// and BI_RLE8 (whose codes are read no further than biSizeImage bytes); bottom-up and top-down.
TARNEL_API int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc,
                             int SrcWidth, int SrcHeight, const void* lpBits, const BITMAPINFO* lpbmi,
                             UINT iUsage, DWORD rop);
}
