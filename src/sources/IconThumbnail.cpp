#include "sources/IconThumbnail.h"

// Placeholder until the icon lookup lands: no icon can be drawn yet, so the fallback gives null.
HBITMAP CreateIconThumbnail(LPCWSTR, const SIZE&) {
    return nullptr;
}
