// Fuzz target: the project-file reader, given any bytes as a project file.
#include "MemoryFile.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "platform/tarnel/widestr.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile file("project.kpv", data, size);
    if (!file.ok())
        return 0;
    const std::wstring path = file.path();
    try {
        CStringArray studies;
        GetProjectStudies(CString(path), studies);
        for (INT i = 0; i < studies.GetSize(); ++i)
            if (studies[i].Find(L".qzt") < 0)
                __builtin_trap(); // every entry names a study
    } catch (CFileException* e) {
        e->Delete();
    }
    return 0;
}
