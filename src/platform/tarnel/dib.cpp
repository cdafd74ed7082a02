// Reading device-independent bitmaps: every header kind and pixel format that GDI draws, decoded to 32-bit
// pixels.
#include "platform/tarnel/dib.h"

#include <bit>
#include <cstring>

namespace {

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

constexpr size_t kCoreHeader = 12;  // BITMAPCOREHEADER
constexpr size_t kInfoHeader = 40;  // BITMAPINFOHEADER
constexpr size_t kOs2V2Header = 64; // OS/2's second header, whose compression numbers mean other things

bool KnownHeaderSize(size_t size) {
    // The info header, with its masks inside (52, 56), OS/2's second header, V4 and V5.
    return size == kInfoHeader || size == 52 || size == 56 || size == kOs2V2Header || size == 108 ||
           size == 124;
}

// One channel of a bit-field pixel, scaled to eight bits: a field of fewer bits repeats its bits below
// itself (five bits 11111 become 11111111), so that its largest value is 255 and its smallest 0.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (m == 0)
            return;
        shift = std::countr_zero(m);
        bits = 32 - std::countl_zero(m) - shift;
    }
    uint32_t Get(uint32_t pixel) const {
        if (bits == 0)
            return 0;
        const uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8)
            return v >> (bits - 8);
        const uint32_t top = v << (8 - bits);
        uint32_t r = top;
        for (int s = bits; s < 8; s += bits)
            r |= top >> s;
        return r;
    }
};

// GDI's rule for bit fields: each mask's bits are contiguous, within the pixel's bits, and no two masks
// share a bit; and masks that are all 0 keep no colour at all.
bool ValidMasks(const DWORD (&masks)[3], int bitCount) {
    const DWORD pixel = bitCount >= 32 ? ~DWORD(0) : (DWORD(1) << bitCount) - 1;
    for (DWORD m : masks)
        if ((m & ~pixel) != 0)
            return false;
    for (DWORD m : masks)
        if (m != 0 && ((m >> std::countr_zero(m)) & ((m >> std::countr_zero(m)) + 1)) != 0)
            return false;
    return (masks[0] | masks[1] | masks[2]) != 0 && (masks[0] & masks[1]) == 0 &&
           (masks[0] & masks[2]) == 0 && (masks[1] & masks[2]) == 0;
}

DWORD Colour(const tarnel::gdi::DibFormat& f, uint32_t index) {
    if (index >= f.colourCount)
        return 0;
    const uint8_t* c = f.colours + size_t(index) * size_t(f.colourSize);
    return DWORD(c[2]) << 16 | DWORD(c[1]) << 8 | c[0];
}

} // namespace

// The decoders of each kind of bits, named for the fuzz targets' coverage gates.
namespace tarnel::gdi::decode {

void Rows(const DibFormat& f, const uint8_t* bits, DWORD* out) {
    const size_t stride = DibStride(f);
    const size_t width = size_t(f.width);
    DWORD table[256] = {};
    if (f.bitCount <= 8)
        for (uint32_t i = 0; i < (1u << f.bitCount); ++i)
            table[i] = Colour(f, i);
    const Channel red(f.masks[0]), green(f.masks[1]), blue(f.masks[2]);
    for (LONG y = 0; y < f.height; ++y) {
        const uint8_t* in = bits + size_t(f.topDown ? y : f.height - 1 - y) * stride;
        DWORD* row = out + size_t(y) * width;
        switch (f.bitCount) {
        case 1:
        case 4:
        case 8: {
            const int bpp = f.bitCount, perByte = 8 / bpp;
            const unsigned valueMask = (1u << bpp) - 1;
            for (size_t x = 0; x < width; ++x) {
                const int shift = 8 - bpp * (1 + int(x % size_t(perByte)));
                row[x] = table[(in[x / size_t(perByte)] >> shift) & valueMask];
            }
            break;
        }
        case 16:
            for (size_t x = 0; x < width; ++x) {
                const uint32_t p = Le16(in + 2 * x);
                row[x] = red.Get(p) << 16 | green.Get(p) << 8 | blue.Get(p);
            }
            break;
        case 24:
            for (size_t x = 0; x < width; ++x, in += 3)
                row[x] = DWORD(in[2]) << 16 | DWORD(in[1]) << 8 | in[0];
            break;
        case 32:
            if (f.compression == BI_RGB) {
                for (size_t x = 0; x < width; ++x, in += 4)
                    row[x] = DWORD(in[2]) << 16 | DWORD(in[1]) << 8 | in[0];
            } else {
                for (size_t x = 0; x < width; ++x, in += 4) {
                    const uint32_t p = Le32(in);
                    row[x] = red.Get(p) << 16 | green.Get(p) << 8 | blue.Get(p);
                }
            }
            break;
        }
    }
}

// Run codes, bottom-up: pairs of (count, index) for runs, and escapes (0, 0) end of row, (0, 1) end of
// picture, (0, 2, dx, dy) a move right and up, (0, n) n pixels given one by one, padded to 16 bits.
void RunLength(const DibFormat& f, const uint8_t* codes, DWORD* out) {
    const bool four = f.compression == BI_RLE4;
    const size_t size = f.sizeImage;
    const LONGLONG width = f.width;
    LONGLONG x = 0, row = 0; // row 0 is the bottom one
    auto put = [&](LONGLONG at, uint32_t index) {
        if (at < width)
            out[size_t(f.height - 1 - row) * size_t(width) + size_t(at)] = Colour(f, index);
    };
    size_t pos = 0;
    while (pos + 2 <= size && row < f.height) {
        const uint8_t count = codes[pos], code = codes[pos + 1];
        pos += 2;
        if (count != 0) {
            for (int i = 0; i < count; ++i)
                put(x + i, four ? (i % 2 == 0 ? code >> 4 : code & 0x0F) : code);
            x += count;
        } else if (code == 0) {
            x = 0;
            ++row;
        } else if (code == 1) {
            return;
        } else if (code == 2) {
            if (pos + 2 > size)
                return;
            x += codes[pos];
            row += codes[pos + 1];
            pos += 2;
        } else {
            const size_t bytes = four ? (size_t(code) + 1) / 2 : code;
            if (pos + bytes > size)
                return;
            for (int i = 0; i < code; ++i)
                put(x + i,
                    four ? (i % 2 == 0 ? codes[pos + size_t(i) / 2] >> 4 : codes[pos + size_t(i) / 2] & 0x0F)
                         : codes[pos + size_t(i)]);
            x += code;
            pos += bytes + (bytes & 1);
        }
    }
}

} // namespace tarnel::gdi::decode

namespace tarnel::gdi {

bool ReadDibFormat(const BITMAPINFO* info, DibFormat& f) {
    if (info == nullptr)
        return false;
    f = {};
    const auto* header = reinterpret_cast<const uint8_t*>(info);
    const size_t headerSize = Le32(header);
    size_t coloursAt = headerSize;
    if (headerSize == kCoreHeader) {
        f.width = Le16(header + 4);
        f.height = Le16(header + 6);
        f.bitCount = Le16(header + 10);
        f.colourSize = 3;
        if (f.bitCount <= 8)
            f.colourCount = 1u << f.bitCount;
    } else if (KnownHeaderSize(headerSize)) {
        const int32_t height = int32_t(Le32(header + 8));
        f.width = LONG(int32_t(Le32(header + 4)));
        if (height == INT32_MIN)
            return false;
        f.topDown = height < 0;
        f.height = f.topDown ? -height : height;
        f.bitCount = Le16(header + 14);
        f.compression = Le32(header + 16);
        f.sizeImage = Le32(header + 20);
        if (f.bitCount <= 8) {
            const DWORD used = Le32(header + 32), all = 1u << f.bitCount;
            f.colourCount = used == 0 || used > all ? all : used;
        }
        if (f.compression == BI_BITFIELDS) {
            if (headerSize == kOs2V2Header)
                return false; // OS/2's Huffman coding
            // The masks follow a 40-byte header; the larger headers hold them.
            const uint8_t* masks = header + kInfoHeader;
            for (int i = 0; i < 3; ++i)
                f.masks[i] = Le32(masks + 4 * i);
            if (headerSize == kInfoHeader)
                coloursAt += 12;
        }
    } else {
        return false;
    }
    f.colours = header + coloursAt;
    if (f.width <= 0 || f.height <= 0 || Le16(header + (headerSize == kCoreHeader ? 8 : 12)) != 1)
        return false; // every DIB has one plane
    switch (f.compression) {
    case BI_RGB:
        if (f.bitCount == 16) { // five bits each, the top bit unused
            f.masks[0] = 0x7C00;
            f.masks[1] = 0x03E0;
            f.masks[2] = 0x001F;
        }
        return f.bitCount == 1 || f.bitCount == 4 || f.bitCount == 8 || f.bitCount == 16 ||
               f.bitCount == 24 || f.bitCount == 32;
    case BI_BITFIELDS:
        return (f.bitCount == 16 || f.bitCount == 32) && ValidMasks(f.masks, f.bitCount);
    case BI_RLE8:
        return f.bitCount == 8 && !f.topDown;
    case BI_RLE4:
        return f.bitCount == 4 && !f.topDown;
    default:
        return false;
    }
}

void DecodeDib(const DibFormat& format, const void* bits, DWORD* out) {
    const auto* in = static_cast<const uint8_t*>(bits);
    if (format.compression == BI_RLE4 || format.compression == BI_RLE8) {
        std::memset(out, 0, size_t(format.width) * size_t(format.height) * sizeof(DWORD));
        decode::RunLength(format, in, out);
    } else {
        decode::Rows(format, in, out);
    }
}

} // namespace tarnel::gdi
