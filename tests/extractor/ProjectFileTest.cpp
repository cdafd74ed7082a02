#include "TestUtil.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "platform/tarnel/widestr.h"

using tarnel::plat::NarrowFileName;

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

// The studies of a project holding `content`, bound under the lower-cased name c:\work\plan.kpv style:
// the folder part is the bound path up to its last separator.
std::vector<std::wstring> Studies(const std::string& content) {
    TempDir dir;
    WriteFile(dir / "work/Plan.KPV", content);
    CString bound(Wide(dir.path().string() + "/work/plan.kpv"));
    CStringArray list;
    GetProjectStudies(bound, list);
    std::vector<std::wstring> out;
    std::wstring folder = Wide(dir.path().string() + "/work/");
    for (INT i = 0; i < list.GetSize(); ++i) {
        std::wstring s = list[i].str();
        EXPECT_EQ(s.substr(0, folder.size()), folder);
        out.push_back(s.substr(folder.size()));
    }
    return out;
}

using List = std::vector<std::wstring>;

TEST(ProjectFile, IsProjectFileIsASubstringTest) {
    EXPECT_TRUE(IsProjectFile(L"c:\\work\\plan.kpv"));
    EXPECT_TRUE(IsProjectFile(L"/data/x.kpz"));
    EXPECT_TRUE(IsProjectFile(L"c:\\data.kpv.old\\part.qzt"));
    EXPECT_FALSE(IsProjectFile(L"c:\\work\\plan.kp"));
    EXPECT_FALSE(IsProjectFile(L"c:\\work\\PLAN.KPV")) << "callers pass the lower-cased path";
}

TEST(ProjectFile, StudyLinesAndTokens) {
    EXPECT_EQ(Studies("STUDY \"plate_1.qzt\"\r\n"), List{L"plate_1.qzt"});
    EXPECT_EQ(Studies("STUDY Plate_A.QZT Plate_B.QZT\n"), (List{L"plate_a.qzt", L"plate_b.qzt"}));
    EXPECT_EQ(Studies("study plate.qzt\nStudy plate.qzt\n"), List{}) << "the keyword is case-sensitive";
    EXPECT_EQ(Studies("MYSTUDYLIST=x.qzt\n"), List{L"mystudylist=x.qzt"});
    EXPECT_EQ(Studies("STUDY \"my plate.qzt\"\n"), List{L"plate.qzt"})
        << "quotes separate, they do not group";
    EXPECT_EQ(Studies("STUDY\tplate.qzt\n"), List{L"study\tplate.qzt"}) << "a tab does not separate";
    EXPECT_EQ(Studies("STUDY plate.qzt.bak x.QZTX\n"), (List{L"plate.qzt.bak", L"x.qztx"}));
    EXPECT_EQ(Studies("STUDY a.qzt\nSTUDY a.qzt\n"), (List{L"a.qzt", L"a.qzt"})) << "duplicates stay";
    EXPECT_EQ(Studies("STUDY sub\\plate.qzt d:\\other\\plate.qzt\n"),
              (List{L"sub\\plate.qzt", L"d:\\other\\plate.qzt"}));
}

TEST(ProjectFile, LinesAsTextModeReadsThem) {
    EXPECT_EQ(Studies("header\n\n  STUDY  a.qzt  \n\nSTUDY b.qzt"), (List{L"a.qzt", L"b.qzt"}))
        << "empty lines do not end the reading; the last line needs no line feed";
    EXPECT_EQ(Studies("STUDY a.qzt\rother b.qzt\rc.qzt\r"), (List{L"a.qzt", L"b.qzt", L"c.qzt"}))
        << "CR alone does not end a line, so one STUDY takes the whole file";
    EXPECT_EQ(Studies("x a.qzt\rSTUDY b.qzt"), (List{L"a.qzt", L"b.qzt"}));
    EXPECT_EQ(Studies("STUDY a.qzt\x1aSTUDY b.qzt\n"), List{L"a.qzt"}) << "Ctrl+Z ends the file";
    EXPECT_EQ(Studies(""), List{});
    EXPECT_EQ(Studies("STUDY \"\" \"\"\n"), List{});
}

TEST(ProjectFile, StudiesAreFoundUnderTheProjectFolderWithBackslashes) {
    TempDir dir;
    WriteFile(dir / "Work/Sub/Plate.qzt", "x");
    WriteFile(dir / "Work/PLAN.KPV", "STUDY Sub\\Plate.QZT\n");
    CString bound(Wide(dir.path().string() + "/work/plan.kpv"));
    CStringArray list;
    GetProjectStudies(bound, list);
    ASSERT_EQ(list.GetSize(), 1);
    CFileStatus status;
    EXPECT_TRUE(CFile::GetStatus(list[0], status)) << "name matching finds " << NarrowFileName(list[0].str());
}

TEST(ProjectFile, UnreadableProjectsThrowFileErrors) {
    TempDir dir;
    std::filesystem::create_directories(dir / "folder.kpv");
    for (const char* name : {"missing.kpv", "folder.kpv"}) {
        CStringArray list;
        try {
            GetProjectStudies(CString(Wide(dir / name)), list);
            ADD_FAILURE() << name << " gave no error";
        } catch (CFileException* e) {
            e->Delete();
        }
    }
}

} // namespace
