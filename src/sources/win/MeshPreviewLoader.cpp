// The module's RenderMeshPreview on Windows: the preview lives in tarnelmesh.dll, beside tarnel.dll with
// the VTK libraries it needs, and is loaded on the first mesh request, so that a study, project or icon
// request maps none of VTK. Without the library a mesh gives no picture.
#include "sources/MeshPreview.h"

#include "atlbase.h"

#include <string>

namespace {

typedef HBITMAP (*TarnelRenderMeshPreviewFn)(LPCWSTR lpszPath, const SIZE* size);

// The folder of tarnel.dll itself, with its final backslash.
std::wstring ModuleFolder() {
    HMODULE hModule = nullptr;
    std::wstring path;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ModuleFolder), &hModule) ||
        FAILED(AtlGetModulePath(hModule, path)))
        return {};
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

TarnelRenderMeshPreviewFn MeshPreviewEntry() {
    // Once per load of the module; the library then stays loaded: VTK's libraries do not take well to
    // being unloaded.
    static const TarnelRenderMeshPreviewFn entry = []() -> TarnelRenderMeshPreviewFn {
        const std::wstring folder = ModuleFolder();
        if (folder.empty())
            return nullptr;
        // Its own folder is searched for the libraries it needs, not the process's current folder.
        const std::wstring path = folder + L"tarnelmesh.dll";
        HMODULE hLibrary = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (hLibrary == nullptr)
            return nullptr;
        return reinterpret_cast<TarnelRenderMeshPreviewFn>(
            reinterpret_cast<void*>(::GetProcAddress(hLibrary, "TarnelRenderMeshPreview")));
    }();
    return entry;
}

} // namespace

HBITMAP RenderMeshPreview(LPCWSTR lpszPath, const SIZE& size) {
    const TarnelRenderMeshPreviewFn render = MeshPreviewEntry();
    return render != nullptr ? render(lpszPath, &size) : nullptr;
}
