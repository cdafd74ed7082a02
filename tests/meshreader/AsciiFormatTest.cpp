// The ASCII facet format: the format test, pieces, keywords, vertex lines and their numbers, progress.
#include "MeshTestUtil.h"

#include "TVXFacetLine.h"

#include "vtkCallbackCommand.h"

#include <cmath>
#include <random>

using meshtest::AsciiFacets;
using meshtest::ReadContent;
using meshtest::ReadResult;
using meshtest::Vec3;
using testutil::TempDir;

namespace {

// "vertex i i i" for i = first, first + 1, ...
std::string VertexLines(int first, int n) {
    std::string out;
    for (int i = first; i < first + n; ++i)
        out += "vertex " + std::to_string(i) + " " + std::to_string(i) + " " + std::to_string(i) + "\n";
    return out;
}

} // namespace

TEST(FacetFormat, OneByteAbove127AmongTheFirst255MakesTheFileBinary) {
    TempDir dir;
    // 127 anywhere in the first 255 bytes: still read as text.
    std::string text = "solid \x7F\n" + VertexLines(1, 3);
    EXPECT_EQ(ReadContent(dir, text, false).points.size(), 3u);
    // 128 in the header line (an accented letter in an 8-bit code page): read as binary, so the text
    // becomes header bytes and records.
    std::string accented = "solid caf\xE9\n" + std::string(84 + 100 - 11, ' ');
    EXPECT_EQ(ReadContent(dir, accented, false).points.size(), 6u);
    // Past the first 255 bytes, a high byte changes nothing.
    std::string late = "solid x\n" + std::string(300, ' ') + "\n\xE9\n" + VertexLines(1, 3);
    EXPECT_EQ(ReadContent(dir, late, false).points.size(), 3u);
    // A binary file whose first 255 bytes are all below 128 is read as text, and holds no vertex line.
    // 2, 8 and 32 are 0x40000000, 0x41000000 and 0x42000000; 4 is 0x40800000.
    std::vector<meshtest::Triangle> low(5, {{{2, 2, 2}, {8, 8, 8}, {32, 32, 32}}});
    EXPECT_EQ(ReadContent(dir, meshtest::BinaryFacets(low), false).points.size(), 0u);
    low[0][1][0] = 4;
    EXPECT_EQ(ReadContent(dir, meshtest::BinaryFacets(low), false).points.size(), 15u);
}

TEST(FacetFormat, TheFileIsReadInTextMode) {
    TempDir dir;
    // A Ctrl+Z ends the file for the ASCII reader: what follows it is never read.
    ReadResult r = ReadContent(dir, "solid\n" + VertexLines(1, 3) + "\x1A\n" + VertexLines(4, 3), false);
    EXPECT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.triangles.size(), 1u);
    EXPECT_EQ(ReadContent(dir, "solid\x1A\n" + VertexLines(1, 3), false).points.size(), 0u);
    // The format test reads the same text: a Ctrl+Z in the count (26 triangles) hides the high bytes of
    // the records behind it, and the file is taken for text, without a vertex line.
    std::vector<meshtest::Triangle> tris(26, {{{4, 4, 4}, {8, 8, 8}, {32, 32, 32}}});
    EXPECT_EQ(ReadContent(dir, meshtest::BinaryFacets(tris), false).points.size(), 0u);
    // Each CR LF is one byte to the format test: a high byte 309 bytes in, behind 151 line ends, lies
    // within its first 255 and makes the file binary (350 bytes: five records).
    std::string crlf = "solid x\r\n";
    for (int i = 0; i < 150; ++i)
        crlf += "\r\n";
    crlf += "\xE9\n" + VertexLines(1, 3);
    ASSERT_EQ(crlf.size(), 350u);
    EXPECT_EQ(ReadContent(dir, crlf, false).points.size(), 15u);
}

TEST(FacetFormat, EmptyFilesAndHeaderLines) {
    TempDir dir;
    EXPECT_EQ(ReadContent(dir, "", true).points.size(), 0u);
    EXPECT_EQ(ReadContent(dir, "", false).points.size(), 0u);
    // The first line is the header, even when it is a vertex line: the next three make the triangle.
    ReadResult r = ReadContent(dir, VertexLines(1, 4), false);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.points[0], (Vec3{2, 2, 2}));
    EXPECT_EQ(r.triangles.size(), 1u);
}

TEST(FacetFormat, PropertyBlocksOpenOnlyInTheHeader) {
    TempDir dir;
    std::string block = "solid PROPERTY\ncolor 1 2 3\nvertex 9 9 9\nEndProperty\n";
    EXPECT_EQ(ReadContent(dir, block + VertexLines(1, 3), false).points.size(), 3u);
    // "endproperty" contains "property": it opens a block too, which runs to the next "endproperty".
    std::string both = "endproperty\nvertex 9 9 9\nendproperty vertex 8 8 8\n" + VertexLines(1, 3);
    EXPECT_EQ(ReadContent(dir, both, false).points.front(), (Vec3{1, 1, 1}));
    // Never closed: it swallows the rest of the file.
    EXPECT_EQ(ReadContent(dir, "solid property\n" + VertexLines(1, 6), false).points.size(), 0u);
    // After the header, property lines are lines like any other.
    std::string later = "solid\nproperty\n" + VertexLines(1, 3) + "endproperty\n";
    EXPECT_EQ(ReadContent(dir, later, false).points.size(), 3u);
}

TEST(FacetFormat, KeywordsMatchInAnyCaseAnywhereInTheLine) {
    TempDir dir;
    std::string file = "solid x\n"
                       "Facet Normal 0 0 1\n"
                       "OUTER LOOP\n"
                       "  VERTEX 1 2 3\n"        // a vertex line in capitals
                       "vertexcolor 7 7 7\n"     // contains "color": skipped
                       "vertex 7 7 7 normal\n"   // contains "normal": skipped
                       "vertex 7 7 7 endsolid\n" // contains "solid": skipped
                       "outerloop\n"             // no "outer loop", and no "vertex": skipped
                       "outerloop 5 6 vertex\n"  // a vertex line whose first token is no keyword
                       "ENDLOOP\n"
                       "1 2 3 notes\n"                 // no "vertex": skipped
                       "\tVertex\t7.5e+00 -8 +.25\r\n" // tabs, an exponent, a sign, CR LF
                       "endfacet\nendsolid\n";
    ReadResult r = ReadContent(dir, file, false);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.points[0], (Vec3{1, 2, 3}));
    EXPECT_EQ(r.points[1], (Vec3{5, 6, 3})) << "the first token is passed over, whatever it is";
    EXPECT_EQ(r.points[2], (Vec3{7.5f, -8, 0.25f}));
}

TEST(FacetFormat, MissingNumbersKeepThePreviousVertexValues) {
    TempDir dir;
    std::string file = "solid\n"
                       "vertex\n" // the first one: zero
                       "vertex 1 2 3\n"
                       "vertex 4 5\n"   // z from the line before
                       "vertex 6 x 9\n" // y and z from the line before
                       "1 2 3 vertex\n" // 1 passed over, 2 and 3 read as x and y
                       "vertex 1e400 -1e400 1e-50\n";
    ReadResult r = ReadContent(dir, file, false);
    ASSERT_EQ(r.points.size(), 6u);
    EXPECT_EQ(r.points[0], (Vec3{0, 0, 0}));
    EXPECT_EQ(r.points[2], (Vec3{4, 5, 3}));
    EXPECT_EQ(r.points[3], (Vec3{6, 5, 3}));
    EXPECT_EQ(r.points[4], (Vec3{2, 3, 3}));
    EXPECT_TRUE(std::isinf(r.points[5][0]) && r.points[5][0] > 0);
    EXPECT_TRUE(std::isinf(r.points[5][1]) && r.points[5][1] < 0);
    EXPECT_EQ(r.points[5][2], 0.0f);
}

TEST(FacetFormat, VertexLinesGroupInThreesAcrossFacetsAndSolids) {
    TempDir dir;
    // Seven vertex lines: two triangles and seven points; the seventh belongs to no triangle.
    ReadResult r = ReadContent(dir, "solid\n" + VertexLines(1, 7), false);
    EXPECT_EQ(r.points.size(), 7u);
    ASSERT_EQ(r.triangles.size(), 2u);
    EXPECT_EQ(r.triangles[1], (std::array<vtkIdType, 3>{3, 4, 5}));
    r = ReadContent(dir, "solid\n" + VertexLines(1, 7), true);
    EXPECT_EQ(r.points.size(), 6u) << "the merge keeps only points that a triangle uses";
    EXPECT_EQ(r.triangles.size(), 2u);
    // A facet with four vertices shifts the later triangles; a second solid goes on with the grouping.
    std::string file = "solid a\nfacet\n" + VertexLines(1, 4) + "endfacet\nendsolid a\nsolid b\n" +
                       VertexLines(5, 2) + "endsolid b\n";
    r = ReadContent(dir, file, false);
    ASSERT_EQ(r.triangles.size(), 2u);
    EXPECT_EQ(r.points[r.triangles[1][0]], (Vec3{4, 4, 4}));
}

TEST(FacetFormat, LongLinesAreReadAsPiecesOf254Characters) {
    TempDir dir;
    // 300 characters: a piece of 254 (a vertex line with its numbers) and a piece of 46 with the line end
    // (a vertex line of its own).
    std::string first = "vertex 1 2 3" + std::string(242, ' ');
    std::string second = "vertex 4 5 6" + std::string(34, ' ');
    ASSERT_EQ((first + second).size(), 300u);
    ReadResult r = ReadContent(dir, "solid\n" + first + second + "\n" + VertexLines(7, 1), false);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.points[1], (Vec3{4, 5, 6}));
    // The split point cuts a number: each piece reads only its own characters.
    std::string cut = "vertex 1 2 " + std::string(240, ' ') + "123456";
    ASSERT_EQ(cut.size(), 257u);
    r = ReadContent(dir, "solid\n" + cut + "\n" + VertexLines(7, 2), false);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_EQ(r.points[0], (Vec3{1, 2, 123})) << "the first piece ends in 123, the rest is no vertex line";
    // A line of 253 characters and its line end is one piece.
    std::string exact = "vertex 1 1 1" + std::string(235, ' ') + "vertex";
    ASSERT_EQ(exact.size(), 253u);
    r = ReadContent(dir, "solid\n" + exact + "\n" + VertexLines(2, 2), false);
    EXPECT_EQ(r.points.size(), 3u);
}

TEST(FacetFormat, PlainNumbersConvertExactlyAsTheRuntimeDoes) {
    // The converter's own numbers must equal sscanf's, or it must leave them to sscanf.
    std::mt19937 random(7);
    const char alphabet[] = "0123456789.eE+- \t\rxvnaif";
    std::vector<std::string> lines = {"vertex 1 2 3",
                                      "vertex .5 -.5 +.5",
                                      "vertex 1. 2.e3 4E-2",
                                      "vertex 1e 2 3",
                                      "vertex 1e+ 2 3",
                                      "vertex - + .",
                                      "vertex 0x1p3 inf nan",
                                      "vertex 1,5 2 3",
                                      "vertex 3.4028236e38 1e-46 7e-46",
                                      "vertex 0.1000000000000000055511151231257827 2 3",
                                      "  \t ",
                                      "",
                                      "v\xE9rtex 1 2 3",
                                      "vertex 00012 -0 -0.0e-0"};
    for (int i = 0; i < 20000; ++i) {
        std::string line = "vertex ";
        int n = int(random() % 30);
        for (int k = 0; k < n; ++k)
            line += alphabet[random() % (sizeof alphabet - 1)];
        lines.push_back(line);
        char digits[64];
        std::snprintf(digits, sizeof digits, "vertex %.*g %.9g %a", int(random() % 20) + 1,
                      double(random()) / double(random() + 1) * std::pow(10.0, int(random() % 80) - 40),
                      double(random()) * 1e-45, double(random()));
        lines.push_back(digits);
    }
    for (const std::string& line : lines) {
        float fast[3] = {-7, -7, -7}, runtime[3] = {-7, -7, -7};
        int stored = TVXScanVertex(line.c_str(), fast, true);
        int n = std::sscanf(line.c_str(), "%*s %f %f %f\n", &runtime[0], &runtime[1], &runtime[2]);
        EXPECT_EQ(stored, n < 0 ? 0 : n) << line;
        EXPECT_EQ(std::memcmp(fast, runtime, sizeof fast), 0) << line;
    }
}

TEST(FacetFormat, ProgressAndDebugTextComeEvery5000Triangles) {
    TempDir dir;
    std::string body;
    for (int i = 0; i < 55000; ++i)
        body += "vertex 1 2 3\nvertex 1 2 4\nvertex 1 3 3\n";
    testutil::WriteFile(dir / "big.stl", "solid\n" + body);
    meshtest::ScopedCapture capture;
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName((dir / "big.stl").c_str());
    reader->DebugOn();
    std::vector<double> progress = meshtest::UpdateWithProgress(reader);
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPolys(), 55000);
    EXPECT_EQ(reader->GetOutput()->GetNumberOfPoints(), 3);
    // The pipeline itself reports 0 before the run and 1 after it.
    ASSERT_EQ(progress.size(), 11u + 2u);
    EXPECT_EQ(progress.front(), 0.0);
    EXPECT_EQ(progress.back(), 1.0);
    std::vector<double> own(progress.begin() + 1, progress.end() - 1);
    std::vector<double> expected = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.0, 0.1};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(own[i], expected[i]) << i;
    EXPECT_EQ(meshtest::Count(capture->Debug, "triangle# "), 11);
    EXPECT_NE(capture->Debug.find("triangle# 5000\n"), std::string::npos);
    EXPECT_NE(capture->Debug.find("triangle# 50000\n"), std::string::npos);
    EXPECT_NE(capture->Debug.find(" Reading ASCII TVX file"), std::string::npos);
    EXPECT_NE(capture->Debug.find("Read: 165000 points, 55000 triangles"), std::string::npos);
    EXPECT_NE(capture->Debug.find("Merged to: 3 points, 55000 triangles"), std::string::npos);
}
