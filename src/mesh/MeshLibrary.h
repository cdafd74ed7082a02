// The mesh library, libtarnelmesh.so: everything that only meshes need (VTK's pipeline, the EGL render
// window, the GLEW override and vtkTVXReader) behind a few C entry points. The module loads it on the first
// mesh request, from its own folder, so a study, project or icon request maps no VTK library; `tarnel info`
// and the host's diagnosis load it the same way, on demand.
#pragma once

#include "windef.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>

inline constexpr char kMeshLibraryName[] = "libtarnelmesh.so";

// What the mesh reader makes of one file, as `tarnel info` tells it.
struct TarnelMeshFacts {
    const char* format; // "ascii" or "binary", told as the reader tells it
    long long pointsRead;
    long long trianglesRead;
    long long points; // after merging, as the mesh preview gets them
    long long triangles;
    long long drawable; // of those triangles, the ones with finite coordinates in range and an area
    int understood;     // 0: the bytes are not the format they were read as (a binary file shorter than
                        // its triangle count needs, a text file that is no ASCII mesh)
};

extern "C" {
// The mesh preview of the file at the requested size: a new bitmap, or null.
typedef HBITMAP (*TarnelRenderMeshPreviewFn)(LPCWSTR lpszPath, const SIZE* size);
// The facts of a mesh file named in the file-name encoding; 0 when no regular file of that name can be read.
typedef int (*TarnelGetMeshFactsFn)(const char* path, TarnelMeshFacts* facts);
// Why no off-screen OpenGL context can be had here, or "" when one can.
typedef const char* (*TarnelOffscreenProblemFn)();
}

// Opens the mesh library that lies in `folder` (or, for programs in a bin folder, in ../lib beside it).
// It is opened in a group of its own (RTLD_LOCAL), where its glewInit comes before GLEW's, and stays loaded:
// VTK's libraries do not take well to being unloaded. Null with the reason in `error`.
inline void* OpenMeshLibrary(const std::string& folder, std::string& error) {
    std::string tried;
    for (const char* relative : {"/", "/../lib/"}) {
        const std::string path = folder + relative + kMeshLibraryName;
        if (::access(path.c_str(), F_OK) != 0) {
            tried = tried.empty() ? path : tried;
            continue;
        }
        if (void* library = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE))
            return library;
        const char* why = ::dlerror();
        error = why != nullptr ? why : "cannot load " + path;
        return nullptr;
    }
    error = "mesh previews need " + tried + ", which is missing";
    return nullptr;
}

// The folder of the file that holds the code at `address` (a shared library, or the program).
inline std::string FolderOfCode(const void* address) {
    Dl_info info{};
    std::string file;
    if (::dladdr(address, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] == '/')
        file = info.dli_fname;
    // A library loaded through its descriptor (/proc/self/fd/N) lies where that descriptor leads.
    if (file.rfind("/proc/self/fd/", 0) == 0) {
        char real[4096];
        const ssize_t n = ::readlink(file.c_str(), real, sizeof real - 1);
        file = n > 0 && real[0] == '/' ? std::string(real, size_t(n)) : std::string();
    }
    if (file.empty()) { // the program itself, named as it was started
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        file = n > 0 ? std::string(self, size_t(n)) : ".";
    }
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}
