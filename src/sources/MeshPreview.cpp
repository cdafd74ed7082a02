#include "sources/MeshPreview.h"

// Placeholder until the off-screen mesh renderer lands: no mesh gives a picture yet, so the chain yields
// null for mesh files and the extraction falls back.
HBITMAP RenderMeshPreview(LPCWSTR, const SIZE&) {
    return nullptr;
}
