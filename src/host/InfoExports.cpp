// The info library's answers for the host's other commands: why a file gave no picture, and what a cached
// project depends on. Both look at the file as the extractor does (InfoLibrary.h).
#include "host/FileChecks.h"
#include "host/InfoLibrary.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"
#include "sources/EmbeddedThumbnail.h"
#include "sources/SourceChain.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>

using tarnel::plat::FileNameScanScope;
using tarnel::plat::ResolveFileName;
using tarnel::plat::WidenFileName;

namespace {

CString Bound(const char* path) {
    CString bound(WidenFileName(path));
    bound.MakeLower(); // as IPersistFile::Load binds it
    return bound;
}

std::string Explain(const char* path, bool meshDrewNothing) {
    if (std::string problem = ReadProblem(path); !problem.empty())
        return problem;
    const CString bound = Bound(path);
    if (!IsFileSizeAllowed(bound))
        return "over the size limit of " + std::to_string(GetSizeLimit()) +
               " bytes (TARNEL_SIZE_LIMIT, or TARNEL_IGNORE_SIZE=1)";
    if (IsMeshFile(bound))
        return meshDrewNothing ? "the mesh holds no triangles" : "the mesh could not be drawn";
    if (IsProjectFile(bound)) {
        CStringArray studies;
        try {
            GetProjectStudies(bound, studies);
        } catch (CFileException* e) {
            e->Delete();
            return "the project file cannot be read";
        }
        if (studies.GetSize() == 0)
            return "the project names no study, and stores no picture of its own";
        return studies.GetSize() == 1 ? "its study gives no picture" : "none of its studies gives a picture";
    }
    EmbeddedPictureInfo picture;
    try {
        picture = InspectEmbeddedThumbnail(bound);
    } catch (CFileException* e) {
        e->Delete();
    }
    if (picture.markerOffset >= 0 && picture.width == 0)
        return "the picture stored in the file cannot be read";
    return "no picture stored in the file";
}

} // namespace

extern "C" TARNEL_API void TarnelExplainNoPicture(const char* path, int meshDrewNothing, char* reason,
                                                  size_t size) {
    if (reason == nullptr || size == 0)
        return;
    std::string text;
    try {
        text = path != nullptr ? Explain(path, meshDrewNothing != 0) : "no file";
    } catch (...) {
        text = "no picture";
    }
    std::snprintf(reason, size, "%s", text.c_str());
}

extern "C" TARNEL_API void TarnelNewestStudy(const char* path, long long* seconds, long* nanoseconds) {
    std::pair<long long, long> newest = {0, 0};
    try {
        const CString bound = Bound(path);
        // A project over the size limit gives no picture of its own making: its studies are not read.
        if (IsProjectFile(bound) && IsFileSizeAllowed(bound)) {
            CStringArray studies;
            GetProjectStudies(bound, studies);
            // Each folder is read once however many studies name it, and each study once however often.
            FileNameScanScope scans;
            std::set<std::wstring> seen;
            for (INT i = 0; i < studies.GetSize(); ++i) {
                if (!seen.insert(studies[i].str()).second)
                    continue;
                std::string native;
                struct stat st {};
                if (ResolveFileName(studies[i], native) && ::stat(native.c_str(), &st) == 0)
                    newest =
                        std::max(newest, std::pair<long long, long>(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
            }
        }
    } catch (CFileException* e) {
        e->Delete();
    } catch (...) {
    }
    *seconds = newest.first;
    *nanoseconds = newest.second;
}
