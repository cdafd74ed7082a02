// The entry points of the mesh library (MeshLibrary.h). Only these and glewInit leave the library.
#include "mesh/MeshLibrary.h"

#include "mesh/vtkMemoryRenderWindow.h"
#include "meshreader/TVXChecks.h"
#include "meshreader/vtkTVXReader.h"
#include "platform/tarnel/stdfile.h"
#include "sources/MeshPreview.h"

#include <vtkNew.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>

#include <cstdio>
#include <string>
#include <utility>

using tarnel::plat::OpenRegularFile;

namespace {

// One run of a new reader, as the mesh preview makes it; counts of the output's points and triangles, and
// of the triangles it can draw when drawable is asked for.
std::pair<long long, long long> Run(const char* path, bool merging, long long* drawable = nullptr) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName(path);
    reader->SetMerging(merging);
    reader->Update();
    vtkPolyData* output = reader->GetOutput();
    if (drawable != nullptr)
        *drawable = TVXDrawableTriangles(output);
    return {output->GetNumberOfPoints(), output->GetNumberOfPolys()};
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
        const bool understood = TVXIsWhatItIsReadAs(fp, binary);
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
