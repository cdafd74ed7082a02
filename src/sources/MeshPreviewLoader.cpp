// The module's RenderMeshPreview: the preview itself lives in the mesh library (MeshPreview.cpp, built into
// libtarnelmesh.so with VTK), which is loaded from the module's own folder on the first mesh request. A
// study, project or icon request never maps VTK. Without the library a mesh gives no picture; the host says
// why.
#include "mesh/MeshLibrary.h"
#include "sources/MeshPreview.h"

namespace {

TarnelRenderMeshPreviewFn MeshPreviewEntry() {
    // Once per load of the module; the library itself stays loaded (OpenMeshLibrary).
    static const TarnelRenderMeshPreviewFn entry = []() -> TarnelRenderMeshPreviewFn {
        std::string error;
        void* library =
            OpenMeshLibrary(FolderOfCode(reinterpret_cast<const void*>(&MeshPreviewEntry)), error);
        if (library == nullptr)
            return nullptr;
        return reinterpret_cast<TarnelRenderMeshPreviewFn>(::dlsym(library, "TarnelRenderMeshPreview"));
    }();
    return entry;
}

} // namespace

HBITMAP RenderMeshPreview(LPCWSTR lpszPath, const SIZE& size) {
    const TarnelRenderMeshPreviewFn render = MeshPreviewEntry();
    return render != nullptr ? render(lpszPath, &size) : nullptr;
}
