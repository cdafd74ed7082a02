#include "TestUtil.h"
#include "support/BitmapPixels.h"
#include "support/BmpWriter.h"

#include "dibkit/dibkit.h"
#include "platform/tarnel/gdicounts.h"
#include "platform/tarnel/widestr.h"
#include "winbase.h"
#include "wingdi.h"

#include <sys/stat.h>

using tarnel::plat::NarrowFileName;

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

int Distance(uint32_t a, uint32_t b) {
    int d = 0;
    for (int s = 0; s < 24; s += 8)
        d = std::max(d, std::abs(int(a >> s & 0xFF) - int(b >> s & 0xFF)));
    return d;
}

class DibVariants : public ::testing::TestWithParam<bmp::Variant> {};

TEST_P(DibVariants, DecodesToTheRightPixelsAtItsOwnSize) {
    const bmp::Variant v = GetParam();
    const bmp::Image img = bmp::Pattern(13, 7, bmp::MaxColours(v)); // odd width: every row is padded
    TempDir dir;
    WriteFile(dir / "p.bmp", bmp::Encode(img, v));
    CDIB dib(Wide(dir / "p.bmp").c_str());
    ASSERT_NE(dib.GetSafeHandle(), nullptr) << bmp::Name(v);
    EXPECT_EQ(dib.GetWidth(), 13u);
    EXPECT_EQ(dib.GetHeight(), 7u);
    HBITMAP h = dib.GetBitmap(13, 7);
    ASSERT_NE(h, nullptr);
    const testutil::Picture p = testutil::ReadBitmap(h);
    ASSERT_EQ(p.width, 13);
    ASSERT_EQ(p.height, 7);
    // 16-bit pixels keep 5 or 6 bits a channel; the pattern's colours are 0 or 255 there, so exact too.
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x)
            ASSERT_EQ(Distance(p.At(x, y), img.At(x, y)), 0) << bmp::Name(v) << " at " << x << "," << y;
    ::DeleteObject(h);
}

TEST_P(DibVariants, DamagedOrTruncatedGivesNoPicture) {
    const bmp::Variant v = GetParam();
    const std::string good = bmp::Encode(bmp::Pattern(13, 7, bmp::MaxColours(v)), v);
    TempDir dir;
    for (size_t cut : {size_t(0), size_t(2), size_t(14), size_t(20), good.size() / 2, good.size() - 9}) {
        WriteFile(dir / "t.bmp", good.substr(0, cut));
        CDIB dib(Wide(dir / "t.bmp").c_str());
        EXPECT_EQ(dib.GetSafeHandle(), nullptr) << bmp::Name(v) << " cut at " << cut;
        HBITMAP h = dib.GetBitmap(10, 10);
        EXPECT_EQ(h, nullptr);
        if (h != nullptr)
            ::DeleteObject(h);
    }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, DibVariants, ::testing::ValuesIn(bmp::AllVariants()),
                         [](const auto& info) { return std::string(bmp::Name(info.param)); });

TEST(Dib, HeadersThatPromiseTooMuchAreRefusedBeforeDecoding) {
    TempDir dir;
    std::string pic = bmp::Encode(bmp::Pattern(4, 4, 0), bmp::Variant::Rgb24);
    auto patch = [&](int32_t w, int32_t h) {
        std::string p = pic;
        for (int i = 0; i < 4; ++i) {
            p[18 + i] = char(uint32_t(w) >> (8 * i));
            p[22 + i] = char(uint32_t(h) >> (8 * i));
        }
        return p;
    };
    for (auto [w, h] : std::vector<std::pair<int32_t, int32_t>>{
             {46341, 46341}, {65536, 32768}, {1, INT32_MIN}, {0, 4}, {4, 0}, {-4, 4}, {16385, 1}}) {
        WriteFile(dir / "big.bmp", patch(w, h));
        CDIB dib(Wide(dir / "big.bmp").c_str());
        EXPECT_EQ(dib.GetSafeHandle(), nullptr) << w << "x" << h;
    }
    std::string colours = bmp::Encode(bmp::Pattern(4, 4, 4), bmp::Variant::Pal8);
    for (int i = 0; i < 4; ++i)
        colours[46 + i] = char(0xFFFF00FFu >> (8 * i)); // a colour count that would size a 16 GiB palette
    WriteFile(dir / "colours.bmp", colours);
    EXPECT_EQ(CDIB(Wide(dir / "colours.bmp").c_str()).GetSafeHandle(), nullptr);
    // An optional colour table in front of 24-bit pixels is fine only while the file holds all of it.
    std::string table = bmp::Encode(bmp::Pattern(4, 4, 0), bmp::Variant::Rgb24Table);
    table[47] = char(0x10); // 4,328 colours: the table would run past the end of the file
    WriteFile(dir / "table.bmp", table);
    EXPECT_EQ(CDIB(Wide(dir / "table.bmp").c_str()).GetSafeHandle(), nullptr);
    WriteFile(dir / "png.bmp", "\x89PNG\r\n\x1a\n" + std::string(64, '\0'));
    EXPECT_EQ(CDIB(Wide(dir / "png.bmp").c_str()).GetSafeHandle(), nullptr) << "only BMP is decoded";
    EXPECT_EQ(CDIB(L"").GetSafeHandle(), nullptr);
    EXPECT_EQ(CDIB(nullptr).GetSafeHandle(), nullptr);
}

TEST(Dib, ShrinkingAveragesInsteadOfPickingPixels) {
    // One-pixel black and white stripes: picking pixels gives black or white, averaging gives grey.
    bmp::Image stripes = bmp::Solid(64, 64, 0);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; x += 2)
            stripes.pixels[size_t(y) * 64 + size_t(x)] = 0xFFFFFF;
    TempDir dir;
    WriteFile(dir / "s.bmp", bmp::Encode(stripes, bmp::Variant::Rgb24));
    CDIB dib(Wide(dir / "s.bmp").c_str());
    HBITMAP h = dib.GetBitmap(16, 16);
    ASSERT_NE(h, nullptr);
    for (uint32_t p : testutil::ReadBitmap(h).px)
        EXPECT_LE(Distance(p, 0x808080), 8);
    ::DeleteObject(h);
    EXPECT_EQ(dib.GetBitmap(0, 10), nullptr);
    EXPECT_EQ(dib.GetBitmap(20000, 10), nullptr);
}

TEST(ImageConvertor, NamesArePrivateNewFilesInTheFirstUsableFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir / "run");
    WriteFile(dir / "notafolder", "");
    {
        testutil::ScopedEnv xdg("XDG_RUNTIME_DIR", dir / "run");
        testutil::ScopedEnv tmp("TMPDIR", dir / "tmp-missing");
        CImageConvertor c;
        CString a = c.CreateImageName(L".bmp"), b = c.CreateImageName(L".bmp");
        EXPECT_NE(a.str(), b.str());
        std::string path = NarrowFileName(a.str());
        EXPECT_EQ(path.rfind(dir / "run/", 0), 0u) << path;
        EXPECT_EQ(path.substr(path.size() - 4), ".bmp");
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(CImageConvertor::GetLiveImageCount(), 2);
        ::DeleteFileW(a);
        ::DeleteFileW(b);
        EXPECT_EQ(CImageConvertor::GetLiveImageCount(), 0);
    }
    testutil::ScopedEnv xdg("XDG_RUNTIME_DIR", dir / "notafolder");
    testutil::ScopedEnv tmp("TMPDIR", dir.path().string());
    CImageConvertor c;
    CString name = c.CreateImageName(L".bmp");
    EXPECT_EQ(NarrowFileName(name.str()).rfind(dir.path().string() + "/", 0), 0u);
    ::DeleteFileW(name);
}

TEST(DeviceContextHelpers, RestorerDeselectsAndHelpersRelease) {
    tarnel::gdi::ObjectCounts before{}, after{};
    tarnel::gdi::GetObjectCounts(&before);
    {
        CClientDC screen(nullptr);
        CCompatibleDC mem(&screen);
        CCompatibleBitmap bitmap(&screen, 8, 8);
        CDCRestorer restorer(&mem);
        mem.SelectObject(&bitmap);
        EXPECT_EQ(::GetCurrentObject(mem, OBJ_BITMAP), bitmap.m_hObject);
        restorer.Restore();
        EXPECT_NE(::GetCurrentObject(mem, OBJ_BITMAP), bitmap.m_hObject);
    }
    AfxLockTempMaps();
    AfxUnlockTempMaps();
    tarnel::gdi::GetObjectCounts(&after);
    EXPECT_EQ(after.bitmaps, before.bitmaps);
    EXPECT_EQ(after.dcs, before.dcs);
}

} // namespace
