// StretchDIBits: a 32-bit picture drawn into a device context at another size. In HALFTONE mode each
// target pixel is the average of the source area it covers (a box filter), so shrinking does not alias;
// in the other modes each target pixel takes the nearest source pixel.
#include "platform/gdiobj.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// For one axis: which source pixels make up each target pixel, and by how much. Target pixel i covers
// [i * S, (i + 1) * S) in units of 1 / D source pixels; source pixel j covers [j * D, (j + 1) * D).
// Weights are fixed-point with kWeightBits of fraction; the taps of one target pixel add up to exactly 1.
// Each target pixel has an even number of taps, an odd one made even by a tap of weight 0, so that the
// sums can take the taps two at a time.
constexpr int kWeightBits = 13;
constexpr uint32_t kWeightOne = 1u << kWeightBits;

struct Tap {
    uint32_t source;
    uint16_t weight; // at most kWeightOne
};

void MakeTaps(LONG S, LONG D, std::vector<size_t>& first, std::vector<Tap>& taps) {
    first.assign(size_t(D) + 1, 0);
    taps.reserve(size_t(S) + 2 * size_t(D)); // one tap more than the source boundaries spanned, and padding
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
            taps.push_back({uint32_t(j), uint16_t(w)});
            total += w;
        }
        taps[largest].weight = uint16_t(taps[largest].weight + kWeightOne - total); // what rounding left over
        if ((taps.size() - first[size_t(i)]) % 2 != 0)
            taps.push_back({taps.back().source, 0});
    }
    first[size_t(D)] = taps.size();
}

// Both passes keep 6 bits of fraction between them: a sum down is at most 255 * 2^13 < 2^21 and is stored
// rounded as at most 255 * 2^6 < 2^14, so the sum across, at most 2^14 * 2^13, fits 32 bits (and, for
// pmaddwd, every factor fits a signed 16 bits).
constexpr int kDownShift = kWeightBits - 6;
constexpr int kAcrossShift = kWeightBits + 6;

// One target row, down: byte k of the result is the weighted sum of byte k of the rows, so the B, G, R and
// unused fourth bytes of whole rows are summed alike.
void SumDown(const uint8_t* const* rows, const Tap* taps, size_t count, size_t n, uint16_t* down) {
    size_t k = 0;
#ifdef __SSE2__
    // Sixteen bytes at a time, two rows at a time: their bytes interleaved as 16-bit numbers, so that one
    // pmaddwd multiplies by both weights and adds.
    const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi32(1 << (kDownShift - 1));
    for (; k + 16 <= n; k += 16) {
        __m128i sum[4] = {zero, zero, zero, zero};
        for (size_t t = 0; t < count; t += 2) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[t] + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[t + 1] + k));
            const __m128i w = _mm_set1_epi32(int(taps[t].weight | uint32_t(taps[t + 1].weight) << 16));
            const __m128i lo = _mm_unpacklo_epi8(a, b), hi = _mm_unpackhi_epi8(a, b);
            sum[0] = _mm_add_epi32(sum[0], _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            sum[1] = _mm_add_epi32(sum[1], _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            sum[2] = _mm_add_epi32(sum[2], _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            sum[3] = _mm_add_epi32(sum[3], _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        for (__m128i& v : sum)
            v = _mm_srli_epi32(_mm_add_epi32(v, half), kDownShift);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(down + k), _mm_packs_epi32(sum[0], sum[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(down + k + 8), _mm_packs_epi32(sum[2], sum[3]));
    }
#endif
    for (; k < n; ++k) {
        uint32_t sum = 0;
        for (size_t t = 0; t < count; ++t)
            sum += uint32_t(rows[t][k]) * taps[t].weight;
        down[k] = uint16_t((sum + (1u << (kDownShift - 1))) >> kDownShift);
    }
}

// One target pixel, across: the weighted sum of the pixels of a row summed down, as 0x00RRGGBB.
inline DWORD SumAcross(const uint16_t* down, const Tap* tap, const Tap* end) {
#ifdef __SSE2__
    // Two pixels at a time, their channels interleaved, as in SumDown.
    __m128i sum = _mm_setzero_si128();
    for (; tap < end; tap += 2) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(down + size_t(tap[0].source) * 4));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(down + size_t(tap[1].source) * 4));
        const __m128i w = _mm_set1_epi32(int(tap[0].weight | uint32_t(tap[1].weight) << 16));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), w));
    }
    sum = _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kAcrossShift - 1))), kAcrossShift);
    sum = _mm_packs_epi32(sum, sum);
    return DWORD(_mm_cvtsi128_si32(_mm_packus_epi16(sum, sum))) & 0xFFFFFF;
#else
    uint32_t b = 0, g = 0, r = 0;
    for (; tap < end; ++tap) {
        const uint16_t* p = down + size_t(tap->source) * 4;
        b += uint32_t(p[0]) * tap->weight;
        g += uint32_t(p[1]) * tap->weight;
        r += uint32_t(p[2]) * tap->weight;
    }
    constexpr uint32_t half = 1u << (kAcrossShift - 1);
    return (r + half) >> kAcrossShift << 16 | (g + half) >> kAcrossShift << 8 | (b + half) >> kAcrossShift;
#endif
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
    auto device = [&](DWORD pixel) -> DWORD {
        return bm->bitsPixel == 1
                   ? ((pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF) >= 384 ? 0xFFFFFF : 0)
                   : pixel;
    };
    auto store = [&](LONGLONG x, LONGLONG y, DWORD pixel) {
        if (x >= 0 && y >= 0 && x < bm->width && y < bm->height)
            bm->Row(LONG(y))[x] = device(pixel);
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
        // Down first, then across: a target row is summed from the few source rows it covers over whole
        // rows, which is cheap, and the taps across then run on the target rows only.
        static_assert(std::endian::native == std::endian::little, "a DWORD pixel read as bytes B, G, R, X");
        std::vector<size_t> firstX, firstY;
        std::vector<Tap> tapsX, tapsY;
        MakeTaps(SrcWidth, DestWidth, firstX, tapsX);
        MakeTaps(SrcHeight, DestHeight, firstY, tapsY);
        const size_t n = size_t(SrcWidth) * 4;
        std::vector<uint16_t> down(n);
        std::vector<const uint8_t*> rows;
        // Only the target pixels inside the bitmap are worked out.
        const LONG x0 = LONG(std::clamp<LONGLONG>(-LONGLONG(xDest), 0, DestWidth));
        const LONG x1 = LONG(std::clamp<LONGLONG>(LONGLONG(bm->width) - xDest, x0, DestWidth));
        for (LONG y = 0; y < DestHeight; ++y) {
            const LONGLONG ty = LONGLONG(yDest) + y;
            if (ty < 0 || ty >= bm->height || x0 == x1)
                continue;
            const Tap* tap = tapsY.data() + firstY[size_t(y)];
            const size_t count = firstY[size_t(y) + 1] - firstY[size_t(y)];
            rows.resize(std::max(rows.size(), count));
            for (size_t t = 0; t < count; ++t)
                rows[t] = reinterpret_cast<const uint8_t*>(sourceRow(LONG(tap[t].source)));
            SumDown(rows.data(), tap, count, n, down.data());
            DWORD* out = bm->Row(LONG(ty)) + (LONGLONG(xDest) + x0);
            for (LONG x = x0; x < x1; ++x, ++out)
                *out = device(SumAcross(down.data(), tapsX.data() + firstX[size_t(x)],
                                        tapsX.data() + firstX[size_t(x) + 1]));
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return DestHeight;
}

} // extern "C"
