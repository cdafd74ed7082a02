// Mesh files (.stl, .tvx, .ybr) rendered off-screen at the requested size.
#pragma once

#include "windef.h"

// A new bitmap of exactly the requested size, or null.
HBITMAP RenderMeshPreview(LPCWSTR lpszPath, const SIZE& size);
