// The source chain's policy: which files may be looked at (the size limit) and which go to the mesh preview.
#pragma once

#include "windef.h"

constexpr ULONG kDefaultSizeLimit = 2097152; // 2 MiB

// The runtime's atoi: leading white space, an optional sign, decimal digits; saturates at the int range.
int RuntimeAtoi(const char* s);

// Whether TARNEL_IGNORE_SIZE switches the size check off (set, and not 0 as a number).
bool IsSizeCheckIgnored();

// The limit in force, from TARNEL_SIZE_LIMIT or the default; pbFromEnvironment tells which.
ULONG GetSizeLimit(bool* pbFromEnvironment = nullptr);

// Whether the size policy lets this file through. The variables are read afresh for every file.
bool IsFileSizeAllowed(LPCWSTR lpszPath);

// Whether the path names an existing folder, FIFO, socket or device: something with a status but no content.
bool NamesFolderOrDevice(LPCWSTR lpszPath);

// Whether the path contains ".stl", ".tvx" or ".ybr" anywhere, without regard to case.
bool IsMeshFile(LPCWSTR lpszPath);
