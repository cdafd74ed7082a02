// The handle table behind the GDI layer: what a handle stands for, and how handles are made, found and
// retired. Internal to the platform library.
#pragma once

#include "platform/tarnel/own.h"
#include "wingdi.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tarnel::gdi {

enum class Kind { Bitmap, DC, Brush, Icon };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    bool stock = false;
};

// A surface of pixels, stored as 0x00RRGGBB (BGRX bytes in memory), rows top-down. A monochrome bitmap
// keeps the same storage but holds only black and white.
struct Bitmap : Object {
    Bitmap(LONG w, LONG h, WORD bpp) : Object(Kind::Bitmap), width(w), height(h), bitsPixel(bpp) {}
    LONG width;
    LONG height;
    WORD bitsPixel;          // 1 or 32
    std::vector<DWORD> bits; // width * height
    HDC selectedIn = nullptr;
    DWORD* Row(LONG y) { return bits.data() + size_t(y) * size_t(width); }
};

struct DCState {
    HBITMAP bitmap;
    COLORREF bkColor;
    COLORREF textColor;
    int stretchMode;
};

struct DC : Object {
    explicit DC(bool isScreen) : Object(Kind::DC), screen(isScreen) {}
    bool screen;
    DCState state{};
    std::vector<DCState> saved;
};

struct Brush : Object {
    explicit Brush(COLORREF c) : Object(Kind::Brush), color(c) {}
    COLORREF color;
};

// An icon: straight (not premultiplied) 0xAARRGGBB pixels, rows top-down; the hot spot is its centre.
struct Icon : Object {
    Icon(LONG w, LONG h) : Object(Kind::Icon), width(w), height(h) {}
    LONG width;
    LONG height;
    std::vector<DWORD> argb;
};

// Adds an icon made of width x height straight-alpha pixels to the table; null when out of memory or when
// the size is not that of a sensible icon.
TARNEL_API HICON CreateIconFromArgb(LONG width, LONG height, const DWORD* argb);

// The table: one lock around every lookup and change. Handles are never reused.
class Table {
public:
    static Table& Get();
    std::mutex& Lock() { return m_lock; }
    // All of the following expect the lock to be held.
    void* Add(std::unique_ptr<Object> obj);
    Object* Find(const void* handle, Kind kind);
    Object* Find(const void* handle);
    void Remove(const void* handle);
    LONG Count(Kind kind) const;
    HBITMAP StockBitmap();

private:
    std::mutex m_lock;
    std::vector<std::pair<uintptr_t, std::unique_ptr<Object>>> m_objects; // sorted by handle
    uintptr_t m_next = 0x10000;
    HBITMAP m_stockBitmap = nullptr;
};

// 0x00BBGGRR <-> stored 0x00RRGGBB
inline DWORD PixelFromColor(COLORREF c) {
    return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
}
inline COLORREF ColorFromPixel(DWORD p) {
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

} // namespace tarnel::gdi
