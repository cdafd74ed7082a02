// The entry points of the mesh library (MeshLibrary.h). Only these and glewInit leave the library.
#include "mesh/MeshLibrary.h"

#include "mesh/vtkMemoryRenderWindow.h"
#include "meshreader/vtkTVXReader.h"
#include "platform/tarnel/stdfile.h"
#include "sources/MeshPreview.h"

#include <vtkCellArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

using tarnel::plat::OpenRegularFile;

namespace {

// Coordinates beyond this draw nothing: the renderer's single-precision arithmetic overflows on them.
constexpr double kLargestDrawn = 1e18;

// The triangles of the output that a render can show: finite corners within range, and an area.
long long DrawableTriangles(vtkPolyData* output) {
    vtkCellArray* polys = output->GetPolys();
    vtkPoints* points = output->GetPoints();
    if (polys == nullptr || points == nullptr)
        return 0;
    long long drawable = 0;
    vtkIdType count = 0;
    const vtkIdType* ids = nullptr;
    for (polys->InitTraversal(); polys->GetNextCell(count, ids) != 0;) {
        if (count != 3)
            continue;
        double p[3][3];
        bool inRange = true;
        for (int i = 0; i < 3; ++i) {
            points->GetPoint(ids[i], p[i]);
            for (double c : p[i])
                inRange = inRange && std::isfinite(c) && std::fabs(c) <= kLargestDrawn;
        }
        if (!inRange)
            continue;
        const double u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
        const double v[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
        const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        if (n[0] != 0 || n[1] != 0 || n[2] != 0)
            ++drawable;
    }
    return drawable;
}

// One run of a new reader, as the mesh preview makes it; counts of the output's points and triangles, and
// of the triangles it can draw when drawable is asked for.
std::pair<long long, long long> Run(const char* path, bool merging, long long* drawable = nullptr) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName(path);
    reader->SetMerging(merging);
    reader->Update();
    vtkPolyData* output = reader->GetOutput();
    if (drawable != nullptr)
        *drawable = DrawableTriangles(output);
    return {output->GetNumberOfPoints(), output->GetNumberOfPolys()};
}

// Whether the file is what it is read as: a binary mesh holds the triangles its header counts (84 bytes, then
// 50 a triangle; writers that pad the file leave bytes after them), a text mesh begins with "solid".
bool Understood(FILE* fp, bool binary) {
    unsigned char head[84];
    const size_t n = std::fread(head, 1, sizeof head, fp);
    if (!binary) {
        size_t at = 0;
        while (at < n && (head[at] == ' ' || head[at] == '\t' || head[at] == '\r' || head[at] == '\n'))
            ++at;
        return n == 0 || (n - at >= 5 && std::memcmp(head + at, "solid", 5) == 0);
    }
    if (n < sizeof head || std::fseek(fp, 0, SEEK_END) != 0)
        return false;
    const long size = std::ftell(fp);
    const unsigned long long count =
        head[80] | head[81] << 8 | head[82] << 16 | (unsigned long long)head[83] << 24;
    return size >= 0 && 84 + 50 * count <= (unsigned long long)size;
}

} // namespace

extern "C" TARNEL_API HBITMAP TarnelRenderMeshPreview(LPCWSTR lpszPath, const SIZE* size) {
    return size != nullptr ? RenderMeshPreview(lpszPath, *size) : nullptr;
}

extern "C" TARNEL_API int TarnelGetMeshFacts(const char* path, TarnelMeshFacts* facts) {
    if (path == nullptr || facts == nullptr)
        return 0;
    try {
        FILE* fp = OpenRegularFile(path, "r");
        if (fp == nullptr)
            return 0;
        const bool binary = vtkTVXReader::IsBinaryFile(fp) != 0;
        const bool understood = Understood(fp, binary);
        std::fclose(fp);
        // The reader's messages stay off, as in the thumbnail extractor.
        const int warnings = vtkObject::GetGlobalWarningDisplay();
        vtkObject::GlobalWarningDisplayOff();
        *facts = {binary ? "binary" : "ascii", 0, 0, 0, 0, 0, understood ? 1 : 0};
        std::tie(facts->pointsRead, facts->trianglesRead) = Run(path, false);
        std::tie(facts->points, facts->triangles) = Run(path, true, &facts->drawable);
        vtkObject::SetGlobalWarningDisplay(warnings);
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" TARNEL_API const char* TarnelOffscreenProblem() {
    static std::string problem;
    try {
        vtkNew<vtkMemoryRenderWindow> window;
        if (window->SetupMemoryRendering(1, 1, nullptr))
            window->ResumeScreenRendering();
        problem = vtkMemoryRenderWindow::GetUnavailableReason();
    } catch (...) {
        problem = "the render window could not be made";
    }
    return problem.c_str();
}
