#include "host/MeshInfo.h"

#include "platform/stdfile.h"
#include "platform/widestr.h"

#include "vtkTVXReader.h"

#include "vtkPolyData.h"
#include "vtkSmartPointer.h"

#include <cstdio>

namespace {

// One run of a new reader, as the mesh preview makes it; counts of the output's points and triangles.
std::pair<long long, long long> Run(const std::string& path, bool merging) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName(path.c_str());
    reader->SetMerging(merging);
    reader->Update();
    vtkPolyData* output = reader->GetOutput();
    return {output->GetNumberOfPoints(), output->GetNumberOfPolys()};
}

} // namespace

std::optional<MeshFacts> GetMeshFacts(const std::wstring& boundPath) {
    const std::string path = NarrowFileName(boundPath);
    FILE* fp = OpenRegularFile(path.c_str(), "r");
    if (fp == nullptr)
        return std::nullopt;
    const bool binary = vtkTVXReader::IsBinaryFile(fp) != 0;
    std::fclose(fp);
    // The reader's messages stay off, as in the thumbnail extractor.
    const int warnings = vtkObject::GetGlobalWarningDisplay();
    vtkObject::GlobalWarningDisplayOff();
    MeshFacts facts{binary ? "binary" : "ascii", 0, 0, 0, 0};
    std::tie(facts.pointsRead, facts.trianglesRead) = Run(path, false);
    std::tie(facts.points, facts.triangles) = Run(path, true);
    vtkObject::SetGlobalWarningDisplay(warnings);
    return facts;
}

std::string MeshFactsJson(const std::optional<MeshFacts>& facts) {
    auto number = [&](long long MeshFacts::*field) {
        return facts ? std::to_string((*facts).*field) : "null";
    };
    std::string out = ", \"mesh_format\": ";
    out += facts ? std::string("\"") + facts->format + "\"" : std::string("null");
    out += ", \"points_read\": " + number(&MeshFacts::pointsRead);
    out += ", \"triangles_read\": " + number(&MeshFacts::trianglesRead);
    out += ", \"points\": " + number(&MeshFacts::points);
    out += ", \"triangles\": " + number(&MeshFacts::triangles);
    return out;
}

void PrintMeshFacts(const std::optional<MeshFacts>& facts) {
    if (facts)
        std::printf(
            "mesh: %s, %lld points and %lld triangles read, %lld points and %lld triangles after merging\n",
            facts->format, facts->pointsRead, facts->trianglesRead, facts->points, facts->triangles);
}
