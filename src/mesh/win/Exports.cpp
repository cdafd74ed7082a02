// The entry point of tarnelmesh.dll, which tarnel.dll loads on its first mesh request
// (sources/win/MeshPreviewLoader.cpp).
#include "afxwin.h"
#include "sources/MeshPreview.h"

extern "C" __declspec(dllexport) HBITMAP TarnelRenderMeshPreview(LPCWSTR lpszPath, const SIZE* size) {
    if (size == nullptr)
        return nullptr;
    HBITMAP hBitmap = RenderMeshPreview(lpszPath, *size);
    // This library has its own copy of the class library, whose temporary wrappers (the desktop window's
    // among them) only its own idle processing would free: they go when the preview is done.
    if (AfxGetTempMapLock() == 0) {
        AfxLockTempMaps();
        AfxUnlockTempMaps();
    }
    return hBitmap;
}
