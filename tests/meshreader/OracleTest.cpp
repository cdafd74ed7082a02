// Files written by a real tool (VTK's own STL writer, ASCII and binary) read the same with VTK's own STL
// reader: the same points in the same order, and the same triangles.
#include "MeshTestUtil.h"

#include "vtkSTLReader.h"
#include "vtkSTLWriter.h"

#include <cmath>

using testutil::TempDir;

namespace {

// A torus of u x v quads split into triangles, corners shared between neighbours.
vtkSmartPointer<vtkPolyData> Torus(int u, int v, double scale) {
    auto points = vtkSmartPointer<vtkPoints>::New();
    for (int i = 0; i < u; ++i)
        for (int j = 0; j < v; ++j) {
            double a = 2 * M_PI * i / u, b = 2 * M_PI * j / v;
            points->InsertNextPoint(scale * (3 + std::cos(b)) * std::cos(a),
                                    scale * (3 + std::cos(b)) * std::sin(a), scale * std::sin(b) - 1.0);
        }
    auto polys = vtkSmartPointer<vtkCellArray>::New();
    for (int i = 0; i < u; ++i)
        for (int j = 0; j < v; ++j) {
            vtkIdType a = i * v + j, b = ((i + 1) % u) * v + j, c = ((i + 1) % u) * v + (j + 1) % v,
                      d = i * v + (j + 1) % v;
            const vtkIdType t1[3] = {a, b, c}, t2[3] = {a, c, d};
            polys->InsertNextCell(3, t1);
            polys->InsertNextCell(3, t2);
        }
    auto mesh = vtkSmartPointer<vtkPolyData>::New();
    mesh->SetPoints(points);
    mesh->SetPolys(polys);
    return mesh;
}

// A strip folded so that some triangles have two equal corners, which both readers drop when merging.
vtkSmartPointer<vtkPolyData> WithDegenerateTriangles() {
    auto mesh = Torus(6, 4, 1e-3);
    const vtkIdType bad[3] = {0, 0, 5};
    mesh->GetPolys()->InsertNextCell(3, bad);
    return mesh;
}

void ExpectSameAsVtk(const std::string& path, bool merging) {
    SCOPED_TRACE(path + (merging ? " merged" : " as read"));
    auto peer = vtkSmartPointer<vtkSTLReader>::New();
    peer->SetFileName(path.c_str());
    peer->SetMerging(merging);
    peer->Update();
    meshtest::ReadResult expected = meshtest::Contents(peer->GetOutput());
    meshtest::ReadResult ours = meshtest::Read(path, merging);
    ASSERT_GT(expected.triangles.size(), 0u);
    EXPECT_EQ(ours.points.size(), expected.points.size());
    EXPECT_EQ(ours.triangles.size(), expected.triangles.size());
    EXPECT_TRUE(ours.points == expected.points);
    EXPECT_TRUE(ours.triangles == expected.triangles);
}

} // namespace

TEST(VtkReaderAgreement, FilesWrittenByVtkReadTheSame) {
    TempDir dir;
    struct Case {
        const char* name;
        vtkSmartPointer<vtkPolyData> mesh;
    } cases[] = {{"torus", Torus(40, 24, 1.0)},
                 {"large-coordinates", Torus(30, 10, 12345.678)},
                 {"degenerate", WithDegenerateTriangles()}};
    for (const Case& c : cases) {
        for (bool binary : {false, true}) {
            std::string path = dir / (std::string(c.name) + (binary ? "-binary.stl" : "-ascii.stl"));
            auto writer = vtkSmartPointer<vtkSTLWriter>::New();
            writer->SetInputData(c.mesh);
            writer->SetFileName(path.c_str());
            if (binary)
                writer->SetFileTypeToBinary();
            else
                writer->SetFileTypeToASCII();
            ASSERT_EQ(writer->Write(), 1);
            ExpectSameAsVtk(path, true);
            ExpectSameAsVtk(path, false);
        }
    }
}
