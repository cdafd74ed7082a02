#include "platform/tarnel/gdicounts.h"
#include "platform/tarnel/gdiobj.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace tarnel::gdi {

Table& Table::Get() {
    static Table* table = new Table(); // never destroyed: handles may be released during process exit
    return *table;
}

void* Table::Add(std::unique_ptr<Object> obj) {
    uintptr_t h = m_next;
    m_next += 0x10;
    m_objects.emplace_back(h, std::move(obj)); // handles only grow, so the vector stays sorted
    return reinterpret_cast<void*>(h);
}

Object* Table::Find(const void* handle) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    auto it = std::lower_bound(m_objects.begin(), m_objects.end(), h,
                               [](const auto& entry, uintptr_t key) { return entry.first < key; });
    if (it == m_objects.end() || it->first != h)
        return nullptr;
    return it->second.get();
}

Object* Table::Find(const void* handle, Kind kind) {
    Object* obj = Find(handle);
    return obj != nullptr && obj->kind == kind ? obj : nullptr;
}

void Table::Remove(const void* handle) {
    uintptr_t h = reinterpret_cast<uintptr_t>(handle);
    auto it = std::lower_bound(m_objects.begin(), m_objects.end(), h,
                               [](const auto& entry, uintptr_t key) { return entry.first < key; });
    if (it != m_objects.end() && it->first == h)
        m_objects.erase(it);
}

LONG Table::Count(Kind kind) const {
    return LONG(std::count_if(m_objects.begin(), m_objects.end(), [kind](const auto& entry) {
        return entry.second->kind == kind && !entry.second->stock;
    }));
}

HBITMAP Table::StockBitmap() {
    if (m_stockBitmap == nullptr) {
        auto bm = std::make_unique<Bitmap>(1, 1, 1);
        bm->bits.assign(1, 0);
        bm->stock = true;
        m_stockBitmap = static_cast<HBITMAP>(Add(std::move(bm)));
    }
    return m_stockBitmap;
}

namespace {

std::unique_lock<std::mutex> Locked() {
    return std::unique_lock<std::mutex>(Table::Get().Lock());
}

DC* FindDC(HDC h) {
    return static_cast<DC*>(Table::Get().Find(h, Kind::DC));
}
Bitmap* FindBitmap(const void* h) {
    return static_cast<Bitmap*>(Table::Get().Find(h, Kind::Bitmap));
}

// The bitmap selected into a memory device context, or null for the screen and for unknown handles.
Bitmap* Surface(HDC h) {
    DC* dc = FindDC(h);
    if (dc == nullptr || dc->screen)
        return nullptr;
    Bitmap* bm = FindBitmap(dc->state.bitmap);
    return bm != nullptr && !bm->stock ? bm : nullptr; // the shared stock bitmap is never drawn on
}

DWORD Quantize(const Bitmap& bm, DWORD pixel) {
    if (bm.bitsPixel != 1)
        return pixel;
    unsigned sum = ((pixel >> 16) & 0xFF) + ((pixel >> 8) & 0xFF) + (pixel & 0xFF);
    return sum >= 3 * 128 ? 0xFFFFFF : 0;
}

// Clips the rectangle [x, x + cx) x [y, y + cy) to the surface.
bool Clip(const Bitmap& bm, LONGLONG& x, LONGLONG& y, LONGLONG& cx, LONGLONG& cy) {
    LONGLONG x2 = std::min<LONGLONG>(x + cx, bm.width), y2 = std::min<LONGLONG>(y + cy, bm.height);
    x = std::max<LONGLONG>(x, 0);
    y = std::max<LONGLONG>(y, 0);
    cx = x2 - x;
    cy = y2 - y;
    return cx > 0 && cy > 0;
}

void Fill(Bitmap& bm, LONGLONG x, LONGLONG y, LONGLONG cx, LONGLONG cy, DWORD pixel) {
    if (!Clip(bm, x, y, cx, cy))
        return;
    pixel = Quantize(bm, pixel);
    for (LONGLONG row = y; row < y + cy; ++row)
        std::fill_n(bm.Row(LONG(row)) + x, cx, pixel);
}

} // namespace
} // namespace tarnel::gdi

using namespace tarnel::gdi;

extern "C" {

HWND GetDesktopWindow(void) {
    return reinterpret_cast<HWND>(uintptr_t(0x10010));
}

HDC GetDC(HWND hWnd) {
    if (hWnd != nullptr && hWnd != GetDesktopWindow())
        return nullptr;
    auto lock = Locked();
    try {
        return static_cast<HDC>(Table::Get().Add(std::make_unique<DC>(true)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int ReleaseDC(HWND, HDC hDC) {
    auto lock = Locked();
    DC* dc = FindDC(hDC);
    if (dc == nullptr || !dc->screen)
        return 0;
    Table::Get().Remove(hDC);
    return 1;
}

HDC CreateCompatibleDC(HDC hdc) {
    auto lock = Locked();
    if (hdc != nullptr && FindDC(hdc) == nullptr)
        return nullptr;
    try {
        auto dc = std::make_unique<DC>(false);
        dc->state = {Table::Get().StockBitmap(), RGB(255, 255, 255), RGB(0, 0, 0), BLACKONWHITE};
        return static_cast<HDC>(Table::Get().Add(std::move(dc)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

BOOL DeleteDC(HDC hdc) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr || dc->screen)
        return FALSE;
    // The bitmap that is still selected is released from the context, not deleted.
    if (Bitmap* bm = FindBitmap(dc->state.bitmap); bm != nullptr && !bm->stock)
        bm->selectedIn = nullptr;
    Table::Get().Remove(hdc);
    return TRUE;
}

int GetDeviceCaps(HDC hdc, int index) {
    auto lock = Locked();
    if (FindDC(hdc) == nullptr)
        return 0;
    switch (index) {
    case BITSPIXEL:
        return 32;
    case PLANES:
        return 1;
    case HORZRES:
        return 1920;
    case VERTRES:
        return 1080;
    default:
        return 0;
    }
}

int SaveDC(HDC hdc) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return 0;
    try {
        dc->saved.push_back(dc->state);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return int(dc->saved.size());
}

BOOL RestoreDC(HDC hdc, int nSavedDC) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return FALSE;
    int depth = int(dc->saved.size());
    int index = nSavedDC < 0 ? depth + nSavedDC : nSavedDC - 1;
    if (index < 0 || index >= depth)
        return FALSE;
    DCState target = dc->saved[size_t(index)];
    dc->saved.resize(size_t(index));
    if (target.bitmap != dc->state.bitmap) {
        if (Bitmap* current = FindBitmap(dc->state.bitmap); current != nullptr && !current->stock)
            current->selectedIn = nullptr;
        Bitmap* restored = FindBitmap(target.bitmap);
        if (restored == nullptr) // deleted meanwhile: fall back to the stock bitmap
            target.bitmap = Table::Get().StockBitmap();
        else if (!restored->stock)
            restored->selectedIn = hdc;
    }
    dc->state = target;
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
    if (cx <= 0 || cy <= 0 || cx > kMaxBitmapSide || cy > kMaxBitmapSide ||
        LONGLONG(cx) * LONGLONG(cy) > kMaxBitmapPixels)
        return nullptr;
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return nullptr;
    WORD bpp = 32;
    if (!dc->screen) {
        Bitmap* selected = FindBitmap(dc->state.bitmap);
        bpp = selected != nullptr ? selected->bitsPixel : 32;
    }
    try {
        auto bm = std::make_unique<Bitmap>(cx, cy, bpp);
        bm->bits.assign(size_t(cx) * size_t(cy), 0);
        return static_cast<HBITMAP>(Table::Get().Add(std::move(bm)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    Bitmap* bm = FindBitmap(h);
    if (dc == nullptr || dc->screen || bm == nullptr)
        return nullptr;
    if (!bm->stock && bm->selectedIn != nullptr && bm->selectedIn != hdc)
        return nullptr; // a bitmap can be selected into one memory context at a time
    HBITMAP previous = dc->state.bitmap;
    if (Bitmap* old = FindBitmap(previous); old != nullptr && !old->stock)
        old->selectedIn = nullptr;
    if (!bm->stock)
        bm->selectedIn = hdc;
    dc->state.bitmap = static_cast<HBITMAP>(h);
    return previous;
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr || type != OBJ_BITMAP || dc->screen)
        return nullptr;
    return dc->state.bitmap;
}

BOOL DeleteObject(HGDIOBJ ho) {
    auto lock = Locked();
    Object* obj = Table::Get().Find(ho);
    if (obj == nullptr || obj->kind == Kind::DC || obj->kind == Kind::Icon)
        return FALSE; // contexts and icons have their own release
    if (obj->stock)
        return TRUE;
    if (obj->kind == Kind::Bitmap && static_cast<Bitmap*>(obj)->selectedIn != nullptr)
        return FALSE; // still selected into a device context
    Table::Get().Remove(ho);
    return TRUE;
}

int GetObjectW(HGDIOBJ h, int c, LPVOID pv) {
    auto lock = Locked();
    Bitmap* bm = FindBitmap(h);
    if (bm == nullptr)
        return 0;
    if (pv == nullptr)
        return int(sizeof(BITMAP));
    if (c < int(sizeof(BITMAP)))
        return 0;
    BITMAP info{};
    info.bmWidth = bm->width;
    info.bmHeight = bm->height;
    info.bmWidthBytes = ((bm->width * bm->bitsPixel + 15) / 16) * 2;
    info.bmPlanes = 1;
    info.bmBitsPixel = bm->bitsPixel;
    std::memcpy(pv, &info, sizeof info);
    return int(sizeof(BITMAP));
}

DWORD GetObjectType(HGDIOBJ h) {
    auto lock = Locked();
    Object* obj = Table::Get().Find(h);
    if (obj == nullptr)
        return 0;
    switch (obj->kind) {
    case Kind::Bitmap:
        return OBJ_BITMAP;
    case Kind::Brush:
        return OBJ_BRUSH;
    case Kind::DC:
        return static_cast<DC*>(obj)->screen ? OBJ_DC : OBJ_MEMDC;
    default:
        return 0;
    }
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return CLR_INVALID;
    return std::exchange(dc->state.bkColor, color);
}

COLORREF GetBkColor(HDC hdc) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    return dc == nullptr ? CLR_INVALID : dc->state.bkColor;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return CLR_INVALID;
    return std::exchange(dc->state.textColor, color);
}

COLORREF GetTextColor(HDC hdc) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    return dc == nullptr ? CLR_INVALID : dc->state.textColor;
}

// Only the opaque rectangle is drawn: this layer has no fonts, and the system draws no text.
BOOL ExtTextOutW(HDC hdc, int, int, UINT options, const RECT* lprect, LPCWSTR, UINT, const INT*) {
    auto lock = Locked();
    DC* dc = FindDC(hdc);
    if (dc == nullptr)
        return FALSE;
    Bitmap* bm = Surface(hdc);
    if (bm == nullptr || (options & ETO_OPAQUE) == 0 || lprect == nullptr)
        return TRUE;
    LONGLONG l = std::min(lprect->left, lprect->right), r = std::max(lprect->left, lprect->right);
    LONGLONG t = std::min(lprect->top, lprect->bottom), b = std::max(lprect->top, lprect->bottom);
    Fill(*bm, l, t, r - l, b - t, PixelFromColor(dc->state.bkColor));
    return TRUE;
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
    auto lock = Locked();
    DC* dst = FindDC(hdc);
    Bitmap* to = Surface(hdc);
    if (dst == nullptr || to == nullptr)
        return FALSE;
    if (rop == BLACKNESS || rop == WHITENESS) {
        Fill(*to, x, y, cx, cy, rop == BLACKNESS ? 0 : 0xFFFFFF);
        return TRUE;
    }
    DC* srcDC = FindDC(hdcSrc);
    Bitmap* from = Surface(hdcSrc);
    if (rop != SRCCOPY || srcDC == nullptr || from == nullptr)
        return FALSE;
    if (cx <= 0 || cy <= 0)
        return TRUE;
    // Only pixels that exist in both surfaces are copied; the rest of the target stays as it was.
    LONGLONG sx = x1, sy = y1, w = cx, h = cy;
    LONGLONG dx = x, dy = y;
    LONGLONG shiftX = std::max<LONGLONG>({0, -sx, -dx}), shiftY = std::max<LONGLONG>({0, -sy, -dy});
    sx += shiftX, dx += shiftX, w -= shiftX;
    sy += shiftY, dy += shiftY, h -= shiftY;
    w = std::min({w, LONGLONG(from->width) - sx, LONGLONG(to->width) - dx});
    h = std::min({h, LONGLONG(from->height) - sy, LONGLONG(to->height) - dy});
    if (w <= 0 || h <= 0)
        return TRUE;
    const DWORD srcBk = PixelFromColor(srcDC->state.bkColor);
    const DWORD dstFore = PixelFromColor(dst->state.textColor), dstBack = PixelFromColor(dst->state.bkColor);
    std::vector<DWORD> row(size_t(w), 0);
    auto copyRow = [&](LONGLONG r) {
        std::copy_n(from->Row(LONG(sy + r)) + sx, w, row.begin());
        for (DWORD& p : row) {
            if (from->bitsPixel == 1 && to->bitsPixel != 1)
                p = p != 0 ? dstBack
                           : dstFore; // monochrome to colour: 0 takes the text colour, 1 the background
            else if (from->bitsPixel != 1 && to->bitsPixel == 1)
                p = (p & 0xFFFFFF) == srcBk
                        ? 0xFFFFFF
                        : 0; // colour to monochrome: the source's background becomes white
        }
        std::copy(row.begin(), row.end(), to->Row(LONG(dy + r)) + dx);
    };
    // Rows are copied in the order that keeps an overlapping copy within one surface correct.
    if (from == to && dy > sy)
        for (LONGLONG r = h - 1; r >= 0; --r)
            copyRow(r);
    else
        for (LONGLONG r = 0; r < h; ++r)
            copyRow(r);
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
    auto lock = Locked();
    Bitmap* bm = Surface(hdc);
    if (bm == nullptr || x < 0 || y < 0 || x >= bm->width || y >= bm->height)
        return CLR_INVALID;
    return ColorFromPixel(bm->Row(y)[x]);
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
    auto lock = Locked();
    Bitmap* bm = Surface(hdc);
    if (bm == nullptr || x < 0 || y < 0 || x >= bm->width || y >= bm->height)
        return CLR_INVALID;
    DWORD p = Quantize(*bm, PixelFromColor(color));
    bm->Row(y)[x] = p;
    return ColorFromPixel(p);
}

DWORD GetSysColor(int nIndex) {
    switch (nIndex) {
    case COLOR_BTNHIGHLIGHT:
    case COLOR_WINDOW:
        return RGB(255, 255, 255);
    case COLOR_BTNSHADOW:
        return RGB(160, 160, 160);
    case COLOR_BTNFACE:
        return RGB(240, 240, 240);
    case COLOR_BTNTEXT:
    case COLOR_WINDOWTEXT:
        return RGB(0, 0, 0);
    default:
        return 0;
    }
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT usage) {
    auto lock = Locked();
    Bitmap* bm = FindBitmap(hbm);
    if (FindDC(hdc) == nullptr || bm == nullptr || lpbmi == nullptr || usage != DIB_RGB_COLORS)
        return 0;
    BITMAPINFOHEADER& hdr = lpbmi->bmiHeader;
    if (hdr.biSize < sizeof(BITMAPINFOHEADER))
        return 0;
    if (lpvBits == nullptr) { // the caller asks for the bitmap's format
        hdr.biWidth = bm->width;
        hdr.biHeight = bm->height;
        hdr.biPlanes = 1;
        hdr.biBitCount = 32;
        hdr.biCompression = BI_RGB;
        hdr.biSizeImage = DWORD(bm->width) * DWORD(bm->height) * 4;
        return bm->height;
    }
    if ((hdr.biBitCount != 32 && hdr.biBitCount != 24) || hdr.biCompression != BI_RGB || hdr.biWidth <= 0 ||
        hdr.biHeight == 0 || hdr.biHeight == LONG(0x80000000))
        return 0;
    const bool topDown = hdr.biHeight < 0;
    const LONGLONG height = topDown ? -LONGLONG(hdr.biHeight) : hdr.biHeight;
    const size_t stride = ((size_t(hdr.biWidth) * hdr.biBitCount + 31) / 32) * 4;
    const LONG copyWidth = std::min(hdr.biWidth, bm->width);
    int copied = 0;
    for (UINT i = 0; i < cLines; ++i) {
        LONGLONG scan = LONGLONG(start) + i; // scan 0 is the bottom row of a bottom-up picture
        if (scan >= height)
            break;
        LONGLONG y = topDown ? scan : height - 1 - scan;
        BYTE* out = static_cast<BYTE*>(lpvBits) + size_t(i) * stride;
        std::memset(out, 0, stride);
        if (y < bm->height) {
            const DWORD* in = bm->Row(LONG(y));
            for (LONG x = 0; x < copyWidth; ++x) {
                DWORD p = in[x];
                BYTE* o = out + size_t(x) * (hdr.biBitCount / 8);
                o[0] = BYTE(p), o[1] = BYTE(p >> 8), o[2] = BYTE(p >> 16);
                if (hdr.biBitCount == 32)
                    o[3] = BYTE(p >> 24); // the unused byte, as it was set
            }
        }
        ++copied;
    }
    return copied;
}

int SetDIBits(HDC, HBITMAP hbm, UINT start, UINT cLines, const void* lpBits, const BITMAPINFO* lpbmi,
              UINT ColorUse) {
    auto lock = Locked();
    Bitmap* bm = FindBitmap(hbm);
    if (bm == nullptr || lpBits == nullptr || lpbmi == nullptr || ColorUse != DIB_RGB_COLORS)
        return 0;
    const BITMAPINFOHEADER& hdr = lpbmi->bmiHeader;
    if ((hdr.biBitCount != 32 && hdr.biBitCount != 24) || hdr.biCompression != BI_RGB || hdr.biWidth <= 0 ||
        hdr.biHeight == 0 || hdr.biHeight == LONG(0x80000000))
        return 0;
    const bool topDown = hdr.biHeight < 0;
    const LONGLONG height = topDown ? -LONGLONG(hdr.biHeight) : hdr.biHeight;
    const size_t stride = ((size_t(hdr.biWidth) * hdr.biBitCount + 31) / 32) * 4;
    const LONG copyWidth = std::min(hdr.biWidth, bm->width);
    int copied = 0;
    for (UINT i = 0; i < cLines; ++i) {
        LONGLONG scan = LONGLONG(start) + i;
        if (scan >= height)
            break;
        LONGLONG y = topDown ? scan : height - 1 - scan;
        ++copied;
        if (y >= bm->height)
            continue;
        const BYTE* in = static_cast<const BYTE*>(lpBits) + size_t(i) * stride;
        DWORD* out = bm->Row(LONG(y));
        for (LONG x = 0; x < copyWidth; ++x) {
            const BYTE* p = in + size_t(x) * (hdr.biBitCount / 8);
            // At 32 bits the byte that colours leave unused is kept, as Windows keeps it in a 32-bit bitmap.
            const DWORD unused = hdr.biBitCount == 32 && bm->bitsPixel != 1 ? DWORD(p[3]) << 24 : 0;
            out[x] = Quantize(*bm, unused | (DWORD(p[2]) << 16) | (DWORD(p[1]) << 8) | p[0]);
        }
    }
    return copied;
}

} // extern "C"

void tarnel::gdi::GetObjectCounts(ObjectCounts* counts) {
    if (counts == nullptr)
        return;
    auto lock = Locked();
    const Table& t = Table::Get();
    *counts = {t.Count(Kind::Bitmap), t.Count(Kind::DC), t.Count(Kind::Brush), t.Count(Kind::Icon)};
}
