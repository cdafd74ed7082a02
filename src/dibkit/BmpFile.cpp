#include "dibkit/BmpFile.h"

#include "afxfile.h"
#include "dibkit/dibkit.h"

#include <bit>

namespace dibkit {

namespace {

constexpr size_t kMaxFileSize = 64 * 1024 * 1024;

uint32_t Le32(const BYTE* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Le16(const BYTE* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

// Whether an RLE stream starting at pos ends (end-of-picture code, or all rows ended) within the data.
bool RleComplete(std::span<const BYTE> data, size_t pos, LONGLONG rows, bool four) {
    LONGLONG rowsEnded = 0;
    while (pos + 2 <= data.size()) {
        const BYTE count = data[pos], code = data[pos + 1];
        pos += 2;
        if (count != 0)
            continue; // a run of count pixels
        if (code == 1)
            return true; // end of picture
        if (code == 0) {
            if (++rowsEnded >= rows)
                return true;
        } else if (code == 2) {
            pos += 2; // move by dx, dy
        } else {
            size_t bytes = four ? (size_t(code) + 1) / 2 : code; // literal pixels, padded to 16 bits
            pos += bytes + (bytes & 1);
        }
    }
    return false;
}

// Whether the bit fields' masks, at the same place after every header that has them, follow GDI's rule:
// each mask's bits contiguous and within the pixel's bits, no bit in two masks, and not all of them 0.
// Other masks are no format GDI draws.
bool MasksValid(std::span<const BYTE> data, uint32_t bpp) {
    uint32_t masks[3];
    for (int i = 0; i < 3; ++i) {
        masks[i] = Le32(data.data() + 14 + 40 + 4 * i);
        if (bpp < 32 && (masks[i] >> bpp) != 0)
            return false;
        const uint32_t m = masks[i] == 0 ? 0 : masks[i] >> std::countr_zero(masks[i]);
        if ((m & (m + 1)) != 0)
            return false;
    }
    return (masks[0] | masks[1] | masks[2]) != 0 && (masks[0] & masks[1]) == 0 &&
           (masks[0] & masks[2]) == 0 && (masks[1] & masks[2]) == 0;
}

// The colour table's place, as the header declares it: its first byte, and its entries' count and size.
struct ColourTable {
    ULONGLONG start, entries;
    uint32_t entrySize;
};
ColourTable DeclaredTable(std::span<const BYTE> data, uint32_t headerSize, uint32_t bpp,
                          uint32_t compression) {
    const bool core = headerSize == 12;
    ULONGLONG entries = core ? 0 : Le32(data.data() + 14 + 32);
    if (entries == 0 && bpp <= 8)
        entries = ULONGLONG(1) << bpp;
    const ULONGLONG start =
        14 + ULONGLONG(headerSize) + (compression == BI_BITFIELDS && headerSize == 40 ? 12 : 0);
    return {start, entries, core ? 3u : 4u};
}

// Whether the colour table that the header declares lies within the file. It follows the header (and the
// three masks of a 40-byte header with bit fields); its size is the header's colour count, or for pictures
// of 8 bits or fewer, when that count is 0, one entry for each value a pixel can take. Pictures of more bits
// may carry a table too, which the decoder passes over. A count that no file could hold would otherwise have
// the decoder allocate a palette of gigabytes. Where the pixels begin inside the table, the table is taken to
// end there (ColoursBeforeBits), so long as at least one colour, and for the core header all of them, lie
// before them.
bool ColourTableFits(std::span<const BYTE> data, uint32_t headerSize, uint32_t bpp, uint32_t compression,
                     size_t offBits) {
    const ColourTable t = DeclaredTable(data, headerSize, bpp, compression);
    if (t.start + t.entries * t.entrySize > data.size())
        return false;
    if (bpp > 8 || t.start + t.entries * t.entrySize <= offBits)
        return true;
    return headerSize != 12 && t.start + t.entrySize <= offBits;
}

} // namespace

DWORD ColoursBeforeBits(std::span<const BYTE> data) {
    const uint32_t headerSize = Le32(data.data() + 14);
    const uint32_t bpp = Le16(data.data() + 14 + 14), compression = Le32(data.data() + 14 + 16);
    if (headerSize == 12 || bpp > 8)
        return 0;
    const ColourTable t = DeclaredTable(data, headerSize, bpp, compression);
    const ULONGLONG offBits = Le32(data.data() + 10);
    return t.start + t.entries * t.entrySize > offBits ? DWORD((offBits - t.start) / t.entrySize) : 0;
}

bool PlausibleBmp(std::span<const BYTE> data) {
    if (data.size() < 14 + 12 || data[0] != 'B' || data[1] != 'M')
        return false;
    const BYTE* info = data.data() + 14;
    const uint32_t headerSize = Le32(info);
    const size_t offBits = Le32(data.data() + 10);
    LONGLONG width, height;
    uint32_t bpp, compression = BI_RGB;
    bool topDown = false;
    if (headerSize == 12) { // the OS/2 core header
        width = Le16(info + 4);
        height = Le16(info + 6);
        bpp = Le16(info + 10);
    } else if ((headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 64 ||
                headerSize == 108 || headerSize == 124) &&
               data.size() >= 14 + size_t(headerSize)) {
        width = int32_t(Le32(info + 4));
        height = int32_t(Le32(info + 8));
        bpp = Le16(info + 14);
        compression = Le32(info + 16);
        topDown = height < 0;
        if (topDown)
            height = -height;
    } else {
        return false;
    }
    // One plane, as every DIB has.
    if (Le16(info + (headerSize == 12 ? 8 : 12)) != 1)
        return false;
    if (width <= 0 || height <= 0 || width > CDIB::kMaxSide || height > CDIB::kMaxSide ||
        width * height > CDIB::kMaxPixels || offBits < 14 + size_t(headerSize) || offBits > data.size())
        return false;
    if (!ColourTableFits(data, headerSize, bpp, compression, offBits))
        return false;
    const LONGLONG stride = ((width * bpp + 31) / 32) * 4;
    const bool rowsFit = LONGLONG(offBits) + stride * height <= LONGLONG(data.size());
    // The formats GDI draws; run codes only bottom-up. OS/2's second header numbers its Huffman coding as
    // others number bit fields.
    switch (compression) {
    case BI_RGB:
        return (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32) && rowsFit;
    case BI_BITFIELDS:
        return (bpp == 16 || bpp == 32) && headerSize != 64 && rowsFit && MasksValid(data, bpp);
    case BI_RLE8:
        return bpp == 8 && !topDown && RleComplete(data, offBits, height, false);
    case BI_RLE4:
        return bpp == 4 && !topDown && RleComplete(data, offBits, height, true);
    default:
        return false;
    }
}

bool ReadWholeFile(LPCWSTR lpszPath, FileBytes& data) {
    try {
        CFile file(lpszPath, CFile::modeRead | CFile::typeBinary | CFile::shareDenyWrite);
        ULONGLONG length = file.GetLength();
        if (length > kMaxFileSize)
            return false;
        data.buffer.reset(new BYTE[size_t(length)]);
        data.size = file.Read(data.buffer.get(), UINT(length));
        file.Close();
        return true;
    } catch (CFileException* e) {
        e->Delete();
        return false;
    }
}

HBITMAP StretchToNewBitmap(const BITMAPINFO* info, const void* bits, DWORD nSourceWidth, DWORD nSourceHeight,
                           DWORD nWidth, DWORD nHeight) {
    CClientDC screen(nullptr);
    CCompatibleDC memDC(&screen);
    CCompatibleBitmap bitmap(&screen, int(nWidth), int(nHeight));
    if (bitmap.m_hObject == nullptr)
        return nullptr;
    {
        CDCRestorer restorer(&memDC);
        memDC.SelectObject(&bitmap);
        ::SetStretchBltMode(memDC, HALFTONE);
        if (::StretchDIBits(memDC, 0, 0, int(nWidth), int(nHeight), 0, 0, int(nSourceWidth),
                            int(nSourceHeight), bits, info, DIB_RGB_COLORS, SRCCOPY) == 0)
            return nullptr;
    }
    return static_cast<HBITMAP>(bitmap.Detach());
}

} // namespace dibkit
