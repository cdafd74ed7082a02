#include "TestUtil.h"

#include "afxwin.h"
#include "platform/tarnel/gdicounts.h"
#include "platform/tarnel/icontheme.h"
#include "shellapi.h"
#include "sources/IconThumbnail.h"
#include "wingdi.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

using tarnel::plat::FileContentType;

using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

const COLORREF kWhite = RGB(255, 255, 255), kRed = RGB(255, 0, 0);

// An icon file: opaque red, except its top-left pixel, which is fully transparent.
void WriteIcon(const std::string& path, int size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    GdkPixbuf* p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
    gdk_pixbuf_fill(p, 0xFF0000FF);
    gdk_pixbuf_get_pixels(p)[3] = 0;
    ASSERT_TRUE(gdk_pixbuf_save(p, path.c_str(), "png", nullptr, nullptr));
    g_object_unref(p);
}

// A private icon theme that the user has chosen, holding an icon for plain text in two sizes.
class IconFallback : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(
            dir / "data/icons/TestTheme/index.theme",
            "[Icon Theme]\nName=TestTheme\nInherits=hicolor\nDirectories=48x48/mimetypes,32x32/mimetypes\n\n"
            "[32x32/mimetypes]\nSize=32\nType=Fixed\n\n[48x48/mimetypes]\nSize=48\nType=Fixed\n");
        WriteIcon(dir / "data/icons/TestTheme/32x32/mimetypes/text-x-generic.png", 32);
        WriteIcon(dir / "data/icons/TestTheme/48x48/mimetypes/text-x-generic.png", 48);
        WriteFile(dir / "config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name=TestTheme\n");
        WriteFile(dir / "notes.txt", "plain text\n");
        before = Counts();
    }
    void TearDown() override {
        AfxLockTempMaps();
        AfxUnlockTempMaps();
        tarnel::gdi::ObjectCounts after = Counts();
        EXPECT_EQ(after.bitmaps, before.bitmaps);
        EXPECT_EQ(after.dcs, before.dcs);
        EXPECT_EQ(after.brushes, before.brushes);
        EXPECT_EQ(after.icons, before.icons);
    }
    static tarnel::gdi::ObjectCounts Counts() {
        tarnel::gdi::ObjectCounts c{};
        tarnel::gdi::GetObjectCounts(&c);
        return c;
    }
    // The icon picture of a file at a size, as its pixels' colours in a grid.
    struct Picture {
        int width = 0, height = 0;
        std::vector<COLORREF> px;
        COLORREF operator()(int x, int y) const { return px[size_t(y) * size_t(width) + size_t(x)]; }
        // The bounding box of the non-white pixels: left, top, right, bottom (exclusive).
        RECT Ink() const {
            RECT r = {width, height, 0, 0};
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    if ((*this)(x, y) != kWhite)
                        r = {std::min<LONG>(r.left, x), std::min<LONG>(r.top, y),
                             std::max<LONG>(r.right, x + 1), std::max<LONG>(r.bottom, y + 1)};
            return r;
        }
    };
    Picture Icon(const std::string& path, SIZE size) {
        Picture pic;
        HBITMAP h = CreateIconThumbnail(Wide(path).c_str(), size);
        if (h == nullptr)
            return pic;
        HDC dc = ::CreateCompatibleDC(nullptr);
        HGDIOBJ old = ::SelectObject(dc, h);
        pic.width = size.cx, pic.height = size.cy;
        for (int y = 0; y < size.cy; ++y)
            for (int x = 0; x < size.cx; ++x)
                pic.px.push_back(::GetPixel(dc, x, y));
        BITMAP bm{};
        ::GetObjectW(h, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, size.cx);
        EXPECT_EQ(bm.bmHeight, size.cy);
        ::SelectObject(dc, old);
        ::DeleteDC(dc);
        ::DeleteObject(h);
        return pic;
    }

    TempDir dir;
    ScopedEnv dataDirs{"XDG_DATA_DIRS", dir / "data" + ":/usr/share"};
    ScopedEnv dataHome{"XDG_DATA_HOME", dir / "nothing"};
    ScopedEnv config{"XDG_CONFIG_HOME", dir / "config"};
    ScopedEnv home{"HOME", dir / "home"};
    tarnel::gdi::ObjectCounts before{};
};

TEST_F(IconFallback, TheLargeIconIsCentredOnWhite) {
    Picture p = Icon(dir / "notes.txt", {96, 96});
    ASSERT_EQ(p.width, 96);
    RECT ink = p.Ink();
    EXPECT_EQ(ink.left, 32);
    EXPECT_EQ(ink.top, 32);
    EXPECT_EQ(ink.right, 64) << "32 x 32: the large size, not the 48 x 48 file";
    EXPECT_EQ(ink.bottom, 64);
    EXPECT_EQ(p(32, 32), kWhite) << "drawn through its transparency";
    EXPECT_EQ(p(33, 32), kRed);
    EXPECT_EQ(p(0, 0), kWhite);
}

TEST_F(IconFallback, PositionUsesTruncatingHalves) {
    RECT ink = Icon(dir / "notes.txt", {97, 97}).Ink();
    EXPECT_EQ(ink.left, 32) << "97 / 2 - 16";
    EXPECT_EQ(ink.top, 32);
    ink = Icon(dir / "notes.txt", {96, 64}).Ink();
    EXPECT_EQ(ink.left, 32);
    EXPECT_EQ(ink.top, 16);
}

TEST_F(IconFallback, AnIconAsLargeAsTheRequestIsDrawnFromTheCornerAndClipped) {
    Picture p = Icon(dir / "notes.txt", {20, 40});
    ASSERT_EQ(p.width, 20);
    RECT ink = p.Ink();
    EXPECT_EQ(ink.left, 0) << "from the left edge";
    EXPECT_EQ(ink.right, 20);
    EXPECT_EQ(ink.top, 4); // 40 / 2 - 16
    EXPECT_EQ(ink.bottom, 36);
    EXPECT_EQ(p(0, 4), kWhite) << "the icon's transparent corner";
    EXPECT_EQ(p(1, 4), kRed);
}

// A theme's sizes are whatever its index.theme says: the extremes of an int must not overflow the lookup's
// arithmetic (UndefinedBehaviorSanitizer stops the sanitizer build there), and the icon still comes from the
// directory that fits.
TEST_F(IconFallback, ExtremeSizesInAThemeAreMeasuredWithoutOverflow) {
    WriteFile(dir / "data/icons/TestTheme/index.theme",
              "[Icon Theme]\nName=TestTheme\nDirectories=low,high,wide,32x32/mimetypes\n\n"
              "[low]\nSize=-2147483648\nType=Threshold\nThreshold=2147483647\n\n"
              "[high]\nSize=2147483647\nType=Fixed\n\n"
              "[wide]\nSize=1\nType=Scalable\nMinSize=-2147483648\nMaxSize=-2147483647\n\n"
              "[32x32/mimetypes]\nSize=32\nType=Fixed\n");
    for (const char* folder : {"low", "high", "wide"})
        WriteIcon(dir / ("data/icons/TestTheme/" + std::string(folder) + "/text-x-generic.png"), 8);
    const RECT ink = Icon(dir / "notes.txt", {96, 96}).Ink();
    EXPECT_EQ(ink.right - ink.left, 32) << "the 32 x 32 file, the one that fits";
}

TEST_F(IconFallback, NoPathOrNoFileGivesNoPicture) {
    EXPECT_EQ(CreateIconThumbnail(nullptr, {96, 96}), nullptr);
    EXPECT_EQ(Icon(dir / "missing.txt", {96, 96}).width, 0) << "no icon, not a white bitmap";
    EXPECT_EQ(Icon(dir / "notes.txt", {0, 96}).width, 0);
}

TEST_F(IconFallback, AMissingThemeFallsBackToTheStandardThemes) {
    WriteFile(dir / "config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name=NoSuchTheme\n");
    Picture p = Icon(dir / "notes.txt", {64, 64});
    ASSERT_EQ(p.width, 64) << "hicolor or Adwaita serve";
    RECT ink = p.Ink();
    EXPECT_GE(ink.left, 16);
    EXPECT_LE(ink.right, 48);
    EXPECT_NE(p(32, 32), kRed) << "not the private theme's icon";
}

TEST_F(IconFallback, FifosAndFoldersHaveIconsWithoutBeingRead) {
    ASSERT_EQ(::mkfifo((dir / "pipe.kpv").c_str(), 0600), 0);
    std::filesystem::create_directories(dir / "folder.qzt");
    EXPECT_EQ(FileContentType(Wide(dir / "pipe.kpv").c_str()), "inode/fifo");
    EXPECT_EQ(FileContentType(Wide(dir / "folder.qzt").c_str()), "inode/directory");
    EXPECT_EQ(Icon(dir / "pipe.kpv", {48, 48}).width, 48);
}

TEST(GdiIcons, IconInfoDrawingAndRelease) {
    tarnel::gdi::ObjectCounts before{}, after{};
    tarnel::gdi::GetObjectCounts(&before);
    {
        TempDir dir;
        WriteIcon(dir / "i.png", 32);
        WriteFile(dir / "f.txt", "x");
        ScopedEnv dataDirs("XDG_DATA_DIRS", dir.path().string() + ":/usr/share");
        SHFILEINFOW info = {};
        ASSERT_EQ(::SHGetFileInfoW(Wide(dir / "f.txt").c_str(), 0, &info, sizeof info, SHGFI_ICON), 1u);
        ASSERT_NE(info.hIcon, nullptr);
        ICONINFO ii = {};
        ASSERT_TRUE(::GetIconInfo(info.hIcon, &ii));
        EXPECT_EQ(ii.xHotspot, 16u);
        EXPECT_EQ(ii.yHotspot, 16u);
        BITMAP color{}, mask{};
        ::GetObjectW(ii.hbmColor, sizeof color, &color);
        ::GetObjectW(ii.hbmMask, sizeof mask, &mask);
        EXPECT_EQ(color.bmBitsPixel, 32);
        EXPECT_EQ(mask.bmBitsPixel, 1);
        EXPECT_FALSE(::DeleteObject(info.hIcon)) << "icons go with DestroyIcon";
        EXPECT_TRUE(::DestroyIcon(info.hIcon));
        EXPECT_FALSE(::DestroyIcon(info.hIcon));
        EXPECT_TRUE(::DeleteObject(ii.hbmColor));
        EXPECT_TRUE(::DeleteObject(ii.hbmMask));
        SHFILEINFOW none = {};
        EXPECT_EQ(::SHGetFileInfoW(Wide(dir / "missing").c_str(), 0, &none, sizeof none, SHGFI_ICON), 0u);
        EXPECT_EQ(none.hIcon, nullptr);
    }
    tarnel::gdi::GetObjectCounts(&after);
    EXPECT_EQ(after.icons, before.icons);
    EXPECT_EQ(after.bitmaps, before.bitmaps);
}

} // namespace
