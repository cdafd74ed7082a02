#include "TestUtil.h"

#include "afxfile.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"

#include <sys/stat.h>

#include <clocale>
#include <cstring>

using namespace tarnel::plat;

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

// The cause of the file error that f throws, or -1 when it throws none. The error object is released.
template <class F>
int FileErrorCause(F&& f) {
    try {
        f();
    } catch (CFileException* e) {
        int cause = e->m_cause;
        e->Delete();
        return cause;
    }
    return -1;
}

std::vector<std::wstring> ReadLines(const std::string& path, UINT flags = CFile::modeRead | CFile::typeText) {
    CStdioFile file(Wide(path).c_str(), flags);
    std::vector<std::wstring> lines;
    CString line;
    while (file.ReadString(line))
        lines.push_back(line.str());
    return lines;
}

TEST(NameMatching, LowerCasedAndBackslashNamesFindTheFile) {
    TempDir dir;
    WriteFile(dir / "Work/Sub/PLATE.QZT", "x");
    std::string native;
    std::string lower = dir.path().string() + "/work/sub/plate.qzt";
    ASSERT_TRUE(ResolveFileName(Wide(lower).c_str(), native));
    EXPECT_EQ(native, dir / "Work/Sub/PLATE.QZT");
    ASSERT_TRUE(ResolveFileName(Wide(dir.path().string() + "/work\\sub\\plate.qzt").c_str(), native));
    EXPECT_EQ(native, dir / "Work/Sub/PLATE.QZT");
    EXPECT_FALSE(ResolveFileName(Wide(dir.path().string() + "/work/sub/plate.qz").c_str(), native));
    EXPECT_FALSE(ResolveFileName(L"", native));
    EXPECT_FALSE(ResolveFileName(nullptr, native));

    // Beyond A to Z, the letters that the caller's locale lower-cases: in a UTF-8 locale the system binds
    // ÉTÉ.qzt as été.qzt, and must find it again.
    WriteFile(dir / "Work/\xC3\x89T\xC3\x89.qzt", "x");
    const std::string lowered = dir.path().string() + "/work/\xC3\xA9t\xC3\xA9.qzt";
    auto resolveIn = [&](const char* locale) {
        const std::string saved = std::setlocale(LC_ALL, nullptr);
        EXPECT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        const bool found = ResolveFileName(WidenFileName(lowered).c_str(), native);
        std::setlocale(LC_ALL, saved.c_str());
        return found;
    };
    ASSERT_TRUE(resolveIn("C.UTF-8"));
    EXPECT_EQ(native, dir / "Work/\xC3\x89T\xC3\x89.qzt");
    // In the C locale only A to Z change, so the system never makes été of ÉTÉ there.
    EXPECT_FALSE(resolveIn("C"));
}

TEST(NameMatching, ExactNameWinsAndSeveralMatchesChooseTheSmallest) {
    TempDir dir;
    WriteFile(dir / "b.txt", "lower");
    WriteFile(dir / "B.TXT", "upper");
    WriteFile(dir / "B.txt", "mixed");
    std::string native;
    ASSERT_TRUE(ResolveFileName(Wide(dir / "b.txt").c_str(), native));
    EXPECT_EQ(native, dir / "b.txt");
    ASSERT_TRUE(ResolveFileName(Wide(dir / "b.Txt").c_str(), native));
    EXPECT_EQ(native, dir / "B.TXT");
    // A name with a real backslash in it is found as it stands.
    WriteFile(dir / "a\\b.qzt", "x");
    ASSERT_TRUE(ResolveFileName(Wide(dir / "a\\b.qzt").c_str(), native));
    EXPECT_EQ(native, dir / "a\\b.qzt");

    // Within a scan scope the answers are the same, and the folder is read once for all the names asked.
    FileNameScanScope scope;
    ASSERT_TRUE(ResolveFileName(Wide(dir / "b.Txt").c_str(), native));
    EXPECT_EQ(native, dir / "B.TXT");
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(ResolveFileName(Wide(dir / ("missing" + std::to_string(i) + ".qzt")).c_str(), native));
    EXPECT_EQ(scope.Scans(), 1u);
}

TEST(NameMatching, NewFilesNeedAnExistingFolder) {
    TempDir dir;
    std::filesystem::create_directories(dir / "Out");
    std::string native;
    ASSERT_TRUE(ResolveNewFileName(Wide(dir.path().string() + "/out/new.bmp").c_str(), native));
    EXPECT_EQ(native, dir / "Out/new.bmp");
    EXPECT_FALSE(ResolveNewFileName(Wide(dir.path().string() + "/missing/new.bmp").c_str(), native));
}

TEST(FileNames, BytesThatAreNotUtf8RoundTrip) {
    std::string bytes = "caf\xc3\xa9-\xff\xfe-\xe9t\xe9.qzt";
    std::wstring wide = WidenFileName(bytes);
    EXPECT_EQ(wide[3], L'\u00e9');
    EXPECT_EQ(wide[5], wchar_t(0xDCFF));
    EXPECT_EQ(NarrowFileName(wide), bytes);
    EXPECT_EQ(NarrowFileName(WidenFileName("\xc0\xaf")), "\xc0\xaf") << "overlong forms are kept as bytes";
}

TEST(CFileTest, OnlyRegularFilesOpen) {
    TempDir dir;
    WriteFile(dir / "file.kpv", "STUDY a.qzt\n");
    std::filesystem::create_directories(dir / "folder.kpv");
    ASSERT_EQ(::mkfifo((dir / "fifo.kpv").c_str(), 0600), 0);
    CFile f;
    EXPECT_TRUE(f.Open(Wide(dir / "file.kpv").c_str(), CFile::modeRead));
    for (const char* name : {"folder.kpv", "fifo.kpv", "missing.kpv"}) {
        CFileException error;
        CFile g;
        EXPECT_FALSE(g.Open(Wide(dir / name).c_str(), CFile::modeRead, &error)) << name;
        EXPECT_NE(error.m_cause, CFileException::none) << name;
        // Only opening is refused: the status of anything that exists is read without opening it.
        CFileStatus status;
        EXPECT_EQ(CFile::GetStatus(Wide(dir / name).c_str(), status), std::strcmp(name, "missing.kpv") != 0)
            << name;
    }
    CFileStatus status;
    ASSERT_TRUE(CFile::GetStatus(Wide(dir / "FOLDER.KPV").c_str(), status));
    EXPECT_EQ(status.m_attribute & CFile::directory, CFile::directory);
    EXPECT_EQ(status.m_size, 0u);
    ASSERT_TRUE(CFile::GetStatus(Wide(dir / "fifo.kpv").c_str(), status));
    EXPECT_EQ(status.m_attribute & CFile::device, CFile::device);
    EXPECT_EQ(FileErrorCause([&] { CStdioFile(Wide(dir / "fifo.kpv").c_str(), CFile::modeRead); }),
              CFileException::accessDenied);
    EXPECT_EQ(FileErrorCause([&] { CStdioFile(Wide(dir / "missing.kpv").c_str(), CFile::modeRead); }),
              CFileException::fileNotFound);
}

TEST(CFileTest, StatusGivesSizeAndWholeSecondTimes) {
    TempDir dir;
    WriteFile(dir / "s.qzt", std::string(1234, 'x'));
    CFileStatus status;
    ASSERT_TRUE(CFile::GetStatus(Wide(dir / "S.QZT").c_str(), status));
    EXPECT_EQ(status.m_size, 1234u);
    EXPECT_GT(status.m_mtime.GetTime(), 1600000000);
}

TEST(CFileTest, ReadWriteSeekAndRemove) {
    TempDir dir;
    std::wstring path = Wide(dir / "data.bin");
    {
        CFile out(path.c_str(), CFile::modeCreate | CFile::modeWrite);
        out.Write("0123456789", 10);
    }
    CFile in(path.c_str(), CFile::modeRead);
    EXPECT_EQ(in.GetLength(), 10u);
    EXPECT_EQ(in.Seek(-4, CFile::end), 6u);
    char buf[8] = {};
    EXPECT_EQ(in.Read(buf, 8), 4u);
    EXPECT_STREQ(buf, "6789");
    EXPECT_EQ(FileErrorCause([&] { in.Seek(-20, CFile::end); }), CFileException::badSeek);
    in.Close();
    CFile::Remove(path.c_str());
    EXPECT_FALSE(std::filesystem::exists(dir / "data.bin"));
}

TEST(CStdioFileTest, TextModeLines) {
    TempDir dir;
    WriteFile(dir / "a.txt", "one\r\ntwo\n\nthree\rstill three\r\r\nlast");
    EXPECT_EQ(ReadLines(dir / "a.txt"),
              (std::vector<std::wstring>{L"one", L"two", L"", L"three\rstill three\r", L"last"}));
    WriteFile(dir / "b.txt", "a\nb\x1a"
                             "c\nd\n");
    EXPECT_EQ(ReadLines(dir / "b.txt"), (std::vector<std::wstring>{L"a", L"b"})) << "Ctrl+Z ends the file";
    WriteFile(dir / "c.txt", "");
    EXPECT_TRUE(ReadLines(dir / "c.txt").empty());
    WriteFile(dir / "d.txt", "x\n");
    EXPECT_EQ(ReadLines(dir / "d.txt"), (std::vector<std::wstring>{L"x"}));
    EXPECT_EQ(ReadLines(dir / "b.txt", CFile::modeRead | CFile::typeBinary),
              (std::vector<std::wstring>{L"a",
                                         L"b\x1a"
                                         L"c",
                                         L"d"}));
}

TEST(CStdioFileTest, LongLinesAndPairsAcrossBufferEdges) {
    TempDir dir;
    // A CR LF pair split across the 64 KiB read buffer, then a line longer than the buffer.
    std::string first(65535, 'a');
    std::string longLine(200000, 'b');
    WriteFile(dir / "e.txt", first + "\r\n" + longLine + "\n" + "tail");
    auto lines = ReadLines(dir / "e.txt");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 65535u);
    EXPECT_EQ(lines[1].size(), 200000u);
    EXPECT_EQ(lines[2], L"tail");
    WriteFile(dir / "f.txt", std::string(65535, 'a') + "\rb");
    lines = ReadLines(dir / "f.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(65535), L"\rb") << "a CR without LF stays, even at a buffer edge";
}

} // namespace
