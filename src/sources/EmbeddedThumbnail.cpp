#include "sources/EmbeddedThumbnail.h"

// Placeholder until embedded pictures land: no file gives an embedded picture yet.
HBITMAP ExtractEmbeddedThumbnail(LPCWSTR, const SIZE&) {
    return nullptr;
}
