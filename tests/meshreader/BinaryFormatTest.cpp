// The binary facet format: header, count, records, cut-off ends, progress; and the merge pass.
#include "MeshTestUtil.h"

#include "vtkCallbackCommand.h"
#include "vtkMergePoints.h"

#include <limits>
#include <random>

using meshtest::BinaryFacets;
using meshtest::ReadContent;
using meshtest::ReadResult;
using meshtest::Triangle;
using meshtest::Vec3;
using testutil::TempDir;

namespace {

const std::vector<Triangle> kTwoSharingAnEdge = {{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
                                                 {{{1, 0, 0}, {1, 1, 0}, {0, 1, 0}}}};

std::vector<Triangle> Numbered(int n) {
    std::vector<Triangle> out;
    for (int i = 0; i < n; ++i)
        out.push_back({{{float(i), 0.5f, 0}, {float(i), 1.5f, 0}, {float(i) + 0.5f, 1, -1}}});
    return out;
}

std::string Debug(const std::string& content) {
    TempDir dir;
    testutil::WriteFile(dir / "mesh.stl", content);
    meshtest::ScopedCapture capture;
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName((dir / "mesh.stl").c_str());
    reader->DebugOn();
    reader->Update();
    return capture->Debug;
}

} // namespace

TEST(BinaryFormat, RecordsComeFromTheLengthOfTheFile) {
    TempDir dir;
    std::string two = BinaryFacets(Numbered(2));
    std::string three = BinaryFacets(Numbered(3));
    EXPECT_EQ(ReadContent(dir, three.substr(0, 84), false).points.size(), 0u) << "header only";
    ReadResult r = ReadContent(dir, three.substr(0, 84 + 100 + 30), false);
    EXPECT_EQ(r.triangles.size(), 2u) << "a record cut inside its 48 data bytes is dropped";
    r = ReadContent(dir, three.substr(0, 84 + 100 + 48), false);
    EXPECT_EQ(r.triangles.size(), 3u) << "a record cut only in its attribute bytes counts";
    EXPECT_EQ(r.points[8], (Vec3{2.5f, 1, -1}));
    EXPECT_EQ(ReadContent(dir, BinaryFacets(Numbered(2), 1000), false).triangles.size(), 2u);
    EXPECT_EQ(ReadContent(dir, BinaryFacets(Numbered(2), -7), false).triangles.size(), 2u);
    EXPECT_EQ(ReadContent(dir, three.substr(0, 40) + "\xE9", false).triangles.size(), 0u) << "short header";
    // Attribute bytes carry nothing.
    EXPECT_EQ(ReadContent(dir, BinaryFacets(Numbered(2), 2, 0xFFFF), false).points,
              ReadContent(dir, two, false).points);
    // Many chunks' worth of records, each where the file puts it.
    r = ReadContent(dir, BinaryFacets(Numbered(3000)), false);
    ASSERT_EQ(r.points.size(), 9000u);
    EXPECT_EQ(r.points[3 * 2999 + 2], (Vec3{2999.5f, 1, -1}));
    EXPECT_EQ(r.triangles[2999], (std::array<vtkIdType, 3>{8997, 8998, 8999}));
}

TEST(BinaryFormat, CountsOfZeroOrLessAreReportedAndIgnored) {
    std::string d = Debug(BinaryFacets(Numbered(2), 0));
    EXPECT_NE(d.find(" Reading BINARY TVX file"), std::string::npos) << d;
    EXPECT_NE(d.find("Bad binary count: attempting to correct (0)"), std::string::npos) << d;
    EXPECT_NE(d.find("Read: 6 points, 2 triangles"), std::string::npos) << d;
    EXPECT_NE(Debug(BinaryFacets(Numbered(2), -5)).find("attempting to correct (-5)"), std::string::npos);
    d = Debug(BinaryFacets(Numbered(2), 1000));
    EXPECT_EQ(d.find("Bad binary count"), std::string::npos) << d;
    EXPECT_NE(d.find("Read: 6 points, 2 triangles"), std::string::npos) << d;
}

TEST(BinaryFormat, ProgressAndDebugTextComeEvery5000Records) {
    TempDir dir;
    testutil::WriteFile(dir / "big.stl", BinaryFacets(Numbered(55001)));
    meshtest::ScopedCapture capture;
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName((dir / "big.stl").c_str());
    reader->MergingOff();
    reader->DebugOn();
    std::vector<double> progress = meshtest::UpdateWithProgress(reader);
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPolys(), 55001);
    // Record index 5000 (the 5001st record) first; index 55000 last; the pipeline adds 0 and 1 around them.
    ASSERT_EQ(progress.size(), 11u + 2u);
    std::vector<double> expected = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.0, 0.1};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(progress[i + 1], expected[i]) << i;
    EXPECT_EQ(meshtest::Count(capture->Debug, "triangle# "), 11);
    EXPECT_NE(capture->Debug.find("triangle# 5000\n"), std::string::npos);
    EXPECT_NE(capture->Debug.find("triangle# 55000\n"), std::string::npos);
    EXPECT_EQ(capture->Debug.find("triangle# 0\n"), std::string::npos);
    EXPECT_EQ(capture->Debug.find("Merged to"), std::string::npos);

    progress.clear();
    testutil::WriteFile(dir / "big.stl", BinaryFacets(Numbered(5000)));
    reader->Modified();
    reader->Update();
    EXPECT_EQ(progress.size(), 2u) << "records 0 to 4999 report nothing of their own";
}

TEST(MergePass, EqualPointsMergeInOrderOfFirstUse) {
    TempDir dir;
    ReadResult r = ReadContent(dir, BinaryFacets(kTwoSharingAnEdge), true);
    ASSERT_EQ(r.points.size(), 4u);
    EXPECT_EQ(r.points, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}));
    EXPECT_EQ(r.triangles, (std::vector<std::array<vtkIdType, 3>>{{0, 1, 2}, {1, 3, 2}}));
    r = ReadContent(dir, BinaryFacets(kTwoSharingAnEdge), false);
    EXPECT_EQ(r.points.size(), 6u);
    EXPECT_EQ(r.triangles.size(), 2u);
    // Only exactly equal points merge; 0 and -0 are equal.
    std::vector<Triangle> nearby = {{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}},
                                    {{{-0.0f, 0, 0}, {1.0000001f, 0, 0}, {0, 1, 0}}}};
    r = ReadContent(dir, BinaryFacets(nearby), true);
    EXPECT_EQ(r.points.size(), 4u);
    EXPECT_EQ(r.triangles[1], (std::array<vtkIdType, 3>{0, 3, 2}));
}

TEST(MergePass, TrianglesThatLoseACornerAreDroppedOnlyWhenMerging) {
    TempDir dir;
    std::vector<Triangle> mesh = {{{{0, 0, 0}, {1, 0, 0}, {1, 0, 0}}},
                                  {{{5, 5, 5}, {6, 5, 5}, {5, 6, 5}}},
                                  {{{7, 7, 7}, {7, 7, 7}, {7, 7, 7}}}};
    ReadResult off = ReadContent(dir, BinaryFacets(mesh), false);
    EXPECT_EQ(off.points.size(), 9u);
    EXPECT_EQ(off.triangles.size(), 3u);
    ReadResult on = ReadContent(dir, BinaryFacets(mesh), true);
    EXPECT_EQ(on.triangles, (std::vector<std::array<vtkIdType, 3>>{{2, 3, 4}}));
    EXPECT_EQ(on.points.size(), 6u) << "the corners of dropped triangles were inserted all the same";
    EXPECT_EQ(on.points[0], (Vec3{0, 0, 0}));
    // NaN equals nothing, so its corners never merge.
    float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Triangle> odd = {{{{nan, 0, 0}, {nan, 0, 0}, {0, 1, 0}}},
                                 {{{std::numeric_limits<float>::infinity(), 0, 0}, {1, 1, 1}, {0, 1, 0}}}};
    on = ReadContent(dir, BinaryFacets(odd), true);
    EXPECT_EQ(on.points.size(), 5u);
    EXPECT_EQ(on.triangles.size(), 2u);
}

TEST(MergePass, AnAxisOfOnlyNaNGivesTheLocatorBoundsItCanDivide) {
    // VTK's bounds of such an axis are inverted. A grid sized from them had billions of buckets a side, and
    // clamping that back took seconds for a file of one triangle.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    TempDir dir;
    for (int axis = 0; axis < 3; ++axis) {
        Triangle t = {{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}};
        for (Vec3& corner : t)
            std::swap(corner[0], corner[axis]);
        for (Vec3& corner : t)
            corner[(axis + 1) % 3] = nan;
        testutil::WriteFile(dir / "mesh.tvx", BinaryFacets({t}));
        auto reader = vtkSmartPointer<vtkTVXReader>::New();
        reader->SetFileName((dir / "mesh.tvx").c_str());
        reader->Update();
        const double* bounds = reader->GetLocator()->GetBounds();
        for (int i = 0; i < 3; ++i)
            EXPECT_LE(bounds[2 * i], bounds[2 * i + 1]) << "axis " << i << " of file " << axis;
        // NaN equals nothing: the corners stay three.
        EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 3);
        EXPECT_EQ(reader->GetOutput()->GetNumberOfPolys(), 1);
    }
}

TEST(MergePass, GivesWhatTheLocatorAloneGives) {
    // Many points, many of them repeated far apart, with 0 and -0 and NaN among them: the reader's output
    // must be exactly what vtkMergePoints gives when every corner is inserted in turn.
    std::mt19937 random(11);
    std::vector<Vec3> pool;
    for (int i = 0; i < 20000; ++i)
        pool.push_back({float(random() % 50) * 0.25f, float(random() % 50) - 25.0f, float(random() % 3)});
    pool.push_back({-0.0f, 0, -0.0f});
    pool.push_back({0, -0.0f, 0});
    pool.push_back({std::numeric_limits<float>::quiet_NaN(), 1, 1});
    std::vector<Triangle> mesh;
    for (int i = 0; i < 60000; ++i)
        mesh.push_back(
            {pool[random() % pool.size()], pool[random() % pool.size()], pool[random() % pool.size()]});

    auto expectedPoints = vtkSmartPointer<vtkPoints>::New();
    auto locator = vtkSmartPointer<vtkMergePoints>::New();
    const double bounds[6] = {0, 13, -25, 25, 0, 2};
    locator->InitPointInsertion(expectedPoints, bounds);
    std::vector<std::array<vtkIdType, 3>> expectedTriangles;
    for (const Triangle& t : mesh) {
        std::array<vtkIdType, 3> ids;
        for (int c = 0; c < 3; ++c) {
            const double x[3] = {t[c][0], t[c][1], t[c][2]};
            locator->InsertUniquePoint(x, ids[c]);
        }
        if (ids[0] != ids[1] && ids[0] != ids[2] && ids[1] != ids[2])
            expectedTriangles.push_back(ids);
    }
    TempDir dir;
    ReadResult r = ReadContent(dir, BinaryFacets(mesh), true);
    ASSERT_EQ(r.points.size(), size_t(expectedPoints->GetNumberOfPoints()));
    for (size_t i = 0; i < r.points.size(); ++i) {
        double p[3];
        expectedPoints->GetPoint(vtkIdType(i), p);
        Vec3 e = {float(p[0]), float(p[1]), float(p[2])};
        ASSERT_EQ(std::memcmp(&r.points[i], &e, sizeof e), 0) << i;
    }
    EXPECT_TRUE(r.triangles == expectedTriangles);
}
