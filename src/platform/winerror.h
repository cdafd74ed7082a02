// System error codes, their HRESULT form and the calling thread's last error.
#pragma once

#include "platform/com.h"

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

#define FACILITY_WIN32 7

inline HRESULT HRESULT_FROM_WIN32(LONG x) {
    return x <= 0 ? HRESULT(x) : HRESULT((ULONG(x) & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

extern "C" {
TARNEL_API DWORD GetLastError();
TARNEL_API void SetLastError(DWORD dwErrCode);
}

// The last error as an HRESULT; E_FAIL when a failing call left no error behind.
inline HRESULT AtlHresultFromLastError() {
    DWORD dwErr = ::GetLastError();
    return dwErr == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(LONG(dwErr));
}
