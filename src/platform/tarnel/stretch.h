// Drawing pixels that lie in memory in other layouts than a 32-bit DIB (a decoder's RGB rows, say) at
// another size, with the same filters as StretchDIBits, so that they need not be copied into a DIB first.
// Internal to the suite: the platform library and the bitmap helper library use it.
#pragma once

#include "wingdi.h"

#include <cstddef>
#include <cstdint>

namespace tarnel::gdi {

// A picture's pixels in memory. Row y (top-down) starts at top + y * stride; a picture stored bottom-up has
// a negative stride. A pixel is bytesPerPixel bytes (3 or 4): red, green and blue in that order when rgb is
// set, else blue, green and red, and a fourth byte, when there is one, that is ignored.
struct PixelRows {
    const uint8_t* top;
    ptrdiff_t stride;
    LONG width;
    LONG height;
    int bytesPerPixel;
    bool rgb;
};

// Draws the whole picture into the bitmap selected in hdc, scaled to the rectangle at (xDest, yDest) of
// DestWidth x DestHeight, as StretchDIBits does with SRCCOPY: in HALFTONE mode each pixel is the average of
// the area it covers, in the other modes the nearest pixel. DestHeight on success, else 0.
TARNEL_API int StretchPixelRows(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight,
                                const PixelRows& source);

} // namespace tarnel::gdi
