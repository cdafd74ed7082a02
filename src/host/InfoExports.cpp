// The info library's answers for the host's other commands: why a file gave no picture, and what a cached
// project depends on. Both look at the file as the extractor does (InfoLibrary.h).
#include "host/ChildAnswer.h"
#include "host/FileChecks.h"
#include "host/InfoLibrary.h"
#include "host/MeshInfo.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"
#include "sources/EmbeddedThumbnail.h"
#include "sources/IconThumbnail.h"
#include "sources/SourceChain.h"

#include <sys/stat.h>

#include <cerrno>

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

struct Explanation {
    AnswerWhy why;
    int64_t numbers[2] = {0, 0};
};

AnswerWhy ReadProblemWhy(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0)
        return errno == EACCES ? AnswerWhy::PermissionDenied : AnswerWhy::NotFound;
    if (!S_ISREG(st.st_mode))
        return AnswerWhy::NotRegular;
    const std::string problem = ReadProblem(path);
    return problem.empty() ? AnswerWhy::None : AnswerWhy::PermissionDenied;
}

Explanation Explain(const char* path, bool meshDrewNothing) {
    if (const AnswerWhy problem = ReadProblemWhy(path); problem != AnswerWhy::None)
        return {problem};
    const CString bound = Bound(path);
    if (!IsFileSizeAllowed(bound))
        return {AnswerWhy::OverSizeLimit, {(int64_t)GetSizeLimit(), 0}};
    if (IsMeshFile(bound)) {
        if (!meshDrewNothing)
            return {AnswerWhy::MeshNotDrawn};
        // The render showed only its background: the reader's facts tell why.
        std::string error;
        const std::optional<MeshFacts> facts = GetMeshFacts(bound.str(), error);
        const AnswerWhy verdict = facts ? MeshVerdict(*facts) : AnswerWhy::MeshHoldsNoTriangles;
        return {verdict == AnswerWhy::None ? AnswerWhy::MeshDrawsNothing : verdict};
    }
    if (IsProjectFile(bound)) {
        CStringArray studies;
        try {
            GetProjectStudies(bound, studies);
        } catch (CFileException* e) {
            e->Delete();
            return {AnswerWhy::ProjectUnreadable};
        }
        if (studies.GetSize() == 0)
            return {AnswerWhy::ProjectNamesNoStudy};
        return {studies.GetSize() == 1 ? AnswerWhy::StudyGivesNoPicture : AnswerWhy::StudiesGiveNoPicture};
    }
    EmbeddedPictureInfo picture;
    try {
        picture = InspectEmbeddedThumbnail(bound);
    } catch (CFileException* e) {
        e->Delete();
    }
    if (picture.markerOffset >= 0 && picture.width == 0)
        return {AnswerWhy::PictureUnreadable};
    // A picture that can be read and still gave none: one side scales to nothing at the asked size.
    if (picture.markerOffset >= 0)
        return {AnswerWhy::PictureUnscalable, {(int64_t)picture.width, (int64_t)picture.height}};
    return {AnswerWhy::NoStoredPicture};
}

} // namespace

extern "C" TARNEL_API void TarnelExplainNoPicture(const char* path, int meshDrewNothing, uint16_t* why,
                                                  int64_t* numbers) {
    if (why == nullptr || numbers == nullptr)
        return;
    Explanation e{AnswerWhy::Unknown};
    try {
        if (path != nullptr)
            e = Explain(path, meshDrewNothing != 0);
    } catch (...) {
        e = {AnswerWhy::Unknown};
    }
    *why = uint16_t(e.why);
    numbers[0] = e.numbers[0];
    numbers[1] = e.numbers[1];
}

extern "C" TARNEL_API void* TarnelIconPicture(const char* path, long width, long height) {
    try {
        return path != nullptr ? CreateIconThumbnail(Bound(path), SIZE{LONG(width), LONG(height)}) : nullptr;
    } catch (...) {
        return nullptr;
    }
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
