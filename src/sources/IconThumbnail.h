// The fallback picture: the file's icon centred on white.
#pragma once

#include "windef.h"

// A new bitmap of the requested size with the icon of the file, or null when there is no icon.
HBITMAP CreateIconThumbnail(LPCWSTR lpszPath, const SIZE& size);
