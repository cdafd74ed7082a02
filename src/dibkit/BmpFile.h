// What dibkit checks of a BMP file before any decoder sees it, on both platforms: that it is whole, that
// it is a BMP of a size a bitmap may have, and that all of its pixel data is present.
#pragma once

#include "afxwin.h"

#include <memory>
#include <span>

namespace dibkit {

// A file's bytes, in a buffer that is not cleared first: the read fills all of it that is kept.
struct FileBytes {
    std::unique_ptr<BYTE[]> buffer;
    size_t size = 0;
    std::span<const BYTE> Bytes() const { return {buffer.get(), size}; }
};

// Reads the whole file; false when it cannot be read or is larger than any picture we decode.
bool ReadWholeFile(LPCWSTR lpszPath, FileBytes& data);

// Checks the headers before decoding: a BMP, no larger than a bitmap may be, and with all of its pixel
// data present. A decoder would otherwise be handed a header that promises billions of pixels, or give a
// picture with rows missing from a truncated file.
bool PlausibleBmp(std::span<const BYTE> data);

// For a BMP that PlausibleBmp took, of 8 bits a pixel or fewer with an info header whose colour table, as
// its header declares it, runs into the pixels: how many of its colours lie before them. 0 for any other
// such file; the caller has checked it (it is not checked again).
DWORD ColoursBeforeBits(std::span<const BYTE> data);

// A new screen-compatible bitmap of nWidth x nHeight with the packed picture (info, bits) drawn over all of
// it, at its new size with HALFTONE: each pixel the average of the area it covers. Null on failure.
HBITMAP StretchToNewBitmap(const BITMAPINFO* info, const void* bits, DWORD nSourceWidth, DWORD nSourceHeight,
                           DWORD nWidth, DWORD nHeight);

} // namespace dibkit
