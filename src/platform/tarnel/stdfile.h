// Opening C streams through the platform's name matching (filename.h), for regular files only: a FIFO or a
// device could block a reader for ever, and a folder has no content.
#pragma once

#include "platform/tarnel/own.h"

#include <cstdio>

namespace tarnel::plat {

// As fopen for reading, with the name matching and for regular files only: what the runtime's _fsopen does
// (winbase.h has the modes and errors). name is in the file-name encoding (UTF-8, undecodable bytes kept).
TARNEL_API FILE* OpenRegularFile(const char* name, const char* mode);

} // namespace tarnel::plat
