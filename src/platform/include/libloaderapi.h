// Modules: where a loaded module's file is, and the resources that a module file carries.
//
// A module handle (HMODULE) of a loaded module is the address at which it starts, as on Windows. A module
// opened as a data file (LoadLibraryExW with LOAD_LIBRARY_AS_DATAFILE) is not loaded at all: its resources
// are read from the file, and its handle has the lowest bit set.
//
// Resources are read from the module file (platform/tarnel/resource.h has their format).
#pragma once

#include "winerror.h"

DECLARE_HANDLE(HRSRC);
typedef void* HGLOBAL;

#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
#define ERROR_BAD_EXE_FORMAT 193L

extern "C" {
// The full path of a loaded module's file (null: the program's own). Like Windows: the path is cut to
// nSize - 1 characters when it does not fit, and the result is then nSize with ERROR_INSUFFICIENT_BUFFER.
TARNEL_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// Only the handle of the module holding an address (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS), or of the
// program (a null name); a module's reference count is never changed here.
TARNEL_API BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
// Only LOAD_LIBRARY_AS_DATAFILE: reads the resources of the module file; nothing of it runs.
TARNEL_API HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
TARNEL_API BOOL FreeLibrary(HMODULE hLibModule);
// Resources of a module opened as a data file. Names are numbers (MAKEINTRESOURCEW or "#123"); types are
// names compared without regard to case. FindResourceW takes the first language found.
TARNEL_API HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
TARNEL_API HRSRC FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
TARNEL_API HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
TARNEL_API DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
TARNEL_API LPVOID LockResource(HGLOBAL hResData);
}
