// Files made to hurt a thumbnailer. Each gives a picture or none, never a crash; ctest's time limit on
// this suite catches a hang, and AddressSanitizer in the second run catches reads outside the data.
#include "TestUtil.h"
#include "extractor/Extractor.h"
#include "support/BmpWriter.h"

#include <vtkCellArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSTLWriter.h>

#include <cmath>
#include <limits>

using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

const HRESULT kIconOnly = HRESULT(0xFFFFFFFF);

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "tmp");
        before = LiveObjects::Now();
    }
    void TearDown() override {
        EXPECT_EQ(LiveObjects::Now(), before);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "tmp"));
    }
    // The result of a whole extraction; the picture, if any, is checked against the request and freed.
    HRESULT Extract(const std::string& path, SIZE size = {128, 128}) {
        Extractor x;
        HRESULT hr = x.Run(Wide(path), size);
        EXPECT_TRUE(hr == S_OK || hr == kIconOnly || hr == E_FAIL) << std::hex << hr;
        EXPECT_EQ(x.bitmap != nullptr, hr != E_FAIL) << path;
        if (x.bitmap != nullptr) {
            BITMAP bm{};
            ::GetObjectW(x.bitmap, sizeof bm, &bm);
            EXPECT_LE(bm.bmWidth, size.cx);
            EXPECT_LE(bm.bmHeight, size.cy);
            ::DeleteObject(x.bitmap);
        }
        return hr;
    }
    TempDir dir;
    ScopedEnv xdg{"XDG_RUNTIME_DIR", std::nullopt};
    ScopedEnv tmp{"TMPDIR", dir / "tmp"};
    LiveObjects before;
};

TEST_F(Hostile, FilesThatEndMidRecord) {
    std::string bmp = bmp::Encode(bmp::Pattern(40, 30, 0), bmp::Variant::Rgb24);
    WriteFile(dir / "cut.qzt", bmp::Study(bmp.substr(0, bmp.size() / 2)));
    EXPECT_EQ(Extract(dir / "cut.qzt"), kIconOnly);
    std::string binary(80, 'h');
    binary +=
        std::string("\x10\x00\x00\x00", 4) + std::string(50 * 3 + 17, '\x01'); // 16 promised, 3 and a bit
    WriteFile(dir / "cut.stl", binary);
    EXPECT_EQ(Extract(dir / "cut.stl"), S_OK);
    WriteFile(dir / "cut.tvx", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2");
    EXPECT_EQ(Extract(dir / "cut.tvx"), S_OK);
}

TEST_F(Hostile, GiganticLines) {
    // A project of one 8 MiB line that is a study line, and a study whose data is one line without end.
    std::string line = "STUDY " + std::string(8 << 20, 'x') + " a.qzt";
    WriteFile(dir / "long.kpv", line);
    EXPECT_EQ(Extract(dir / "long.kpv"), kIconOnly);
    WriteFile(dir / "long.tvx", "solid " + std::string(1 << 20, 'v') + "\nvertex 1 2 3\n");
    EXPECT_EQ(Extract(dir / "long.tvx"), S_OK);
}

TEST_F(Hostile, PicturesThatPromiseTooMuch) {
    std::string bmp = bmp::Encode(bmp::Pattern(4, 4, 0), bmp::Variant::Rgb24);
    for (auto [w, h] :
         std::vector<std::pair<uint32_t, uint32_t>>{{46341, 46341}, {0x7FFFFFFF, 1}, {1, 0x80000000}}) {
        std::string p = bmp;
        for (int i = 0; i < 4; ++i) {
            p[18 + i] = char(w >> (8 * i));
            p[22 + i] = char(h >> (8 * i));
        }
        WriteFile(dir / "huge.qzt", bmp::Study(p));
        EXPECT_EQ(Extract(dir / "huge.qzt"), kIconOnly) << w << "x" << h;
    }
}

TEST_F(Hostile, LinksThatLoopOrLeadNowhere) {
    std::filesystem::create_symlink(dir / "b.kpv", dir / "a.kpv");
    std::filesystem::create_symlink(dir / "a.kpv", dir / "b.kpv");
    std::filesystem::create_symlink(dir / "nowhere.qzt", dir / "dangling.qzt");
    std::filesystem::create_directories(dir / "deep");
    std::filesystem::create_symlink(dir / "deep", dir / "deep/loop.stl");
    EXPECT_EQ(Extract(dir / "a.kpv"), E_FAIL) << "a loop names no file: no picture and no icon";
    EXPECT_NE(Extract(dir / "dangling.qzt"), S_OK);
    EXPECT_NE(Extract(dir / "deep/loop.stl/loop.stl/loop.stl"), S_OK);
    WriteFile(dir / "links.kpv", "STUDY a.kpv.qzt dangling.qzt deep/loop.stl.qzt\n");
    EXPECT_EQ(Extract(dir / "links.kpv"), kIconOnly);
}

TEST_F(Hostile, ProjectsNamingThemselvesOrDevices) {
    WriteFile(dir / "self.kpv.qzt", "STUDY self.kpv.qzt self.kpv.qzt\n");
    EXPECT_EQ(Extract(dir / "self.kpv.qzt"), kIconOnly);
    std::filesystem::create_symlink("/dev/zero", dir / "zero.qzt");
    std::filesystem::create_symlink("/dev/urandom", dir / "random.stl");
    WriteFile(dir / "devices.kpv", "STUDY zero.qzt random.stl.qzt ../../../../../../dev/zero.qzt\n");
    EXPECT_EQ(Extract(dir / "devices.kpv"), kIconOnly);
    EXPECT_EQ(Extract(dir / "random.stl"), kIconOnly);
}

TEST_F(Hostile, AStudyOneByteOverTheLimit) {
    std::string picture = bmp::Encode(bmp::Solid(8, 8, 0xFF0000), bmp::Variant::Rgb24);
    std::string body = bmp::Study(picture, std::string(2097152 + 1 - picture.size() - 11, 'd'));
    ASSERT_EQ(body.size(), 2097153u);
    WriteFile(dir / "over.qzt", body);
    EXPECT_EQ(Extract(dir / "over.qzt"), kIconOnly);
    WriteFile(dir / "at.qzt", body.substr(1));
    EXPECT_EQ(Extract(dir / "at.qzt"), S_OK);
}

TEST_F(Hostile, MeshesWithNaNAndInfiniteCoordinates) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    vtkNew<vtkPoints> points;
    const double corners[][3] = {{0, 0, 0}, {1, 0, 0}, {nan, 1, 0}, {inf, 0, 1}, {-inf, nan, inf}, {2, 2, 2}};
    for (const auto& c : corners)
        points->InsertNextPoint(c);
    vtkNew<vtkCellArray> cells;
    const vtkIdType t[][3] = {{0, 1, 2}, {0, 1, 3}, {3, 4, 5}, {0, 1, 5}};
    for (const auto& c : t)
        cells->InsertNextCell(3, c);
    vtkNew<vtkPolyData> mesh;
    mesh->SetPoints(points);
    mesh->SetPolys(cells);
    vtkNew<vtkSTLWriter> writer;
    writer->SetInputData(mesh);
    writer->SetFileName((dir / "odd.stl").c_str());
    writer->SetFileTypeToBinary();
    writer->Write();
    EXPECT_EQ(Extract(dir / "odd.stl"), S_OK);
    WriteFile(dir / "odd.tvx", "solid\nvertex nan inf -inf\nvertex 1e39 -1e39 0\nvertex 1 2 3\nendsolid\n");
    EXPECT_EQ(Extract(dir / "odd.tvx"), S_OK);
}

TEST_F(Hostile, RequestsOfNothingOrOfTooMuch) {
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(20, 20, 0xFF), bmp::Variant::Rgb24)));
    WriteFile(dir / "m.tvx", "solid\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendsolid\n");
    WriteFile(dir / "p.kpv", "STUDY s.qzt s.qzt\n");
    for (const char* name : {"s.qzt", "m.tvx", "p.kpv"}) {
        EXPECT_EQ(Extract(dir / name, {0, 0}), E_FAIL) << name;
        EXPECT_EQ(Extract(dir / name, {-1, 50}), E_FAIL) << name;
        // A negative height once divided by a width scaled to nothing: SIGFPE in the process that asked.
        for (const SIZE size : {SIZE{0, -1}, SIZE{1, -1}, SIZE{100, -1}, SIZE{-5, -5}})
            EXPECT_EQ(Extract(dir / name, size), E_FAIL) << name << " " << size.cx << " x " << size.cy;
    }
    // Too large to draw: no montage, no rendering, no icon; a small picture is never enlarged, so it serves.
    EXPECT_EQ(Extract(dir / "m.tvx", {100000, 100000}), E_FAIL);
    EXPECT_EQ(Extract(dir / "p.kpv", {100000, 100000}), E_FAIL);
    EXPECT_EQ(Extract(dir / "s.qzt", {100000, 100000}), S_OK);
    EXPECT_EQ(Extract(dir / "s.qzt", {100000, 1}), S_OK) << "fitted into a thin request";
}

} // namespace
