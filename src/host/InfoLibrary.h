// The info library, libtarnelinfo.so: the extractor's own policies (kinds, the size limit, a project's
// studies, the embedded picture) for the host's questions about a file: `tarnel info`, why a file gave no
// picture, and which studies a cached project depends on. The host loads it on demand from the module's
// folder; the host itself links none of the system's code.
#pragma once

#include <cstddef>
#include <string>

extern "C" {
// `tarnel info`: its whole run, with argv[0] the command's name.
typedef int (*TarnelRunInfoFn)(int argc, char** argv);
// Why the file at path gave no picture, in the user's words, written to reason (at most size bytes with the
// terminating zero). meshDrewNothing: the mesh preview came back holding only the background.
typedef void (*TarnelExplainNoPictureFn)(const char* path, int meshDrewNothing, char* reason, size_t size);
// For a project file: the newest modification time among the studies it names, 0 when it names none (or
// the file is no project). The studies are found as the extractor finds them.
typedef void (*TarnelNewestStudyFn)(const char* path, long long* seconds, long* nanoseconds);
}

inline constexpr char kInfoLibraryName[] = "libtarnelinfo.so";

// The info library's entry points, loaded once per process; null members when it cannot be loaded, with the
// reason in error.
struct InfoLibrary {
    TarnelRunInfoFn runInfo = nullptr;
    TarnelExplainNoPictureFn explainNoPicture = nullptr;
    TarnelNewestStudyFn newestStudy = nullptr;
    std::string error;
};
const InfoLibrary& GetInfoLibrary();
