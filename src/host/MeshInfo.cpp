#include "host/MeshInfo.h"

#include "mesh/MeshLibrary.h"
#include "platform/tarnel/widestr.h"

#include <cstdio>

using tarnel::plat::NarrowFileName;

std::optional<MeshFacts> GetMeshFacts(const std::wstring& boundPath, std::string& error) {
    // The mesh library lies beside this one (the info library), and is loaded only for a mesh file.
    void* library = OpenMeshLibrary(FolderOfCode(reinterpret_cast<const void*>(&MeshFactsJson)), error);
    auto facts = library == nullptr
                     ? nullptr
                     : reinterpret_cast<TarnelGetMeshFactsFn>(::dlsym(library, "TarnelGetMeshFacts"));
    if (facts == nullptr) {
        if (error.empty())
            error = "the mesh library lacks TarnelGetMeshFacts";
        return std::nullopt;
    }
    MeshFacts read{};
    if (facts(NarrowFileName(boundPath).c_str(), &read) == 0)
        return std::nullopt;
    return read;
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
