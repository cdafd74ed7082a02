// `tarnel info`: what the extractor sees in a file, looked at in the info child and sent to the parent as a
// typed record (InfoRecord.h). Built into the info library (InfoLibrary.h).
#include "host/Host.h"
#include "host/InfoRecord.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "host/FileChecks.h"
#include "host/Formats.h"
#include "host/InfoLibrary.h"
#include "host/MeshInfo.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"
#include "sources/EmbeddedThumbnail.h"
#include "sources/SourceChain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using tarnel::plat::NarrowFileName;
using tarnel::plat::WidenFileName;

namespace {

// The kind, decided as the extractor decides it: by extension text anywhere in the lower-cased path. Projects
// and meshes are the extractor's own tests; the other kinds are those of the suite's formats.
const char* KindOf(const CString& bound) {
    if (IsProjectFile(bound))
        return KindName(FileKind::Project);
    if (IsMeshFile(bound))
        return KindName(FileKind::Mesh);
    for (const FileKind kind : {FileKind::Study, FileKind::Document})
        for (const SuiteFormat& format : kSuiteFormats)
            if (format.kind == kind && bound.Find(WidenFileName(format.extension).c_str()) >= 0)
                return KindName(kind);
    return "unknown";
}

// What `tarnel info` tells about a file, looked at as the extractor looks at it.
struct InfoFacts {
    const char* file = nullptr;
    CString bound; // as IPersistFile::Load binds it
    const char* kind = nullptr;
    std::optional<ULONGLONG> size;
    std::string unreadable; // a file that cannot be read is an error of the command
    bool limitFromEnvironment = false;
    ULONG limit = 0;
    bool ignored = false, allowed = false;
    std::optional<std::vector<CString>> studies;
    std::string projectError;
    std::optional<EmbeddedPictureInfo> picture;
    std::optional<MeshFacts> mesh;
    std::string meshError;

    bool IsKind(FileKind k) const { return std::strcmp(kind, KindName(k)) == 0; }
    bool HasMarker() const { return picture && picture->markerOffset >= 0; }
    bool HasPicture() const { return HasMarker() && picture->width > 0; }
    const char* LimitSource() const {
        return ignored ? "TARNEL_IGNORE_SIZE" : limitFromEnvironment ? "TARNEL_SIZE_LIMIT" : "default";
    }
};

// The file's size and the size limit's verdict on it.
void ReadSizeVerdict(InfoFacts& facts) {
    CFileStatus status;
    if (CFile::GetStatus(facts.bound, status) && !NamesFolderOrDevice(facts.bound))
        facts.size = status.m_size;
    facts.unreadable = ReadProblem(facts.file);
    facts.limit = GetSizeLimit(&facts.limitFromEnvironment);
    facts.ignored = IsSizeCheckIgnored();
    facts.allowed = IsFileSizeAllowed(facts.bound);
}

// A project's studies, as the extractor finds them.
void ReadStudies(InfoFacts& facts) {
    if (!facts.IsKind(FileKind::Project))
        return;
    try {
        CStringArray list;
        GetProjectStudies(facts.bound, list);
        facts.studies.emplace();
        for (INT i = 0; i < list.GetSize(); ++i)
            facts.studies->push_back(list[i]);
    } catch (CFileException* e) {
        facts.projectError = "the project file cannot be read";
        e->Delete();
    }
}

// The embedded picture, looked for wherever the chain would look: in every file but a mesh file; and a
// mesh's counts.
void ReadPictures(InfoFacts& facts) {
    if (!IsMeshFile(facts.bound)) {
        try {
            facts.picture = InspectEmbeddedThumbnail(facts.bound);
        } catch (CFileException* e) {
            e->Delete();
        }
    }
    if (facts.IsKind(FileKind::Mesh))
        facts.mesh = GetMeshFacts(facts.bound.str(), facts.meshError);
}

InfoFacts LookAt(const char* file) {
    InfoFacts facts;
    facts.file = file;
    facts.bound = CString(ShellPath(file));
    facts.bound.MakeLower();
    facts.kind = KindOf(facts.bound);
    ReadSizeVerdict(facts);
    ReadStudies(facts);
    ReadPictures(facts);
    return facts;
}

AnswerWhy UnreadableWhy(const std::string& problem) {
    return problem.empty()                   ? AnswerWhy::None
           : problem == "not found"          ? AnswerWhy::NotFound
           : problem == "permission denied"  ? AnswerWhy::PermissionDenied
           : problem == "not a regular file" ? AnswerWhy::NotRegular
                                             : AnswerWhy::Unknown;
}

InfoRecord RecordOf(const InfoFacts& facts) {
    InfoRecord r;
    r.boundPath = NarrowFileName(facts.bound.str());
    r.kind = 0;
    for (const FileKind k : {FileKind::Study, FileKind::Project, FileKind::Mesh, FileKind::Document})
        if (facts.IsKind(k))
            r.kind = uint8_t(1 + int(k));
    r.unreadable = UnreadableWhy(facts.unreadable);
    r.hasSize = facts.size.has_value();
    r.size = facts.size.value_or(0);
    r.limitFromEnvironment = facts.limitFromEnvironment;
    r.ignored = facts.ignored;
    r.allowed = facts.allowed;
    r.limit = facts.limit;
    r.lookedForPicture = facts.picture.has_value();
    r.markerWindow = uint32_t(kThumbnailWindow);
    if (facts.picture) {
        r.markerOffset = facts.picture->markerOffset >= 0 ? facts.picture->markerOffset : -1;
        r.pictureWidth = uint32_t(facts.picture->width);
        r.pictureHeight = uint32_t(facts.picture->height);
    }
    r.isProject = facts.studies.has_value() || !facts.projectError.empty();
    r.projectUnreadable = !facts.projectError.empty();
    if (facts.studies) {
        r.studyCount = uint32_t(facts.studies->size());
        for (size_t i = 0; i < facts.studies->size() && i < InfoRecord::kMaxStudiesListed; ++i) {
            // As the extractor looks for a study: its name matched without regard to case, '\\' read as '/'.
            std::string native;
            struct stat st {};
            const bool found = tarnel::plat::ResolveFileName((*facts.studies)[i].str().c_str(), native) &&
                               ::stat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            r.studies.push_back(found ? native : NarrowFileName((*facts.studies)[i].str()));
            r.studyFound.push_back(found);
        }
    }
    r.isMesh = facts.IsKind(FileKind::Mesh);
    r.meshLibraryMissing = !facts.meshError.empty();
    if (facts.mesh) {
        r.meshFormat = std::strcmp(facts.mesh->format, "ascii") == 0 ? 1 : 2;
        r.pointsRead = facts.mesh->pointsRead;
        r.trianglesRead = facts.mesh->trianglesRead;
        r.points = facts.mesh->points;
        r.triangles = facts.mesh->triangles;
        r.drawable = facts.mesh->drawable;
        r.meshUnderstood = facts.mesh->understood != 0;
    }
    return r;
}

} // namespace

extern "C" TARNEL_API int TarnelLookAt(const char* file, int fd) {
    std::string bytes;
    try {
        bytes = EncodeInfo(RecordOf(LookAt(file)));
    } catch (...) {
        return 1;
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return 1;
        done += size_t(n);
    }
    return 0;
}
