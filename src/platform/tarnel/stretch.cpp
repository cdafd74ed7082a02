// StretchDIBits: a device-independent picture of any format drawn into a device context at another size, and
// StretchPixelRows, the same for pixels of three or four bytes in either channel order. In HALFTONE mode each
// target pixel is the average of the source area it covers (a box filter), so shrinking does not alias; in
// the other modes each target pixel takes the nearest source pixel. The box filter's sums use SSE2, and AVX2
// where the processor has it.
#include "platform/tarnel/stretch.h"

#include "platform/tarnel/dib.h"
#include "platform/tarnel/gdicounts.h"
#include "platform/tarnel/gdiobj.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <immintrin.h>
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

// Two taps' weights in one number, the first in its low half: pmaddwd's operand when broadcast.
inline uint32_t PairWeights(const Tap* t) {
    return t[0].weight | uint32_t(t[1].weight) << 16;
}

// The taps across of the target columns worked out, two at a time, each column given as many pairs as the
// column with most (pairs of weight 0 added), so that two columns can be summed side by side. The two taps
// of a pair are neighbouring pixels (a tap of weight 0 added to make a count even is read as the next
// pixel), so one load reads both. For column c and its pair p: where its first pixel starts in a row summed
// down, in offsets[c * pairs + p], and its weights, four times over, in weights[((c / 2) * pairs + p) * 2 +
// c % 2], so that columns 2k and 2k + 1 have theirs side by side.
struct alignas(16) Weights {
    uint32_t w[4];
};
struct Across {
    size_t pairs = 0;
    size_t columns = 0;
    std::vector<uint32_t> offsets;
    std::vector<Weights> weights;
};

Across MakeAcross(const std::vector<size_t>& first, const std::vector<Tap>& taps, LONG x0, LONG x1,
                  size_t bpp) {
    Across a;
    a.columns = size_t(x1 - x0);
    for (LONG x = x0; x < x1; ++x)
        a.pairs = std::max(a.pairs, (first[size_t(x) + 1] - first[size_t(x)]) / 2);
    const size_t columns = a.columns + a.columns % 2; // the last of an odd number with one more of weight 0
    a.offsets.assign(columns * a.pairs, 0);
    a.weights.assign(columns * a.pairs, Weights{});
    for (size_t c = 0; c < a.columns; ++c) {
        const size_t x = size_t(x0) + c;
        for (size_t p = 0; p < a.pairs; ++p) {
            const size_t t = std::min(first[x] + 2 * p, first[x + 1] - 2);
            const uint32_t w = first[x] + 2 * p < first[x + 1] ? PairWeights(&taps[t]) : 0;
            a.offsets[c * a.pairs + p] = uint32_t(taps[t].source * bpp);
            a.weights[((c / 2) * a.pairs + p) * 2 + c % 2] = Weights{{w, w, w, w}};
        }
    }
    return a;
}

// A count of pairs known when compiling (1 to 3, which most scales need, and whose loops are then unrolled),
// or 0 for one known only when running.
template <size_t Pairs>
constexpr size_t PairCount(size_t pairs) {
    return Pairs != 0 ? Pairs : pairs;
}

// Calls f with the pair count as a template argument where it is a small one.
template <class F>
inline void WithPairCount(size_t pairs, F&& f) {
    switch (pairs) {
    case 1:
        return f(std::integral_constant<size_t, 1>());
    case 2:
        return f(std::integral_constant<size_t, 2>());
    case 3:
        return f(std::integral_constant<size_t, 3>());
    default:
        return f(std::integral_constant<size_t, 0>());
    }
}

// One target row: down into down, then across into out. The rows come two at a time with the weights of
// each two in one number, pairs of them.
using RowFunction = void (*)(const uint8_t* const* rows, const uint32_t* weights, size_t pairs, size_t n,
                             uint16_t* down, const Across& a, bool rgb, DWORD* out);

#ifdef __SSE2__
// The AVX2 forms of the passes do the same sums in the same order, so the pictures are the same.
#if defined(__x86_64__) || defined(__i386__)
#define TARNEL_STRETCH_AVX2 1
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// Down, from element k of the row on: element k of the result is the weighted sum of byte k of the rows,
// so the channels of whole rows are summed alike, whatever their order and however many bytes a pixel has.
// Sixteen bytes at a time: the bytes of two rows interleaved as 16-bit numbers, so that one pmaddwd
// multiplies by both weights and adds.
template <size_t Pairs>
inline void SumDownFrom(size_t k, const uint8_t* const* rows, const uint32_t* weights, size_t pairs, size_t n,
                        uint16_t* down) {
    const size_t count = PairCount<Pairs>(pairs);
    const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi32(1 << (kDownShift - 1));
    for (; k + 16 <= n; k += 16) {
        __m128i sum[4] = {zero, zero, zero, zero};
        for (size_t p = 0; p < count; ++p) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p] + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p + 1] + k));
            const __m128i w = _mm_set1_epi32(int(weights[p]));
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
    for (; k < n; ++k) {
        uint32_t sum = 0;
        for (size_t p = 0; p < count; ++p)
            sum += uint32_t(rows[2 * p][k]) * (weights[p] & 0xFFFF) +
                   uint32_t(rows[2 * p + 1][k]) * (weights[p] >> 16);
        down[k] = uint16_t((sum + (1u << (kDownShift - 1))) >> kDownShift);
    }
}

// One target pixel across: the channels of its pixels, as the row summed down holds them, each the sum of
// its pairs. A pair's load holds both pixels; its channels are interleaved, first pixel's then second's, as
// in the sums down. The fourth 32-bit sum is of the element after a pixel's three channels, thrown away.
template <size_t Bpp, size_t Pairs>
inline __m128i SumPixel(const uint16_t* down, const uint32_t* offsets, const Weights* weights, size_t pairs) {
    __m128i sum = _mm_setzero_si128();
    for (size_t p = 0; p < PairCount<Pairs>(pairs); ++p) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + offsets[p]));
        const __m128i w = _mm_load_si128(reinterpret_cast<const __m128i*>(weights + 2 * p));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(v, _mm_srli_si128(v, 2 * Bpp)), w));
    }
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kAcrossShift - 1))), kAcrossShift);
}

// Two pixels' channels as 16-bit numbers in the order of a stored pixel, blue first.
inline __m128i Stored(__m128i first, __m128i second, bool rgb) {
    const __m128i v = _mm_packs_epi32(first, second);
    return rgb ? _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2)), _MM_SHUFFLE(3, 0, 1, 2))
               : v;
}

// Across, target columns from c to the end of the row, as 0x00RRGGBB.
template <size_t Bpp, size_t Pairs>
inline void SumAcrossFrom(size_t c, const uint16_t* down, const Across& a, bool rgb, DWORD* out) {
    const size_t pairs = PairCount<Pairs>(a.pairs);
    auto pixel = [&](size_t i) {
        return SumPixel<Bpp, Pairs>(down, a.offsets.data() + i * pairs,
                                    a.weights.data() + (i / 2) * pairs * 2 + i % 2, pairs);
    };
    const __m128i mask = _mm_set1_epi32(0xFFFFFF);
    for (; c + 4 <= a.columns; c += 4) {
        const __m128i v =
            _mm_packus_epi16(Stored(pixel(c), pixel(c + 1), rgb), Stored(pixel(c + 2), pixel(c + 3), rgb));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), _mm_and_si128(v, mask));
    }
    for (; c < a.columns; ++c) {
        const __m128i v = Stored(pixel(c), _mm_setzero_si128(), rgb);
        out[c] = DWORD(_mm_cvtsi128_si32(_mm_packus_epi16(v, v))) & 0xFFFFFF;
    }
}

template <size_t Bpp, size_t Pairs>
void SumRow(const uint8_t* const* rows, const uint32_t* weights, size_t pairs, size_t n, uint16_t* down,
            const Across& a, bool rgb, DWORD* out) {
    WithPairCount(pairs, [&](auto down_pairs) {
        SumDownFrom<decltype(down_pairs)::value>(0, rows, weights, pairs, n, down);
    });
    SumAcrossFrom<Bpp, Pairs>(0, down, a, rgb, out);
}

#ifdef TARNEL_STRETCH_AVX2
// The same with 32 bytes down at a time, and two target pixels across at a time, one in each half.
template <size_t Pairs>
__attribute__((target("avx2"))) inline void SumDownAvx2(const uint8_t* const* rows, const uint32_t* weights,
                                                        size_t pairs, size_t n, uint16_t* down) {
    const size_t count = PairCount<Pairs>(pairs);
    const __m256i zero = _mm256_setzero_si256(), half = _mm256_set1_epi32(1 << (kDownShift - 1));
    size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        __m256i sum[4] = {zero, zero, zero, zero};
        for (size_t p = 0; p < count; ++p) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p] + k));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p + 1] + k));
            const __m256i w = _mm256_set1_epi32(int(weights[p]));
            const __m256i lo = _mm256_unpacklo_epi8(a, b), hi = _mm256_unpackhi_epi8(a, b);
            sum[0] = _mm256_add_epi32(sum[0], _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            sum[1] = _mm256_add_epi32(sum[1], _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            sum[2] = _mm256_add_epi32(sum[2], _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            sum[3] = _mm256_add_epi32(sum[3], _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        for (__m256i& v : sum)
            v = _mm256_srli_epi32(_mm256_add_epi32(v, half), kDownShift);
        // Each half works on its own 16 bytes: bytes 0-7 and 16-23 are in the first pack, 8-15 and 24-31 in
        // the second.
        const __m256i first = _mm256_packs_epi32(sum[0], sum[1]), second = _mm256_packs_epi32(sum[2], sum[3]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(down + k),
                            _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(down + k + 16),
                            _mm256_permute2x128_si256(first, second, 0x31));
    }
    SumDownFrom<Pairs>(k, rows, weights, pairs, n, down);
}

template <size_t Bpp, size_t Pairs>
__attribute__((target("avx2"))) inline __m256i SumTwoPixels(const uint16_t* down, const uint32_t* offsets,
                                                            const Weights* weights, size_t pairs) {
    __m256i sum = _mm256_setzero_si256();
    for (size_t p = 0; p < PairCount<Pairs>(pairs); ++p) {
        const __m256i v = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(down + offsets[p]))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + offsets[PairCount<Pairs>(pairs) + p])),
            1);
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 2 * p));
        sum = _mm256_add_epi32(sum,
                               _mm256_madd_epi16(_mm256_unpacklo_epi16(v, _mm256_srli_si256(v, 2 * Bpp)), w));
    }
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << (kAcrossShift - 1))), kAcrossShift);
}

__attribute__((target("avx2"))) inline __m256i StoredAvx2(__m256i first, __m256i second, bool rgb) {
    const __m256i v = _mm256_packs_epi32(first, second);
    return rgb ? _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2)),
                                        _MM_SHUFFLE(3, 0, 1, 2))
               : v;
}

template <size_t Bpp, size_t Pairs>
__attribute__((target("avx2"))) void SumRowAvx2(const uint8_t* const* rows, const uint32_t* weights,
                                                size_t pairs, size_t n, uint16_t* down, const Across& a,
                                                bool rgb, DWORD* out) {
    switch (pairs) { // a lambda would not be compiled for AVX2
    case 1:
        SumDownAvx2<1>(rows, weights, pairs, n, down);
        break;
    case 2:
        SumDownAvx2<2>(rows, weights, pairs, n, down);
        break;
    case 3:
        SumDownAvx2<3>(rows, weights, pairs, n, down);
        break;
    default:
        SumDownAvx2<0>(rows, weights, pairs, n, down);
    }
    const size_t across = PairCount<Pairs>(a.pairs);
    const __m256i mask = _mm256_set1_epi32(0xFFFFFF), order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    size_t c = 0;
    for (; c + 8 <= a.columns; c += 8) {
        __m256i two[4];
        for (size_t i = 0; i < 4; ++i)
            two[i] = SumTwoPixels<Bpp, Pairs>(down, a.offsets.data() + (c + 2 * i) * across,
                                              a.weights.data() + (c / 2 + i) * across * 2, across);
        // Each half packs its own pixels: columns c, c + 2, c + 4 and c + 6 in the first, the odd ones in the
        // second, put back in order by the permutation.
        const __m256i v =
            _mm256_packus_epi16(StoredAvx2(two[0], two[1], rgb), StoredAvx2(two[2], two[3], rgb));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c),
                            _mm256_and_si256(_mm256_permutevar8x32_epi32(v, order), mask));
    }
    SumAcrossFrom<Bpp, Pairs>(c, down, a, rgb, out);
}
#endif

template <size_t Bpp, size_t Pairs>
RowFunction RowFor() {
#ifdef TARNEL_STRETCH_AVX2
    if (HasAvx2())
        return SumRowAvx2<Bpp, Pairs>;
#endif
    return SumRow<Bpp, Pairs>;
}
#else
// Without SSE2, one element down and one pixel across at a time.
template <size_t Bpp, size_t Pairs>
void SumRow(const uint8_t* const* rows, const uint32_t* weights, size_t pairs, size_t n, uint16_t* down,
            const Across& a, bool rgb, DWORD* out) {
    for (size_t k = 0; k < n; ++k) {
        uint32_t sum = 0;
        for (size_t p = 0; p < pairs; ++p)
            sum += uint32_t(rows[2 * p][k]) * (weights[p] & 0xFFFF) +
                   uint32_t(rows[2 * p + 1][k]) * (weights[p] >> 16);
        down[k] = uint16_t((sum + (1u << (kDownShift - 1))) >> kDownShift);
    }
    constexpr uint32_t half = 1u << (kAcrossShift - 1);
    for (size_t c = 0; c < a.columns; ++c) {
        uint32_t channel[3] = {0, 0, 0};
        for (size_t p = 0; p < a.pairs; ++p) {
            const uint16_t* pixel = down + a.offsets[c * a.pairs + p];
            const uint32_t w = a.weights[((c / 2) * a.pairs + p) * 2 + c % 2].w[0];
            for (size_t i = 0; i < 3; ++i)
                channel[i] += uint32_t(pixel[i]) * (w & 0xFFFF) + uint32_t(pixel[Bpp + i]) * (w >> 16);
        }
        const uint32_t red = (channel[rgb ? 0 : 2] + half) >> kAcrossShift;
        const uint32_t green = (channel[1] + half) >> kAcrossShift;
        const uint32_t blue = (channel[rgb ? 2 : 0] + half) >> kAcrossShift;
        out[c] = red << 16 | green << 8 | blue;
    }
}

template <size_t Bpp, size_t Pairs>
RowFunction RowFor() {
    return SumRow<Bpp, 0>;
}
#endif

template <size_t Bpp>
RowFunction ChooseRow(size_t pairs) {
    RowFunction row = nullptr;
    WithPairCount(pairs, [&](auto across) { row = RowFor<Bpp, decltype(across)::value>(); });
    return row;
}

// The source drawn averaged into target columns [x0, x1) and rows [y0, y1) of the picture scaled to
// DestWidth x DestHeight: target pixel (x, y) goes to out[(y - y0) * outStride + (x - x0)].
void Halftone(const tarnel::gdi::PixelRows& source, LONG DestWidth, LONG DestHeight, LONG x0, LONG x1,
              LONG y0, LONG y1, DWORD* out, size_t outStride) {
    // Down first, then across: a target row is summed from the few source rows it covers over whole rows,
    // which is cheap, and the taps across then run on the target rows only.
    const size_t bpp = size_t(source.bytesPerPixel);
    std::vector<size_t> firstX, firstY;
    std::vector<Tap> tapsX, tapsY;
    MakeTaps(source.width, DestWidth, firstX, tapsX);
    MakeTaps(source.height, DestHeight, firstY, tapsY);
    const Across across = MakeAcross(firstX, tapsX, x0, x1, bpp);
    const RowFunction row = bpp == 3 ? ChooseRow<3>(across.pairs) : ChooseRow<4>(across.pairs);
    const size_t n = size_t(source.width) * bpp;
    // A pair across reads eight elements from its first pixel's: past the last pixel, up to five more.
    std::vector<uint16_t> down(n + 8);
    std::vector<const uint8_t*> rows;
    std::vector<uint32_t> weights;
    for (LONG y = y0; y < y1; ++y, out += outStride) {
        const Tap* tap = tapsY.data() + firstY[size_t(y)];
        const size_t count = firstY[size_t(y) + 1] - firstY[size_t(y)];
        rows.resize(count);
        weights.resize(count / 2);
        for (size_t t = 0; t < count; ++t)
            rows[t] = source.top + ptrdiff_t(tap[t].source) * source.stride;
        for (size_t p = 0; p < count / 2; ++p)
            weights[p] = PairWeights(tap + 2 * p);
        row(rows.data(), weights.data(), count / 2, n, down.data(), across, source.rgb, out);
    }
}

// The source pixel at (x, y) as 0x00RRGGBB.
DWORD SourcePixel(const tarnel::gdi::PixelRows& source, LONG x, LONG y) {
    const uint8_t* p = source.top + ptrdiff_t(y) * source.stride + ptrdiff_t(x) * source.bytesPerPixel;
    return source.rgb ? DWORD(p[0]) << 16 | DWORD(p[1]) << 8 | p[2]
                      : DWORD(p[2]) << 16 | DWORD(p[1]) << 8 | p[0];
}

} // namespace

using namespace tarnel::gdi;

namespace tarnel::gdi {

int StretchPixelRows(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, const PixelRows& source) {
    if (source.top == nullptr || source.width <= 0 || source.height <= 0 ||
        (source.bytesPerPixel != 3 && source.bytesPerPixel != 4) ||
        (source.stride < 0 ? -source.stride : source.stride) <
            ptrdiff_t(source.width) * source.bytesPerPixel ||
        DestWidth <= 0 || DestHeight <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(Table::Get().Lock());
    auto* dc = static_cast<DC*>(Table::Get().Find(hdc, Kind::DC));
    auto* bm = dc != nullptr && !dc->screen
                   ? static_cast<Bitmap*>(Table::Get().Find(dc->state.bitmap, Kind::Bitmap))
                   : nullptr;
    if (bm == nullptr || bm->stock)
        return 0;
    // Only the target pixels inside the bitmap are worked out.
    const LONG x0 = LONG(std::clamp<LONGLONG>(-LONGLONG(xDest), 0, DestWidth));
    const LONG x1 = LONG(std::clamp<LONGLONG>(LONGLONG(bm->width) - xDest, x0, DestWidth));
    const LONG y0 = LONG(std::clamp<LONGLONG>(-LONGLONG(yDest), 0, DestHeight));
    const LONG y1 = LONG(std::clamp<LONGLONG>(LONGLONG(bm->height) - yDest, y0, DestHeight));
    if (x0 == x1 || y0 == y1)
        return DestHeight;
    DWORD* out = bm->Row(LONG(LONGLONG(yDest) + y0)) + (LONGLONG(xDest) + x0);
    const size_t outStride = size_t(bm->width);
    try {
        if (dc->state.stretchMode == HALFTONE) {
            Halftone(source, DestWidth, DestHeight, x0, x1, y0, y1, out, outStride);
        } else {
            for (LONG y = y0; y < y1; ++y) {
                const LONG sy = LONG(LONGLONG(y) * source.height / DestHeight);
                for (LONG x = x0; x < x1; ++x)
                    out[size_t(y - y0) * outStride + size_t(x - x0)] =
                        SourcePixel(source, LONG(LONGLONG(x) * source.width / DestWidth), sy);
            }
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (bm->bitsPixel == 1) // a monochrome bitmap holds black or white
        for (LONG y = y0; y < y1; ++y)
            for (DWORD& pixel : std::span(out + size_t(y - y0) * outStride, size_t(x1 - x0)))
                pixel = (pixel >> 16 & 0xFF) + (pixel >> 8 & 0xFF) + (pixel & 0xFF) >= 384 ? 0xFFFFFF : 0;
    return DestHeight;
}

} // namespace tarnel::gdi

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
    tarnel::gdi::DibFormat format;
    if (lpBits == nullptr || iUsage != DIB_RGB_COLORS || rop != SRCCOPY || DestWidth <= 0 ||
        DestHeight <= 0 || SrcWidth <= 0 || SrcHeight <= 0 || !tarnel::gdi::ReadDibFormat(lpbmi, format))
        return 0;
    if (xSrc < 0 || ySrc < 0 || LONGLONG(xSrc) + SrcWidth > format.width ||
        LONGLONG(ySrc) + SrcHeight > format.height)
        return 0;
    // Source rows are numbered top-down here; a bottom-up picture stores its top row last.
    // Pixels of 24 and 32 bits are bytes B, G, R (and X), drawn where they lie; every other format is
    // decoded to 32-bit pixels first, top-down.
    static_assert(std::endian::native == std::endian::little, "a DWORD pixel read as bytes B, G, R, X");
    const uint8_t* pixels = static_cast<const uint8_t*>(lpBits);
    ptrdiff_t stride = ptrdiff_t(tarnel::gdi::DibStride(format));
    bool topDown = format.topDown;
    int bytesPerPixel = format.bitCount / 8;
    std::vector<DWORD> decoded;
    if (format.compression != BI_RGB || (format.bitCount != 24 && format.bitCount != 32)) {
        if (format.width > tarnel::gdi::kMaxBitmapSide || format.height > tarnel::gdi::kMaxBitmapSide ||
            LONGLONG(format.width) * format.height > tarnel::gdi::kMaxBitmapPixels)
            return 0;
        try {
            decoded.resize(size_t(format.width) * size_t(format.height));
        } catch (const std::bad_alloc&) {
            return 0;
        }
        tarnel::gdi::DecodeDib(format, lpBits, decoded.data());
        pixels = reinterpret_cast<const uint8_t*>(decoded.data());
        stride = ptrdiff_t(format.width) * 4;
        topDown = true;
        bytesPerPixel = 4;
    }
    const LONG top = topDown ? ySrc : format.height - 1 - ySrc;
    const tarnel::gdi::PixelRows source = {pixels + top * stride + ptrdiff_t(xSrc) * bytesPerPixel,
                                           topDown ? stride : -stride,
                                           SrcWidth,
                                           SrcHeight,
                                           bytesPerPixel,
                                           false};
    return tarnel::gdi::StretchPixelRows(hdc, xDest, yDest, DestWidth, DestHeight, source);
}

} // extern "C"
