// A bitmap's pixels read back through GetDIBits, for tests that look at what was drawn.
#pragma once

#include "wingdi.h"

#include <cstdint>
#include <vector>

namespace testutil {

// Pixels as 0xRRGGBB, rows top-down.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint32_t> px;
    uint32_t At(int x, int y) const { return px[size_t(y) * size_t(width) + size_t(x)]; }
};

inline Picture ReadBitmap(HBITMAP h) {
    Picture p;
    BITMAP bm{};
    ::GetObjectW(h, sizeof bm, &bm);
    p.width = bm.bmWidth, p.height = bm.bmHeight;
    p.px.resize(size_t(p.width) * size_t(p.height));
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), p.width, -p.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = ::GetDC(nullptr);
    ::GetDIBits(screen, h, 0, UINT(p.height), p.px.data(), &bmi, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    for (uint32_t& v : p.px)
        v &= 0xFFFFFF;
    return p;
}

} // namespace testutil
