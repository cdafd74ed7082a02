// The desktop's own databases, through GLib: MIME types (shared-mime-info through GIO), themed icons
// (index.theme through GKeyFile, icon files through gdk-pixbuf) and the URIs and digests that name thumbnail
// cache entries. They live in a library of their own, libtarnelshell.so, beside the platform library, which
// loads it on the first call: a study's thumbnail and the command's start need none of GLib.
#pragma once

#include "platform/tarnel/own.h"

#include <string>
#include <vector>

namespace tarnel::plat {

// The MIME type of an existing entry: special files by their kind, regular files by name and first bytes
// (only regular files are read, without blocking); with byNameOnly, by the name alone. "" when the entry
// cannot be examined or the library is missing.
TARNEL_API std::string GuessContentType(const std::string& native, bool byNameOnly);

// The type a file name alone suggests, and whether the guess is uncertain.
TARNEL_API std::string GuessContentTypeOfName(const std::string& name, bool& uncertain);

// The themed icon of that type at size x size (proportions kept), as straight-alpha 0xAARRGGBB pixels.
TARNEL_API bool LoadTypeIcon(const std::string& type, int size, int& width, int& height,
                             std::vector<DWORD>& argb);

// The file URI of an absolute path as GIO spells it, and the MD5 of that URI in hexadecimal.
TARNEL_API bool FileUriAndDigest(const std::string& path, std::string& uri, std::string& md5);

// Why the library cannot be loaded, or "".
TARNEL_API std::string DesktopLibraryProblem();

} // namespace tarnel::plat
