// The info library, libtarnelinfo.so: the extractor's own policies (kinds, the size limit, a project's
// studies, the embedded picture) for the host's questions about a file: `tarnel info`, why a file gave no
// picture, and which studies a cached project depends on. The host loads it on demand from the module's
// folder; the host itself links none of the system's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
// `tarnel info`'s look at the file, in the info child: the record (InfoRecord.h) written to fd; 0 when it
// was.
typedef int (*TarnelLookAtFn)(const char* file, int fd);
// Why the file at path gave no picture, as an AnswerWhy (ChildAnswer.h) with its numbers[2]; asked in the
// extraction child, which read the file. meshDrewNothing: the mesh preview held only the background.
typedef void (*TarnelExplainNoPictureFn)(const char* path, int meshDrewNothing, uint16_t* why,
                                         int64_t* numbers);
// For a project file: the newest modification time among the studies it names, 0 when it names none (or
// the file is no project). The studies are found as the extractor finds them.
typedef void (*TarnelNewestStudyFn)(const char* path, long long* seconds, long* nanoseconds);
// The extractor's fallback picture of the file (its icon centred on white) at width x height: a new bitmap of
// the platform's GDI, or null. Asked in the extraction child, for a mesh preview that drew nothing.
typedef void* (*TarnelIconPictureFn)(const char* path, long width, long height);
}

inline constexpr char kInfoLibraryName[] = "libtarnelinfo.so";

// The info library's entry points, loaded once per process; null members when it cannot be loaded, with the
// reason in error.
struct InfoLibrary {
    TarnelLookAtFn lookAt = nullptr;
    TarnelExplainNoPictureFn explainNoPicture = nullptr;
    TarnelNewestStudyFn newestStudy = nullptr;
    TarnelIconPictureFn iconPicture = nullptr;
    std::string error;
};
const InfoLibrary& GetInfoLibrary();
