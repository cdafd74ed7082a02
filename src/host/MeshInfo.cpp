#include "host/MeshInfo.h"

#include "mesh/MeshLibrary.h"
#include "platform/tarnel/widestr.h"

using tarnel::plat::NarrowFileName;

std::optional<MeshFacts> GetMeshFacts(const std::wstring& boundPath, std::string& error) {
    // The mesh library lies beside this one (the info library), and is loaded only for a mesh file.
    void* library = OpenMeshLibrary(FolderOfCode(reinterpret_cast<const void*>(&GetMeshFacts)), error);
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
