// Fuzz target: the project-file reader, given any bytes as a project file.
#include "extractor/ProjectFile.h"
#include "platform/afxfile.h"
#include "platform/widestr.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bytes live in an anonymous in-memory file, reached through its /proc name.
    int fd = ::memfd_create("project.kpv", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (size > 0 && ::write(fd, data, size) != ssize_t(size)) {
        ::close(fd);
        return 0;
    }
    std::wstring path = WidenFileName("/proc/self/fd/" + std::to_string(fd));
    try {
        CStringArray studies;
        GetProjectStudies(CString(path), studies);
        for (INT i = 0; i < studies.GetSize(); ++i)
            if (studies[i].Find(L".qzt") < 0)
                __builtin_trap(); // every entry names a study
    } catch (CFileException* e) {
        e->Delete();
    }
    ::close(fd);
    return 0;
}
