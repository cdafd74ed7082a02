// StretchDIBits: a 32-bit picture drawn into a device context at another size. In HALFTONE mode each
// target pixel is the average of the source area it covers (a box filter), so shrinking does not alias;
// in the other modes each target pixel takes the nearest source pixel.
#include "platform/gdiobj.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

// For one axis: which source pixels make up each target pixel, and by how much. Target pixel i covers
// [i * S, (i + 1) * S) in units of 1 / D source pixels; source pixel j covers [j * D, (j + 1) * D).
// Weights are fixed-point with kWeightBits of fraction; the taps of one target pixel add up to exactly 1.
// With 13 bits a weighted sum of one 8-bit channel stays below 2^21, so the three channels of a pixel are
// summed at once in 21-bit fields of one 64-bit number.
constexpr int kWeightBits = 13;
constexpr int kFieldBits = 21;
constexpr uint64_t kFieldMask = (uint64_t(1) << kFieldBits) - 1;

inline uint64_t Spread(DWORD p) {
    return uint64_t(p & 0xFF) | uint64_t(p >> 8 & 0xFF) << kFieldBits |
           uint64_t(p >> 16 & 0xFF) << (2 * kFieldBits);
}
constexpr uint32_t kWeightOne = 1u << kWeightBits;

struct Tap {
    uint32_t source;
    uint32_t weight;
};

void MakeTaps(LONG S, LONG D, std::vector<size_t>& first, std::vector<Tap>& taps) {
    first.assign(size_t(D) + 1, 0);
    for (LONG i = 0; i < D; ++i) {
        first[size_t(i)] = taps.size();
        const LONGLONG lo = LONGLONG(i) * S, hi = LONGLONG(i + 1) * S;
        uint32_t total = 0;
        size_t largest = taps.size();
        for (LONGLONG j = lo / D; j < S && j * D < hi; ++j) {
            LONGLONG overlap = std::min(hi, (j + 1) * D) - std::max(lo, j * D);
            if (overlap <= 0)
                continue;
            uint32_t w = uint32_t(overlap * kWeightOne / S);
            if (taps.size() == largest || w > taps[largest].weight)
                largest = taps.size();
            taps.push_back({uint32_t(j), w});
            total += w;
        }
        taps[largest].weight += kWeightOne - total; // what rounding left over
    }
    first[size_t(D)] = taps.size();
}

} // namespace

using namespace gdi;

extern "C" {

int SetStretchBltMode(HDC hdc, int mode) {
    std::lock_guard<std::mutex> lock(Table::Get().Lock());
    auto* dc = static_cast<DC*>(Table::Get().Find(hdc, Kind::DC));
    if (dc == nullptr || mode < BLACKONWHITE || mode > HALFTONE)
        return 0;
    return std::exchange(dc->state.stretchMode, mode);
}

int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc,
                  int SrcWidth, int SrcHeight, const void* lpBits, const BITMAPINFO* lpbmi, UINT iUsage,
                  DWORD rop) {
    if (lpBits == nullptr || lpbmi == nullptr || iUsage != DIB_RGB_COLORS || rop != SRCCOPY ||
        DestWidth <= 0 || DestHeight <= 0 || SrcWidth <= 0 || SrcHeight <= 0)
        return 0;
    const BITMAPINFOHEADER& hdr = lpbmi->bmiHeader;
    if (hdr.biBitCount != 32 || hdr.biCompression != BI_RGB || hdr.biWidth <= 0 || hdr.biHeight == 0 ||
        hdr.biHeight == LONG(0x80000000))
        return 0;
    const LONG dibHeight = hdr.biHeight < 0 ? -hdr.biHeight : hdr.biHeight;
    if (xSrc < 0 || ySrc < 0 || LONGLONG(xSrc) + SrcWidth > hdr.biWidth ||
        LONGLONG(ySrc) + SrcHeight > dibHeight)
        return 0;
    const auto* bits = static_cast<const DWORD*>(lpBits);
    // Source rows are numbered top-down here; a bottom-up picture stores its top row last.
    auto sourceRow = [&](LONG y) {
        LONG stored = hdr.biHeight < 0 ? ySrc + y : dibHeight - 1 - (ySrc + y);
        return bits + size_t(stored) * size_t(hdr.biWidth) + size_t(xSrc);
    };

    std::lock_guard<std::mutex> lock(Table::Get().Lock());
    auto* dc = static_cast<DC*>(Table::Get().Find(hdc, Kind::DC));
    auto* bm = dc != nullptr && !dc->screen
                   ? static_cast<Bitmap*>(Table::Get().Find(dc->state.bitmap, Kind::Bitmap))
                   : nullptr;
    if (bm == nullptr || bm->stock)
        return 0;
    auto store = [&](LONGLONG x, LONGLONG y, DWORD pixel) {
        if (x >= 0 && y >= 0 && x < bm->width && y < bm->height)
            bm->Row(LONG(y))[x] =
                bm->bitsPixel == 1
                    ? ((pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF) >= 384 ? 0xFFFFFF : 0)
                    : pixel;
    };
    try {
        if (dc->state.stretchMode != HALFTONE) {
            for (LONG y = 0; y < DestHeight; ++y) {
                const DWORD* row = sourceRow(LONG(LONGLONG(y) * SrcHeight / DestHeight));
                for (LONG x = 0; x < DestWidth; ++x)
                    store(LONGLONG(xDest) + x, LONGLONG(yDest) + y,
                          row[LONGLONG(x) * SrcWidth / DestWidth] & 0xFFFFFF);
            }
            return DestHeight;
        }
        std::vector<size_t> firstX, firstY;
        std::vector<Tap> tapsX, tapsY;
        MakeTaps(SrcWidth, DestWidth, firstX, tapsX);
        MakeTaps(SrcHeight, DestHeight, firstY, tapsY);
        // Across first: each source row shrinks to the target width, kept with 6 bits of fraction.
        // The taps are walked once per row, reading each source pixel where it is needed.
        std::unique_ptr<uint16_t[]> across(
            new uint16_t[size_t(SrcHeight) * size_t(DestWidth) * 3]); // every entry is written
        std::vector<uint64_t> spread(static_cast<size_t>(SrcWidth));
        constexpr int acrossShift = kWeightBits - 6;
        constexpr uint64_t half = uint64_t(1) << (acrossShift - 1);
        for (LONG y = 0; y < SrcHeight; ++y) {
            const DWORD* row = sourceRow(y);
            for (LONG j = 0; j < SrcWidth; ++j)
                spread[size_t(j)] = Spread(row[j]);
            uint16_t* out = across.get() + size_t(y) * size_t(DestWidth) * 3;
            const Tap* tap = tapsX.data();
            for (LONG x = 0; x < DestWidth; ++x, out += 3) {
                uint64_t sum = 0;
                for (const Tap* end = tapsX.data() + firstX[size_t(x) + 1]; tap < end; ++tap)
                    sum += spread[tap->source] * tap->weight;
                out[0] = uint16_t(((sum >> (2 * kFieldBits) & kFieldMask) + half) >> acrossShift); // red
                out[1] = uint16_t(((sum >> kFieldBits & kFieldMask) + half) >> acrossShift);       // green
                out[2] = uint16_t(((sum & kFieldMask) + half) >> acrossShift);                     // blue
            }
        }
        // Then down each column, a target row at a time.
        std::vector<uint32_t> sums(size_t(DestWidth) * 3);
        constexpr int shift = kWeightBits + 6;
        for (LONG y = 0; y < DestHeight; ++y) {
            std::fill(sums.begin(), sums.end(), 0);
            uint32_t* __restrict acc = sums.data();
            const size_t n = sums.size();
            for (size_t t = firstY[size_t(y)]; t < firstY[size_t(y) + 1]; ++t) {
                const uint16_t* __restrict in =
                    across.get() + size_t(tapsY[t].source) * size_t(DestWidth) * 3;
                const uint32_t w = tapsY[t].weight;
                for (size_t k = 0; k < n; ++k)
                    acc[k] += uint32_t(in[k]) * w;
            }
            for (LONG x = 0; x < DestWidth; ++x) {
                DWORD pixel = 0;
                for (int k = 0; k < 3; ++k)
                    pixel = pixel << 8 | ((sums[size_t(x) * 3 + size_t(k)] + (1u << (shift - 1))) >> shift);
                store(LONGLONG(xDest) + x, LONGLONG(yDest) + y, pixel);
            }
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return DestHeight;
}

} // extern "C"
