// Icon lookup by the freedesktop Icon Theme rules: the user's theme and the themes it inherits, then
// hicolor, then Adwaita, then the unthemed pixmaps folder.
#pragma once

#include "platform/tarnel/own.h"

#include <string>
#include <vector>

namespace tarnel::plat {

// The file of the first of names that any theme in the chain has, at (or nearest to) size pixels; empty
// when none has any of them. Names ending in "-symbolic" are passed over: they are drawn in one colour to be
// tinted, not shown as they are.
TARNEL_API std::string LookupThemedIcon(const std::vector<std::string>& names, int size);

// The user's icon theme: gtk-icon-theme-name from the GTK settings files, else "Adwaita".
TARNEL_API std::string UserIconThemeName();

// The MIME type that SHGetFileInfoW chooses a file's icon for (for diagnostics); empty when the file does not
// exist.
TARNEL_API std::string FileContentType(LPCWSTR path);

} // namespace tarnel::plat
