// Device-independent bitmaps as GDI reads them: a packed header (core, info, V4 or V5), its colour masks or
// colour table, and bits of 1, 4, 8, 16, 24 or 32 bits a pixel, uncompressed, with bit fields, or run-length
// encoded (RLE4, RLE8), rows bottom-up or top-down. StretchDIBits draws every such picture; the decoding to
// 32-bit pixels is here so that tests and fuzz targets can reach it alone.
// Internal to the suite: the platform library uses it.
#pragma once

#include "wingdi.h"

#include <cstddef>
#include <cstdint>

namespace tarnel::gdi {

// What a packed DIB's header says, whatever kind of header it is.
struct DibFormat {
    LONG width = 0;
    LONG height = 0; // always positive: topDown says the order of the rows
    bool topDown = false;
    int bitCount = 0;
    DWORD compression = BI_RGB;
    DWORD sizeImage = 0;              // the run codes' length in bytes, for RLE4 and RLE8
    const uint8_t* colours = nullptr; // the colour table: colourCount entries of colourSize bytes, B, G, R
    DWORD colourCount = 0;
    int colourSize = 4;
    DWORD masks[3] = {}; // red, green and blue, for 16 and 32 bits a pixel
};

// Reads the header of the packed DIB at info. False for a header or format that GDI does not draw: an unknown
// header size or compression, a bit count that the compression does not take, a side of zero, or rows
// top-down with run-length codes.
TARNEL_API bool ReadDibFormat(const BITMAPINFO* info, DibFormat& format);

// The bytes of one row of uncompressed bits, DWORD-aligned.
inline size_t DibStride(const DibFormat& format) {
    return (size_t(format.width) * size_t(format.bitCount) + 31) / 32 * 4;
}

// Decodes the bits into out: width x height pixels 0x00RRGGBB, rows top-down. Uncompressed bits must hold
// every row; run codes are read no further than sizeImage bytes, and pixels they do not set, or set past a
// row's end, are black or dropped. A colour index past the table is black.
TARNEL_API void DecodeDib(const DibFormat& format, const void* bits, DWORD* out);

} // namespace tarnel::gdi
