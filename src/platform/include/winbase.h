// Kernel and runtime helpers the system calls: local time, FILETIME conversion, file deletion.
#pragma once

#include "windef.h"

#include <cstdio>
#include <ctime>

typedef int errno_t;

extern "C" {
// Broken-down local time of a 64-bit time value; EINVAL for null pointers or a time that cannot be converted.
TARNEL_API errno_t _localtime64_s(struct tm* ptm, const __time64_t* ptime);
TARNEL_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
TARNEL_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
TARNEL_API BOOL DeleteFileW(LPCWSTR lpFileName);

// The runtime's stream opening, for reading only: mode is "r", "rb" or "rt". The name (in the file-name
// encoding) is matched as every file access of the platform matches names, and only a regular file is
// opened: a FIFO or a device could block a reader for ever, and a folder has no content. "r" and "rt" are
// the runtime's text mode: reading ends at the first Ctrl+Z (0x1A) and CR LF reads as LF; such a stream can
// be rewound but not otherwise sought, and has no descriptor (fileno gives -1). "rb" gives the bytes as they
// are. Null with errno set when no regular file of that name can be opened: ENOENT when none matches, EACCES
// for anything but a regular file, EINVAL for a mode that is not for reading. Sharing is not restricted.
TARNEL_API FILE* _fsopen(const char* filename, const char* mode, int shflag);
}

#define _SH_DENYNO 0x40
