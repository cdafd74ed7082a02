// The runtime's stream opening for code that reads files through C streams (the mesh reader). The name goes
// through the platform's name matching (filename.h), and only a regular file is opened: a FIFO or a device
// could block a reader for ever, and a folder has no content.
#pragma once

#include "platform/wintypes.h"

#include <cstdio>

// As fopen for reading: mode is "r", "rb" or "rt". "r" and "rt" are the runtime's text mode: reading ends at
// the first Ctrl+Z (0x1A) and CR LF reads as LF; such a stream can be rewound but not otherwise sought, and
// has no descriptor (fileno gives -1). "rb" gives the bytes as they are. name is in the file-name encoding
// (UTF-8, undecodable bytes kept; see widestr.h). Null with errno set when no regular file of that name can
// be opened: ENOENT when none matches, EACCES for anything but a regular file, EINVAL for a mode that is not
// for reading.
TARNEL_API FILE* OpenRegularFile(const char* name, const char* mode);
