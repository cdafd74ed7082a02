// `tarnel info` on mesh files: what the mesh reader makes of one.
#pragma once

#include "host/ChildAnswer.h"
#include "mesh/MeshLibrary.h"

#include <optional>
#include <string>

// What the mesh reader makes of the file, as the mesh library tells it.
using MeshFacts = TarnelMeshFacts;

// The facts of the mesh file at the bound path, or nothing when no regular file of that name can be read, or
// when the mesh library cannot be loaded (then with the reason in error).
std::optional<MeshFacts> GetMeshFacts(const std::wstring& boundPath, std::string& error);

inline AnswerWhy MeshVerdict(const MeshFacts& facts) {
    return MeshVerdict(facts.triangles, facts.drawable, facts.understood != 0);
}
