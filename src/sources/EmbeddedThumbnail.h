// The picture a study stores at its end behind "<THUMBNAIL>", fitted into the requested size.
#pragma once

#include "platform/wintypes.h"

// A new bitmap no larger than the requested size, or null. May throw CFileException* while writing the
// temporary picture file.
HBITMAP ExtractEmbeddedThumbnail(LPCWSTR lpszPath, const SIZE& size);
