// Brushes and icons of the GDI layer.
#include "platform/tarnel/gdiobj.h"

#include <algorithm>
#include <new>

using namespace tarnel::gdi;

namespace {

std::unique_lock<std::mutex> Locked() {
    return std::unique_lock<std::mutex>(Table::Get().Lock());
}

Bitmap* SurfaceOf(HDC hdc) {
    auto* dc = static_cast<DC*>(Table::Get().Find(hdc, Kind::DC));
    if (dc == nullptr || dc->screen)
        return nullptr;
    auto* bm = static_cast<Bitmap*>(Table::Get().Find(dc->state.bitmap, Kind::Bitmap));
    return bm != nullptr && !bm->stock ? bm : nullptr; // the shared stock bitmap is never drawn on
}

void FillClipped(Bitmap& bm, LONGLONG left, LONGLONG top, LONGLONG right, LONGLONG bottom, DWORD pixel) {
    left = std::max<LONGLONG>(left, 0), top = std::max<LONGLONG>(top, 0);
    right = std::min<LONGLONG>(right, bm.width), bottom = std::min<LONGLONG>(bottom, bm.height);
    if (right <= left || bottom <= top)
        return;
    if (bm.bitsPixel == 1)
        pixel = (pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF) >= 384 ? 0xFFFFFF : 0;
    for (LONGLONG y = top; y < bottom; ++y)
        std::fill(bm.Row(LONG(y)) + left, bm.Row(LONG(y)) + right, pixel);
}

HBITMAP AddBitmap(LONG w, LONG h, WORD bpp) {
    auto bm = std::make_unique<Bitmap>(w, h, bpp);
    bm->bits.assign(size_t(w) * size_t(h), 0);
    return static_cast<HBITMAP>(Table::Get().Add(std::move(bm)));
}

} // namespace

HICON tarnel::gdi::CreateIconFromArgb(LONG width, LONG height, const DWORD* argb) {
    if (argb == nullptr || width <= 0 || height <= 0 || width > 1024 || height > 1024)
        return nullptr;
    auto lock = Locked();
    try {
        auto icon = std::make_unique<Icon>(width, height);
        icon->argb.assign(argb, argb + size_t(width) * size_t(height));
        return static_cast<HICON>(Table::Get().Add(std::move(icon)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" {

HBRUSH CreateSolidBrush(COLORREF color) {
    auto lock = Locked();
    try {
        return static_cast<HBRUSH>(Table::Get().Add(std::make_unique<Brush>(color & 0xFFFFFF)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
    auto lock = Locked();
    auto* brush = static_cast<Brush*>(Table::Get().Find(hbr, Kind::Brush));
    Bitmap* bm = SurfaceOf(hDC);
    if (brush == nullptr || bm == nullptr || lprc == nullptr)
        return 0;
    FillClipped(*bm, lprc->left, lprc->top, lprc->right, lprc->bottom, PixelFromColor(brush->color));
    return 1;
}

BOOL GetIconInfo(HICON hIcon, PICONINFO piconinfo) {
    auto lock = Locked();
    auto* icon = static_cast<Icon*>(Table::Get().Find(hIcon, Kind::Icon));
    if (icon == nullptr || piconinfo == nullptr)
        return FALSE;
    try {
        HBITMAP color = AddBitmap(icon->width, icon->height, 32);
        HBITMAP mask = nullptr;
        try {
            mask = AddBitmap(icon->width, icon->height, 1);
        } catch (const std::bad_alloc&) {
            Table::Get().Remove(color);
            throw;
        }
        auto* c = static_cast<Bitmap*>(Table::Get().Find(color, Kind::Bitmap));
        auto* m = static_cast<Bitmap*>(Table::Get().Find(mask, Kind::Bitmap));
        for (size_t i = 0; i < icon->argb.size(); ++i) {
            c->bits[i] = icon->argb[i] & 0xFFFFFF;
            m->bits[i] = (icon->argb[i] >> 24) == 0 ? 0xFFFFFF : 0;
        }
        *piconinfo = {TRUE, DWORD(icon->width / 2), DWORD(icon->height / 2), mask, color};
        return TRUE;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

BOOL DrawIconEx(HDC hdc, int xLeft, int yTop, HICON hIcon, int cxWidth, int cyWidth, UINT,
                HBRUSH hbrFlickerFreeDraw, UINT diFlags) {
    auto lock = Locked();
    auto* icon = static_cast<Icon*>(Table::Get().Find(hIcon, Kind::Icon));
    Bitmap* bm = SurfaceOf(hdc);
    if (icon == nullptr || bm == nullptr || (diFlags & DI_NORMAL) == 0)
        return FALSE;
    const LONG cx = cxWidth > 0 ? cxWidth : icon->width, cy = cyWidth > 0 ? cyWidth : icon->height;
    if (auto* brush = static_cast<Brush*>(Table::Get().Find(hbrFlickerFreeDraw, Kind::Brush)))
        FillClipped(*bm, xLeft, yTop, LONGLONG(xLeft) + cx, LONGLONG(yTop) + cy,
                    PixelFromColor(brush->color));
    const bool useMask = (diFlags & DI_MASK) != 0, useImage = (diFlags & DI_IMAGE) != 0;
    for (LONG y = 0; y < cy; ++y) {
        const LONGLONG ty = LONGLONG(yTop) + y;
        if (ty < 0 || ty >= bm->height)
            continue;
        const DWORD* row = icon->argb.data() + size_t(LONGLONG(y) * icon->height / cy) * size_t(icon->width);
        DWORD* out = bm->Row(LONG(ty));
        for (LONG x = 0; x < cx; ++x) {
            const LONGLONG tx = LONGLONG(xLeft) + x;
            if (tx < 0 || tx >= bm->width)
                continue;
            const DWORD p = row[LONGLONG(x) * icon->width / cx];
            DWORD alpha = useMask ? p >> 24 : 255;
            if (!useImage) { // the mask alone: black where the icon is opaque
                if (alpha != 0)
                    out[tx] = 0;
                continue;
            }
            const DWORD d = out[tx];
            DWORD result = 0;
            for (int shift = 0; shift < 24; shift += 8) {
                DWORD s = p >> shift & 0xFF, b = d >> shift & 0xFF;
                result |= ((s * alpha + b * (255 - alpha) + 127) / 255) << shift;
            }
            out[tx] =
                bm->bitsPixel == 1
                    ? ((result >> 16 & 0xFF) + (result >> 8 & 0xFF) + (result & 0xFF) >= 384 ? 0xFFFFFF : 0)
                    : result;
        }
    }
    return TRUE;
}

BOOL DestroyIcon(HICON hIcon) {
    auto lock = Locked();
    if (Table::Get().Find(hIcon, Kind::Icon) == nullptr)
        return FALSE;
    Table::Get().Remove(hIcon);
    return TRUE;
}

} // extern "C"
