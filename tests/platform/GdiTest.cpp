#include "afxwin.h"
#include "platform/tarnel/gdicounts.h"
#include "platform/tarnel/stretch.h"
#include "wingdi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBlack = RGB(0, 0, 0);

tarnel::gdi::ObjectCounts Counts() {
    tarnel::gdi::ObjectCounts c{};
    tarnel::gdi::GetObjectCounts(&c);
    return c;
}

// A screen-compatible bitmap selected into a memory context, released at the end of the test.
struct Canvas {
    Canvas(int cx, int cy) : screen(nullptr) {
        dc.CreateCompatibleDC(&screen);
        bitmap.CreateCompatibleBitmap(&screen, cx, cy);
        old = dc.SelectObject(&bitmap);
    }
    ~Canvas() { dc.SelectObject(old); }
    CBitmap bitmap;
    CClientDC screen;
    CDC dc;
    CBitmap* old;
};

class GdiTest : public ::testing::Test {
protected:
    void SetUp() override { before = Counts(); }
    void TearDown() override {
        AfxLockTempMaps();
        AfxUnlockTempMaps();
        tarnel::gdi::ObjectCounts after = Counts();
        EXPECT_EQ(after.bitmaps, before.bitmaps);
        EXPECT_EQ(after.dcs, before.dcs);
    }
    tarnel::gdi::ObjectCounts before{};
};

TEST_F(GdiTest, FillSolidRectFillsExactlyTheRectangleAndClips) {
    Canvas c(7, 5);
    c.dc.FillSolidRect(0, 0, 7, 5, kWhite);
    c.dc.FillSolidRect(2, 1, 3, 2, RGB(10, 20, 30));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
            EXPECT_EQ(c.dc.GetPixel(x, y), inside ? RGB(10, 20, 30) : kWhite) << x << "," << y;
        }
    c.dc.FillSolidRect(-10, -10, 100, 100, kBlack); // clipped, not a crash
    EXPECT_EQ(c.dc.GetPixel(6, 4), kBlack);
    EXPECT_EQ(c.dc.GetBkColor(), kBlack) << "the background colour stays as the fill left it";
}

TEST_F(GdiTest, Draw3dRectPaintsTheFrameInsideTheCellWithShadowOnBothOuterCorners) {
    Canvas c(10, 8);
    c.dc.FillSolidRect(0, 0, 10, 8, kBlack);
    const COLORREF hi = RGB(255, 0, 0), sh = RGB(0, 0, 255);
    c.dc.Draw3dRect(1, 2, 6, 4, hi, sh); // x 1..6, y 2..5
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) {
            COLORREF expected = kBlack;
            bool inX = x >= 1 && x <= 6, inY = y >= 2 && y <= 5;
            if ((y == 2 && x >= 1 && x <= 5) || (x == 1 && y >= 2 && y <= 4))
                expected = hi;
            if ((x == 6 && inY) || (y == 5 && inX))
                expected = sh;
            EXPECT_EQ(c.dc.GetPixel(x, y), expected) << x << "," << y;
        }
    EXPECT_EQ(c.dc.GetPixel(6, 2), sh) << "top-right corner";
    EXPECT_EQ(c.dc.GetPixel(1, 5), sh) << "bottom-left corner";
    EXPECT_EQ(c.dc.GetPixel(1, 2), hi) << "top-left corner";
}

TEST_F(GdiTest, BitBltCopiesToThePlaceAndLeavesWhatTheSourceLacks) {
    Canvas dst(8, 8), src(3, 2);
    dst.dc.FillSolidRect(0, 0, 8, 8, kWhite);
    src.dc.SetPixel(0, 0, RGB(1, 2, 3));
    src.dc.SetPixel(2, 1, RGB(4, 5, 6));
    // Asks for 4 x 4 from a 3 x 2 source: only the part that exists is copied.
    EXPECT_TRUE(dst.dc.BitBlt(4, 4, 4, 4, &src.dc, 0, 0, SRCCOPY));
    EXPECT_EQ(dst.dc.GetPixel(4, 4), RGB(1, 2, 3));
    EXPECT_EQ(dst.dc.GetPixel(6, 5), RGB(4, 5, 6));
    EXPECT_EQ(dst.dc.GetPixel(5, 4), kBlack);
    EXPECT_EQ(dst.dc.GetPixel(7, 4), kWhite);
    EXPECT_EQ(dst.dc.GetPixel(4, 6), kWhite);
    EXPECT_EQ(dst.dc.GetPixel(3, 3), kWhite);
    EXPECT_FALSE(dst.dc.BitBlt(0, 0, 1, 1, &src.dc, 0, 0, 0x00EE0086)) << "only SRCCOPY is offered";
}

TEST_F(GdiTest, OddMontageSizeLeavesLastColumnAndRowWhite) {
    Canvas m(5, 3), cell(2, 1);
    m.dc.FillSolidRect(0, 0, 5, 3, kWhite);
    cell.dc.FillSolidRect(0, 0, 2, 1, kBlack);
    for (int k = 0; k < 4; ++k)
        m.dc.BitBlt((k % 2) * 2, (k / 2) * 1, 2, 1, &cell.dc, 0, 0, SRCCOPY);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(m.dc.GetPixel(x, y), (x == 4 || y == 2) ? kWhite : kBlack) << x << "," << y;
}

TEST_F(GdiTest, BitmapCompatibleWithAFreshMemoryContextIsMonochrome) {
    CClientDC screen(nullptr);
    CDC mem;
    mem.CreateCompatibleDC(&screen);
    CBitmap fromMem, fromScreen;
    fromMem.CreateCompatibleBitmap(&mem, 4, 4);
    fromScreen.CreateCompatibleBitmap(&screen, 4, 4);
    BITMAP a{}, b{};
    fromMem.GetBitmap(&a);
    fromScreen.GetBitmap(&b);
    EXPECT_EQ(a.bmBitsPixel, 1);
    EXPECT_EQ(b.bmBitsPixel, 32);
    EXPECT_EQ(b.bmWidth, 4);
    EXPECT_EQ(b.bmWidthBytes, 16);
}

TEST_F(GdiTest, SelectionRulesProtectBitmapsInUse) {
    CClientDC screen(nullptr);
    CDC a, b;
    a.CreateCompatibleDC(&screen);
    b.CreateCompatibleDC(&screen);
    HBITMAP h = ::CreateCompatibleBitmap(screen, 2, 2);
    HGDIOBJ stock = ::SelectObject(a, h);
    ASSERT_NE(stock, nullptr);
    EXPECT_EQ(::SelectObject(b, h), nullptr) << "one memory context at a time";
    EXPECT_FALSE(::DeleteObject(h)) << "a selected bitmap is not deleted";
    ::SelectObject(a, stock);
    EXPECT_TRUE(::DeleteObject(h));
    EXPECT_FALSE(::DeleteObject(h)) << "a handle dies once";
    EXPECT_EQ(::GetObjectW(h, sizeof(BITMAP), nullptr), 0);
}

TEST_F(GdiTest, DeletingAContextReleasesItsBitmap) {
    CClientDC screen(nullptr);
    HBITMAP h = ::CreateCompatibleBitmap(screen, 3, 3);
    HDC mem = ::CreateCompatibleDC(screen);
    ::SelectObject(mem, h);
    EXPECT_TRUE(::DeleteDC(mem));
    EXPECT_TRUE(::DeleteObject(h));
}

TEST_F(GdiTest, SizesOfZeroOrLessOrTooLargeMakeNoBitmap) {
    CClientDC screen(nullptr);
    for (auto [cx, cy] :
         std::vector<std::pair<int, int>>{{0, 5}, {5, 0}, {-1, 5}, {100000, 100000}, {20000, 1}})
        EXPECT_EQ(::CreateCompatibleBitmap(screen, cx, cy), nullptr) << cx << "x" << cy;
}

TEST_F(GdiTest, GetDIBitsGivesTopDownAndBottomUpRows) {
    Canvas c(3, 2);
    c.dc.FillSolidRect(0, 0, 3, 1, RGB(10, 20, 30)); // top row
    c.dc.FillSolidRect(0, 1, 3, 1, RGB(40, 50, 60)); // bottom row
    c.dc.SelectObject(c.old);
    c.old = nullptr;
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    ASSERT_EQ(::GetDIBits(c.screen, c.bitmap, 0, 0, nullptr, &bmi, DIB_RGB_COLORS), 2);
    EXPECT_EQ(bmi.bmiHeader.biWidth, 3);
    EXPECT_EQ(bmi.bmiHeader.biBitCount, 32);
    std::vector<BYTE> px(3 * 2 * 4);
    bmi.bmiHeader.biHeight = -2;
    ASSERT_EQ(::GetDIBits(c.screen, c.bitmap, 0, 2, px.data(), &bmi, DIB_RGB_COLORS), 2);
    EXPECT_EQ(px[0], 30); // B G R of the top row first
    EXPECT_EQ(px[2], 10);
    bmi.bmiHeader.biHeight = 2;
    bmi.bmiHeader.biBitCount = 24; // rows padded to 4 bytes: 9 -> 12
    std::vector<BYTE> rgb(12 * 2);
    ASSERT_EQ(::GetDIBits(c.screen, c.bitmap, 0, 2, rgb.data(), &bmi, DIB_RGB_COLORS), 2);
    EXPECT_EQ(rgb[0], 60); // bottom row first
    EXPECT_EQ(rgb[12], 30);
}

TEST_F(GdiTest, TemporaryWrappersLiveUntilIdleProcessing) {
    int before = AfxGetTempObjectCount();
    {
        Canvas c(2, 2); // selecting hands back a temporary wrapper of the stock bitmap
        EXPECT_GT(AfxGetTempObjectCount(), before);
    }
    AfxLockTempMaps();
    AfxUnlockTempMaps();
    EXPECT_EQ(AfxGetTempObjectCount(), 0);
}

TEST(GdiSysColor, FrameColours) {
    EXPECT_EQ(::GetSysColor(COLOR_BTNHIGHLIGHT), 0xFFFFFFu);
    EXPECT_EQ(::GetSysColor(COLOR_BTNSHADOW), 0xA0A0A0u);
}

} // namespace

namespace {

class StretchTest : public GdiTest {
protected:
    // Stretches a top-down 32-bit picture into a new canvas in the given mode and reads the canvas back.
    std::vector<COLORREF> Stretch(const std::vector<DWORD>& src, int sw, int sh, int dw, int dh, int mode) {
        Canvas c(dw, dh);
        ::SetStretchBltMode(c.dc, mode);
        BITMAPINFO bmi{};
        bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), sw, -sh, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        EXPECT_EQ(
            ::StretchDIBits(c.dc, 0, 0, dw, dh, 0, 0, sw, sh, src.data(), &bmi, DIB_RGB_COLORS, SRCCOPY), dh);
        return Read(c, dw, dh);
    }
    // The same for pixels in another layout.
    std::vector<COLORREF> Stretch(const tarnel::gdi::PixelRows& src, int dw, int dh, int mode) {
        Canvas c(dw, dh);
        ::SetStretchBltMode(c.dc, mode);
        EXPECT_EQ(tarnel::gdi::StretchPixelRows(c.dc, 0, 0, dw, dh, src), dh);
        return Read(c, dw, dh);
    }
    static std::vector<COLORREF> Read(Canvas& c, int dw, int dh) {
        std::vector<COLORREF> out;
        for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x)
                out.push_back(c.dc.GetPixel(x, y));
        return out;
    }
};

// Pixels that differ from their neighbours everywhere, with something in the unused fourth byte.
std::vector<DWORD> Noise(int w, int h) {
    std::vector<DWORD> px(size_t(w) * size_t(h));
    uint32_t state = 12345;
    for (DWORD& p : px)
        p = state = state * 1664525u + 1013904223u;
    return px;
}

// The exact average over the area of target pixel (x, y), channel c (0 blue, 1 green, 2 red).
double ExactAverage(const std::vector<DWORD>& src, int sw, int sh, int dw, int dh, int x, int y, int c) {
    auto overlap = [](double lo, double hi, int j) {
        return std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j)));
    };
    const double x0 = double(x) * sw / dw, x1 = double(x + 1) * sw / dw;
    const double y0 = double(y) * sh / dh, y1 = double(y + 1) * sh / dh;
    double sum = 0;
    for (int j = int(y0); j < sh && j < y1; ++j)
        for (int i = int(x0); i < sw && i < x1; ++i)
            sum += overlap(x0, x1, i) * overlap(y0, y1, j) *
                   double(src[size_t(j) * size_t(sw) + size_t(i)] >> (8 * c) & 0xFF);
    return sum / ((x1 - x0) * (y1 - y0));
}

TEST_F(StretchTest, HalftoneAveragesTheAreaEachPixelCovers) {
    // Black and white columns shrunk 2:1 give mid grey everywhere; a solid colour stays exact at any ratio.
    std::vector<DWORD> stripes(8 * 4);
    for (size_t i = 0; i < stripes.size(); ++i)
        stripes[i] = i % 2 ? 0xFFFFFF : 0;
    for (COLORREF p : Stretch(stripes, 8, 4, 4, 2, HALFTONE))
        EXPECT_EQ(p, RGB(128, 128, 128));
    std::vector<DWORD> solid(37 * 23, 0x336699);
    for (COLORREF p : Stretch(solid, 37, 23, 10, 7, HALFTONE))
        EXPECT_EQ(p, RGB(0x33, 0x66, 0x99));
    // Three pixels into two: the middle one is shared half and half.
    std::vector<DWORD> three = {0x000000, 0x0000FF, 0xFFFFFF};
    std::vector<COLORREF> two = Stretch(three, 3, 1, 2, 1, HALFTONE);
    EXPECT_EQ(two[0], RGB(0, 0, 85)); // (0 + 255 / 2) / 1.5
    EXPECT_EQ(two[1], RGB(170, 170, 255));
}

TEST_F(StretchTest, SameSizeCopiesExactlyAndBottomUpPicturesAreTurned) {
    std::vector<DWORD> src = {0x010203, 0x040506, 0x070809, 0x0A0B0C};
    EXPECT_EQ(Stretch(src, 2, 2, 2, 2, HALFTONE),
              (std::vector<COLORREF>{RGB(1, 2, 3), RGB(4, 5, 6), RGB(7, 8, 9), RGB(10, 11, 12)}));
    EXPECT_EQ(Stretch(src, 2, 2, 4, 2, COLORONCOLOR)[1], RGB(1, 2, 3)) << "nearest pixel when not halftone";
    Canvas c(2, 2);
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), 2, 2, 1, 32, BI_RGB, 0, 0, 0, 0, 0}; // bottom-up
    ::StretchDIBits(c.dc, 0, 0, 2, 2, 0, 0, 2, 2, src.data(), &bmi, DIB_RGB_COLORS, SRCCOPY);
    EXPECT_EQ(c.dc.GetPixel(0, 0), RGB(7, 8, 9));
    EXPECT_EQ(::StretchDIBits(c.dc, 0, 0, 2, 2, 1, 1, 2, 2, src.data(), &bmi, DIB_RGB_COLORS, SRCCOPY), 0)
        << "a source area outside the picture";
}

TEST_F(StretchTest, HalftoneIsTheExactAverageInEveryPixelLayout) {
    // From one to several taps on each axis, shrinking and enlarging, and rows whose pixels do not come in
    // whole blocks of the wider sums.
    struct Case {
        int sw, sh, dw, dh;
    };
    for (const Case& k : std::vector<Case>{{1, 1, 9, 4},
                                           {13, 7, 5, 3},
                                           {17, 9, 29, 13},
                                           {37, 11, 16, 5},
                                           {100, 3, 21, 2},
                                           {64, 20, 9, 3},
                                           {300, 5, 131, 3},
                                           {590, 2, 256, 1}}) {
        SCOPED_TRACE(::testing::Message() << k.sw << "x" << k.sh << " to " << k.dw << "x" << k.dh);
        const std::vector<DWORD> dib = Noise(k.sw, k.sh);
        const std::vector<COLORREF> want = Stretch(dib, k.sw, k.sh, k.dw, k.dh, HALFTONE);
        for (int y = 0; y < k.dh; ++y)
            for (int x = 0; x < k.dw; ++x)
                for (int c = 0; c < 3; ++c) {
                    const int got = int(want[size_t(y) * size_t(k.dw) + size_t(x)] >> (8 * (2 - c)) & 0xFF);
                    ASSERT_LE(std::abs(got - ExactAverage(dib, k.sw, k.sh, k.dw, k.dh, x, y, c)), 1.0)
                        << "pixel " << x << "," << y << " channel " << c;
                }
        // The same pixels as red, green, blue (and alpha) bytes, or blue, green, red, in rows with padding
        // after them, top-down or bottom-up, give the same picture in either mode.
        for (int bpp : {3, 4})
            for (bool rgb : {false, true})
                for (bool bottomUp : {false, true}) {
                    const ptrdiff_t stride = ptrdiff_t(k.sw) * bpp + 5;
                    std::vector<uint8_t> bytes(size_t(stride) * size_t(k.sh), 0xAA);
                    for (int y = 0; y < k.sh; ++y)
                        for (int x = 0; x < k.sw; ++x) {
                            const DWORD p = dib[size_t(y) * size_t(k.sw) + size_t(x)];
                            uint8_t* out = bytes.data() + (bottomUp ? k.sh - 1 - y : y) * stride + x * bpp;
                            for (int i = 0; i < bpp; ++i)
                                out[i] = uint8_t(p >> (8 * (rgb && i < 3 ? 2 - i : i)));
                        }
                    const tarnel::gdi::PixelRows rows = {bytes.data() + (bottomUp ? (k.sh - 1) * stride : 0),
                                                         bottomUp ? -stride : stride,
                                                         k.sw,
                                                         k.sh,
                                                         bpp,
                                                         rgb};
                    EXPECT_EQ(Stretch(rows, k.dw, k.dh, HALFTONE), want)
                        << bpp << " bytes, " << (rgb ? "RGB" : "BGR") << (bottomUp ? ", bottom-up" : "");
                    EXPECT_EQ(Stretch(rows, k.dw, k.dh, COLORONCOLOR),
                              Stretch(dib, k.sw, k.sh, k.dw, k.dh, COLORONCOLOR))
                        << bpp << " bytes, " << (rgb ? "RGB" : "BGR") << (bottomUp ? ", bottom-up" : "");
                }
    }
}

TEST_F(StretchTest, DrawingPartlyOutsideTheBitmapKeepsTheRestAndMonochromeIsBlackOrWhite) {
    const std::vector<DWORD> src = Noise(23, 17);
    const std::vector<COLORREF> whole = Stretch(src, 23, 17, 11, 7, HALFTONE);
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), 23, -17, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    for (auto [xDest, yDest] : std::vector<std::pair<int, int>>{{-4, 3}, {2, -5}, {-20, 0}, {6, 6}}) {
        Canvas c(9, 8);
        c.dc.FillSolidRect(0, 0, 9, 8, RGB(1, 2, 3));
        ::SetStretchBltMode(c.dc, HALFTONE);
        EXPECT_EQ(::StretchDIBits(c.dc, xDest, yDest, 11, 7, 0, 0, 23, 17, src.data(), &bmi, DIB_RGB_COLORS,
                                  SRCCOPY),
                  7);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 9; ++x) {
                const int sx = x - xDest, sy = y - yDest;
                const bool drawn = sx >= 0 && sx < 11 && sy >= 0 && sy < 7;
                EXPECT_EQ(c.dc.GetPixel(x, y), drawn ? whole[size_t(sy) * 11 + size_t(sx)] : RGB(1, 2, 3))
                    << "at " << x << "," << y << " drawn at " << xDest << "," << yDest;
            }
    }
    // A monochrome bitmap: light pixels white, dark ones black.
    CClientDC screen(nullptr);
    CDC mem;
    mem.CreateCompatibleDC(&screen);
    CBitmap mono;
    mono.CreateCompatibleBitmap(&mem, 4, 1);
    CBitmap* old = mem.SelectObject(&mono);
    const std::vector<DWORD> grey = {0x101010, 0x7F7F7F, 0x808080, 0xF0F0F0};
    bmi.bmiHeader.biWidth = 4;
    bmi.bmiHeader.biHeight = -1;
    ::SetStretchBltMode(mem, HALFTONE);
    EXPECT_EQ(::StretchDIBits(mem, 0, 0, 4, 1, 0, 0, 4, 1, grey.data(), &bmi, DIB_RGB_COLORS, SRCCOPY), 1);
    EXPECT_EQ(mem.GetPixel(0, 0), kBlack);
    EXPECT_EQ(mem.GetPixel(1, 0), kBlack);
    EXPECT_EQ(mem.GetPixel(2, 0), kWhite);
    EXPECT_EQ(mem.GetPixel(3, 0), kWhite);
    mem.SelectObject(old);
}

} // namespace
