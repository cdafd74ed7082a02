// The entry points of libtarnelshell.so (desktop.h), shared by the library and its loader.
#pragma once

#include "platform/tarnel/own.h"

#include <string>
#include <vector>

inline constexpr char kDesktopLibraryName[] = "libtarnelshell.so";

extern "C" {
// Writes the type to *type; 0 when the entry cannot be examined.
typedef int (*TarnelGuessContentTypeFn)(const char* native, int byNameOnly, std::string* type);
// Writes the type to *type; 1 when the guess is certain.
typedef int (*TarnelGuessTypeOfNameFn)(const char* name, std::string* type);
// Fills *argb with width x height pixels; 0 when the type has no icon that can be loaded.
typedef int (*TarnelLoadTypeIconFn)(const char* type, int size, int* width, int* height,
                                    std::vector<DWORD>* argb);
// Writes the URI and its MD5; 0 when the path has no file URI.
typedef int (*TarnelFileUriFn)(const char* path, std::string* uri, std::string* md5);
}
