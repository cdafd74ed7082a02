// Modules: where a loaded module's file is, and the resources that a module file carries.
//
// A module handle (HMODULE) of a loaded module is the address at which it starts, as on Windows. A module
// opened as a data file (LoadLibraryExW with LOAD_LIBRARY_AS_DATAFILE) is not loaded at all: its resources
// are read from the file, and its handle has the lowest bit set.
//
// Resources live in the module file's ELF section ".tarnel.rsrc", which TARNEL_RESOURCE fills at build time.
// The section is a run of entries, each aligned to 8 bytes:
//   "TRES", id (u32), language (u16), length of the type name (u16), length of the data (u32),
//   the type name (ASCII, no terminator), zero padding to 8, the data, zero padding to 8.
// All numbers are little-endian.
#pragma once

#include "platform/winerror.h"

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

#define TARNEL_RESOURCE_STR2(x) #x
#define TARNEL_RESOURCE_STR(x) TARNEL_RESOURCE_STR2(x)

// Puts the bytes of a file into the module's resource section, as resource `id` of type `type` (a string
// literal) in `language`. `file` is a string literal naming the file at build time.
#define TARNEL_RESOURCE(type, id, language, file)                                                            \
    __asm__(                                                                                                 \
        ".pushsection .tarnel.rsrc,\"a\",@progbits\n"                                                        \
        ".balign 8\n"                                                                                        \
        ".ascii \"TRES\"\n"                                                                                  \
        ".long " TARNEL_RESOURCE_STR(id) "\n"                                                                \
                                         ".short " TARNEL_RESOURCE_STR(language) "\n"                        \
                                                                                 ".short 2f - 1f\n"          \
                                                                                 ".long 4f - 3f\n"           \
                                                                                 "1: .ascii \"" type "\"\n"  \
                                                                                 "2: .balign 8\n"            \
                                                                                 "3: .incbin \"" file "\"\n" \
                                                                                 "4: .balign 8\n"            \
                                                                                 ".popsection\n")
