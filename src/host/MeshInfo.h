// `tarnel info` on mesh files: what the mesh reader makes of one.
#pragma once

#include <optional>
#include <string>

struct MeshFacts {
    const char* format; // "ascii" or "binary", told as the reader tells it
    long long pointsRead;
    long long trianglesRead;
    long long points; // after merging, as the mesh preview gets them
    long long triangles;
};

// The facts of the mesh file at the bound path, or nothing when no regular file of that name can be read.
std::optional<MeshFacts> GetMeshFacts(const std::wstring& boundPath);

// The JSON members mesh_format, points_read, triangles_read, points and triangles, each after ", "; null
// without facts.
std::string MeshFactsJson(const std::optional<MeshFacts>& facts);

// The text line "mesh: ...", nothing without facts.
void PrintMeshFacts(const std::optional<MeshFacts>& facts);
