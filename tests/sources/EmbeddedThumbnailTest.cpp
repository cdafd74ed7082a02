#include "TestUtil.h"
#include "support/BmpWriter.h"

#include "afxfile.h"
#include "dibkit/dibkit.h"
#include "sources/EmbeddedThumbnail.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>

using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

CByteArray Bytes(const std::string& s) {
    CByteArray a;
    for (char c : s)
        a.Add(BYTE(c));
    return a;
}

SIZE BitmapSize(HBITMAP h) {
    BITMAP bm{};
    ::GetObjectW(h, sizeof bm, &bm);
    return {bm.bmWidth, bm.bmHeight};
}

TEST(FindThumbnailOffset, TheMarkerNearestTheEndWins) {
    EXPECT_EQ(FindThumbnailOffset(Bytes("<THUMBNAIL>")), 11);
    EXPECT_EQ(FindThumbnailOffset(Bytes("ab<THUMBNAIL>xy<THUMBNAIL>BMzz")), 26);
    EXPECT_EQ(FindThumbnailOffset(Bytes("<THUMBNAIL")), 0) << "fewer than 11 bytes";
    EXPECT_EQ(FindThumbnailOffset(Bytes("<thumbnail>BM")), 0) << "case matters";
    EXPECT_EQ(FindThumbnailOffset(Bytes("<THUMBNAIL>>")), 11) << "every position is tried";
    EXPECT_EQ(FindThumbnailOffset(Bytes("")), 0);
    EXPECT_EQ(FindThumbnailOffset(Bytes("THUMBNAIL>BM")), 0);
}

TEST(ReadFileTail, ReadsTheLastMebibyteOrTheWholeSmallerFile) {
    TempDir dir;
    std::string exact(kThumbnailWindow, 'a');
    exact[0] = 'F';
    WriteFile(dir / "exact", exact);
    CByteArray a;
    EXPECT_EQ(ReadFileTail(Wide(dir / "exact").c_str(), a), kThumbnailWindow);
    EXPECT_EQ(a[0], 'F') << "a file of exactly the window is read whole";
    WriteFile(dir / "more", "F" + exact);
    CByteArray b;
    EXPECT_EQ(ReadFileTail(Wide(dir / "more").c_str(), b), kThumbnailWindow);
    EXPECT_EQ(b[0], 'F') << "the first byte of the longer file is not read";
    CByteArray c;
    EXPECT_EQ(ReadFileTail(Wide(dir / "missing").c_str(), c), 0);
    EXPECT_EQ(ReadFileTail(nullptr, c), 0);
    WriteFile(dir / "empty", "");
    EXPECT_EQ(ReadFileTail(Wide(dir / "empty").c_str(), c), 0);
}

TEST(ReadFileTail, MarkersAtTheWindowsEdge) {
    TempDir dir;
    const std::string marker = "<THUMBNAIL>";
    // A marker that starts at offset 0 of a file one byte longer than the window is not found.
    WriteFile(dir / "a", marker + std::string(kThumbnailWindow + 1 - marker.size(), 'x'));
    CByteArray a;
    ReadFileTail(Wide(dir / "a").c_str(), a);
    EXPECT_EQ(FindThumbnailOffset(a), 0);
    // 2,000,000 bytes with the marker 1,048,576 bytes before the end: found; 1,048,577: not found.
    for (int back : {kThumbnailWindow, kThumbnailWindow + 1}) {
        std::string s(2000000, 'x');
        s.replace(s.size() - size_t(back), marker.size(), marker);
        WriteFile(dir / "b", s);
        CByteArray b;
        ReadFileTail(Wide(dir / "b").c_str(), b);
        EXPECT_EQ(FindThumbnailOffset(b), back == kThumbnailWindow ? 11 : 0) << back;
    }
}

TEST(GetScaledBitmap, FitsWithoutEnlargingWidthFirstThenHeight) {
    TempDir dir;
    struct Case {
        int w, h, W, H, ew, eh;
    } cases[] = {{400, 300, 100, 100, 100, 75}, {300, 400, 100, 100, 75, 100},
                 {50, 40, 100, 100, 50, 40},    {400, 400, 200, 100, 100, 100},
                 {106, 118, 100, 100, 90, 100}, {100, 100, 100, 100, 100, 100}};
    for (const Case& c : cases) {
        WriteFile(dir / "p.bmp", bmp::Encode(bmp::Solid(c.w, c.h, 0x336699), bmp::Variant::Rgb24));
        CDIB dib(Wide(dir / "p.bmp").c_str());
        HBITMAP h = GetScaledBitmap(dib, c.W, c.H);
        ASSERT_NE(h, nullptr);
        SIZE s = BitmapSize(h);
        EXPECT_EQ(s.cx, c.ew) << c.w << "x" << c.h << " at " << c.W << "x" << c.H;
        EXPECT_EQ(s.cy, c.eh) << c.w << "x" << c.h << " at " << c.W << "x" << c.H;
        ::DeleteObject(h);
    }
    // 1000 x 1 at 100 x 100 reduces to 100 x 0, which makes no bitmap.
    WriteFile(dir / "thin.bmp", bmp::Encode(bmp::Solid(1000, 1, 0), bmp::Variant::Rgb24));
    CDIB thin(Wide(dir / "thin.bmp").c_str());
    EXPECT_EQ(GetScaledBitmap(thin, 100, 100), nullptr);
    EXPECT_EQ(GetScaledBitmap(CDIB(L""), 100, 100), nullptr);
}

class Embedded : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir / "tmp"); }
    void TearDown() override {
        EXPECT_EQ(CImageConvertor::GetLiveImageCount(), 0);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "tmp")) << "a temporary picture was left behind";
    }
    TempDir dir;
    ScopedEnv xdg{"XDG_RUNTIME_DIR", std::nullopt};
    ScopedEnv tmp{"TMPDIR", dir / "tmp"};
};

TEST_F(Embedded, TheExactPictureBytesAreLoaded) {
    // 500 bytes: 100 of data, the marker, a 389-byte picture.
    bmp::Image img = bmp::Pattern(9, 9, 0);
    std::string picture = bmp::Encode(img, bmp::Variant::Rgb24);
    ASSERT_EQ(picture.size(), 54u + 28 * 9);
    picture.resize(389, '\0'); // trailing bytes a writer may leave are kept and harmless
    WriteFile(dir / "s.qzt", std::string(100, 'd') + "<THUMBNAIL>" + picture);
    ASSERT_EQ(std::filesystem::file_size(dir / "s.qzt"), 500u);
    HBITMAP h = ExtractEmbeddedThumbnail(Wide(dir / "s.qzt").c_str(), {100, 100});
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(BitmapSize(h).cx, 9);
    HDC mem = ::CreateCompatibleDC(nullptr);
    HGDIOBJ old = ::SelectObject(mem, h);
    EXPECT_EQ(::GetPixel(mem, 4, 2), RGB(img.At(4, 2) >> 16, img.At(4, 2) >> 8 & 0xFF, img.At(4, 2) & 0xFF));
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
    ::DeleteObject(h);
}

TEST_F(Embedded, TwoMarkersTheLastWins) {
    std::string red = bmp::Encode(bmp::Solid(8, 8, 0xFF0000), bmp::Variant::Rgb24);
    std::string blue = bmp::Encode(bmp::Solid(4, 4, 0x0000FF), bmp::Variant::Rgb24);
    WriteFile(dir / "two.qzt", "data<THUMBNAIL>" + red + "<THUMBNAIL>" + blue);
    HBITMAP h = ExtractEmbeddedThumbnail(Wide(dir / "two.qzt").c_str(), {100, 100});
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(BitmapSize(h).cx, 4);
    ::DeleteObject(h);
}

TEST_F(Embedded, NoPictureLeavesNoTemporaryFile) {
    WriteFile(dir / "empty.qzt", "data<THUMBNAIL>");
    WriteFile(dir / "damaged.qzt", "data<THUMBNAIL>BM" + std::string(100, '\x7f'));
    WriteFile(dir / "none.qzt", "data without a marker");
    for (const char* name : {"empty.qzt", "damaged.qzt", "none.qzt", "missing.qzt"})
        EXPECT_EQ(ExtractEmbeddedThumbnail(Wide(dir / name).c_str(), {64, 64}), nullptr) << name;
}

#ifndef _WIN32 // a file-size limit of the process is POSIX's
TEST_F(Embedded, AWriteErrorPassesOutAndTheFileStillGoes) {
    // A picture bigger than the process may write: the temporary file cannot be written.
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(64, 64, 0), bmp::Variant::Rgb24)));
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = {1024, old.rlim_max};
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    int cause = -1;
    try {
        ExtractEmbeddedThumbnail(Wide(dir / "s.qzt").c_str(), {64, 64});
    } catch (CFileException* e) {
        cause = e->m_cause;
        e->Delete();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(cause, CFileException::diskFull);
}
#endif

} // namespace
