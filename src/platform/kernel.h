// Kernel and runtime helpers the system calls: local time, FILETIME conversion, file deletion.
#pragma once

#include "platform/wintypes.h"

#include <ctime>

typedef int errno_t;

extern "C" {
// Broken-down local time of a 64-bit time value; EINVAL for null pointers or a time that cannot be converted.
TARNEL_API errno_t _localtime64_s(struct tm* ptm, const __time64_t* ptime);
TARNEL_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
TARNEL_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
TARNEL_API BOOL DeleteFileW(LPCWSTR lpFileName);
}
