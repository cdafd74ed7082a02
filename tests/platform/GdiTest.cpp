#include "platform/gdi.h"
#include "platform/afxwin.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBlack = RGB(0, 0, 0);

TARNEL_GDI_COUNTS Counts() {
    TARNEL_GDI_COUNTS c{};
    TarnelGetGdiCounts(&c);
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
        TARNEL_GDI_COUNTS after = Counts();
        EXPECT_EQ(after.bitmaps, before.bitmaps);
        EXPECT_EQ(after.dcs, before.dcs);
    }
    TARNEL_GDI_COUNTS before{};
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
        std::vector<COLORREF> out;
        for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x)
                out.push_back(c.dc.GetPixel(x, y));
        return out;
    }
};

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

} // namespace
