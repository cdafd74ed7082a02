// The first header of every file of the Windows build (the build force-includes it, as projects of the
// class library start with their precompiled header): the SDK itself, then the few names that the class
// library's headers share with the Linux platform layer.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX // std::min and std::max, not the SDK's macros
#endif
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstddef>
#include <share.h> // _fsopen's sharing modes
#include <wchar.h>

// The standard three-argument wcstok, which Windows' runtime has as wcstok_s (its own wcstok keeps the
// position in a hidden variable). Declared before <cwchar>, so that std::wcstok is this one too.
inline wchar_t* wcstok(wchar_t* str, const wchar_t* delimiters, wchar_t** state) {
    return ::wcstok_s(str, delimiters, state);
}
#include <cwchar>

// The class library, ATL and dibkit are linked into tarnel.dll itself: nothing of theirs is exported.
#define TARNEL_API

// The C runtime's search for the last occurrence of a byte, which Windows' runtime lacks.
extern "C" void* memrchr(const void* s, int c, size_t n);
