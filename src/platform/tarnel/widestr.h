// File names are bytes on Linux and wide strings in the system. UTF-8 is the file-name encoding; a byte that
// is not part of valid UTF-8 becomes the lone code point U+DC80..U+DCFF and turns back into the same byte,
// so every name round-trips.
#pragma once

#include "platform/tarnel/own.h"

#include <string>
#include <string_view>

namespace tarnel::plat {

TARNEL_API std::string NarrowFileName(std::wstring_view wide);
TARNEL_API std::wstring WidenFileName(std::string_view bytes);

} // namespace tarnel::plat
