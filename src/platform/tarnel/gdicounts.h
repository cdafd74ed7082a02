// What the GDI stand-in counts and how far it goes: tests compare the live objects before and after each
// path, and the bitmap limits bound what one picture may cost.
#pragma once

#include "platform/tarnel/own.h"
#include "windef.h"

namespace tarnel::gdi {

// Live objects of each kind made through the GDI functions (stock objects are not counted).
struct ObjectCounts {
    LONG bitmaps;
    LONG dcs;
    LONG brushes;
    LONG icons;
};

TARNEL_API void GetObjectCounts(ObjectCounts* counts);

// Largest bitmap CreateCompatibleBitmap makes: 16384 pixels a side and 64 Mi pixels in all (256 MiB).
constexpr LONG kMaxBitmapSide = 16384;
constexpr LONGLONG kMaxBitmapPixels = 64LL * 1024 * 1024;

} // namespace tarnel::gdi
