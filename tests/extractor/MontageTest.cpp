#include "Extractor.h"
#include "TestUtil.h"
#include "support/BmpWriter.h"

#include "dibkit/dibkit.h"

#include <sys/resource.h>

#include <csignal>

using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

const COLORREF kWhite = RGB(255, 255, 255), kShadow = RGB(160, 160, 160);
const uint32_t kColours[] = {0xC00000, 0x00C000, 0x0000C0, 0xC0C000, 0x00C0C0};

COLORREF Colour(uint32_t rgb) {
    return RGB(rgb >> 16, rgb >> 8 & 0xFF, rgb & 0xFF);
}

// Reads pixels of a bitmap through a memory context.
class Reader {
public:
    explicit Reader(HBITMAP h) : m_dc(::CreateCompatibleDC(nullptr)), m_old(::SelectObject(m_dc, h)) {
        BITMAP bm{};
        ::GetObjectW(h, sizeof bm, &bm);
        width = bm.bmWidth, height = bm.bmHeight;
    }
    ~Reader() {
        ::SelectObject(m_dc, m_old);
        ::DeleteDC(m_dc);
    }
    COLORREF operator()(int x, int y) const { return ::GetPixel(m_dc, x, y); }
    int width = 0, height = 0;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

class Montage : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "tmp");
        before = LiveObjects::Now();
        // Five studies, each a solid 200 x 160 picture: at a 60 x 48 cell it fits exactly.
        for (int k = 0; k < 5; ++k)
            WriteFile(dir / ("s" + std::to_string(k) + ".qzt"),
                      bmp::Study(bmp::Encode(bmp::Solid(200, 160, kColours[k]), bmp::Variant::Rgb24)));
        WriteFile(dir / "plain.qzt", "a study without a picture");
    }
    void TearDown() override {
        if (x.bitmap != nullptr)
            ::DeleteObject(x.bitmap);
        EXPECT_EQ(LiveObjects::Now(), before);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "tmp"));
    }
    HRESULT RunProject(const std::string& content, SIZE size) {
        WriteFile(dir / "p.kpv", content);
        return x.Run(Wide(dir / "p.kpv"), size);
    }
    // A framed cell: the frame over the picture, the picture inside.
    void ExpectCell(const Reader& px, int cx, int cy, int w, int h, COLORREF inside) {
        EXPECT_EQ(px(cx, cy), kWhite);
        EXPECT_EQ(px(cx + w - 2, cy), kWhite);
        EXPECT_EQ(px(cx, cy + h - 2), kWhite);
        EXPECT_EQ(px(cx + w - 1, cy), kShadow) << "top-right corner";
        EXPECT_EQ(px(cx, cy + h - 1), kShadow) << "bottom-left corner";
        EXPECT_EQ(px(cx + w - 1, cy + h - 1), kShadow);
        EXPECT_EQ(px(cx + w / 2, cy + h - 1), kShadow);
        EXPECT_EQ(px(cx + w - 1, cy + h / 2), kShadow);
        EXPECT_EQ(px(cx + 1, cy + 1), inside);
        EXPECT_EQ(px(cx + w - 2, cy + h - 2), inside);
    }
    void ExpectWhite(const Reader& px, int x0, int y0, int w, int h) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x1 = x0; x1 < x0 + w; ++x1)
                ASSERT_EQ(px(x1, y), kWhite) << x1 << "," << y;
    }
    TempDir dir;
    ScopedEnv xdg{"XDG_RUNTIME_DIR", std::nullopt};
    ScopedEnv tmp{"TMPDIR", dir / "tmp"};
    LiveObjects before;
    Extractor x;
};

TEST_F(Montage, FiveStudiesFillFourFramedCells) {
    ASSERT_EQ(RunProject("STUDY s0.qzt s1.qzt\nSTUDY s2.qzt s3.qzt s4.qzt\n", {120, 96}), S_OK);
    Reader px(x.bitmap);
    ASSERT_EQ(px.width, 120);
    ASSERT_EQ(px.height, 96);
    ExpectCell(px, 0, 0, 60, 48, Colour(kColours[0]));
    ExpectCell(px, 60, 0, 60, 48, Colour(kColours[1]));
    ExpectCell(px, 0, 48, 60, 48, Colour(kColours[2]));
    ExpectCell(px, 60, 48, 60, 48, Colour(kColours[3]));
}

TEST_F(Montage, OddSizeLeavesTheLastColumnRowAndEmptyCellsWhite) {
    ASSERT_EQ(RunProject("STUDY s0.qzt s1.qzt s2.qzt\n", {121, 97}), S_OK);
    Reader px(x.bitmap);
    ASSERT_EQ(px.width, 121);
    ExpectCell(px, 0, 0, 60, 48, Colour(kColours[0]));
    ExpectCell(px, 0, 48, 60, 48, Colour(kColours[2]));
    ExpectWhite(px, 60, 48, 61, 49); // the fourth cell, unframed, and beyond
    ExpectWhite(px, 120, 0, 1, 97);
    ExpectWhite(px, 0, 96, 121, 1);
}

TEST_F(Montage, AStudyWithoutAPictureKeepsItsCellWhite) {
    ASSERT_EQ(RunProject("STUDY plain.qzt s1.qzt\n", {120, 96}), S_OK);
    Reader px(x.bitmap);
    ExpectWhite(px, 0, 0, 60, 48);
    ExpectCell(px, 60, 0, 60, 48, Colour(kColours[1]));
}

TEST_F(Montage, OneStudyGivesItsOwnPictureUnframed) {
    ASSERT_EQ(RunProject("STUDY s2.qzt\n", {120, 96}), S_OK);
    Reader px(x.bitmap);
    EXPECT_EQ(px.width, 120); // 200 x 160 fitted into 120 x 96
    EXPECT_EQ(px.height, 96);
    EXPECT_EQ(px(0, 0), Colour(kColours[2]));
    EXPECT_EQ(px(119, 95), Colour(kColours[2]));
}

TEST_F(Montage, AStudyOrProjectFileGivesItsOwnPicture) {
    ASSERT_EQ(x.Run(Wide(dir / "s4.qzt"), {50, 50}), S_OK);
    Reader px(x.bitmap);
    EXPECT_EQ(px.width, 50);
    EXPECT_EQ(px.height, 40);
    EXPECT_EQ(px(25, 20), Colour(kColours[4]));
}

TEST_F(Montage, ProjectsWithoutStudyPicturesFallBack) {
    // A single study without a picture: the project file's own chain runs next (it holds a picture here).
    WriteFile(dir / "self.kpv", "STUDY plain.qzt\n<THUMBNAIL>" +
                                    bmp::Encode(bmp::Solid(10, 10, 0x123456), bmp::Variant::Rgb24));
    ASSERT_EQ(x.Run(Wide(dir / "self.kpv"), {64, 64}), S_OK);
    EXPECT_EQ(Reader(x.bitmap)(5, 5), Colour(0x123456));
    ::DeleteObject(x.bitmap);
    x.bitmap = nullptr;
    // Two studies without pictures: the empty montage is dropped, the own chain is not tried, and the
    // project's icon is handed out.
    WriteFile(dir / "none.kpv", "STUDY plain.qzt plain.qzt\n<THUMBNAIL>" +
                                    bmp::Encode(bmp::Solid(10, 10, 0), bmp::Variant::Rgb24));
    EXPECT_EQ(x.Run(Wide(dir / "none.kpv"), {64, 64}), HRESULT(0xFFFFFFFF));
    ASSERT_NE(x.bitmap, nullptr);
    Reader icon(x.bitmap);
    EXPECT_EQ(icon(0, 0), kWhite);
    EXPECT_NE(icon(5, 5), Colour(0)) << "not the project's own picture";
}

TEST_F(Montage, AFileErrorAfterTheFirstCellLosesTheMontage) {
    // The second study's picture is larger than the process may write to its temporary file.
    WriteFile(dir / "big.qzt", bmp::Study(bmp::Encode(bmp::Solid(100, 100, 0), bmp::Variant::Rgb24)));
    WriteFile(dir / "small.qzt", bmp::Study(bmp::Encode(bmp::Solid(8, 8, 0xFF0000), bmp::Variant::Rgb24)));
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit limit = {4096, old.rlim_max};
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    WriteFile(dir / "p.kpv", "STUDY small.qzt big.qzt\n");
    HRESULT afterFirst = x.Run(Wide(dir / "p.kpv"), {120, 96});
    HBITMAP lost = x.bitmap;
    WriteFile(dir / "q.kpv", "STUDY big.qzt small.qzt\n");
    HRESULT beforeAny = x.Run(Wide(dir / "q.kpv"), {120, 96});
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(afterFirst, E_FAIL);
    EXPECT_EQ(lost, nullptr);
    EXPECT_EQ(beforeAny, HRESULT(0xFFFFFFFF)) << "no cell drawn: the icon fallback";
    EXPECT_NE(x.bitmap, nullptr);
}

} // namespace
