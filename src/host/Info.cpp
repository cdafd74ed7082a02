// `tarnel info`: what the extractor sees in a file, and why. Built into the info library (InfoLibrary.h).
#include "host/Host.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "host/Escape.h"
#include "host/FileChecks.h"
#include "host/Formats.h"
#include "host/InfoLibrary.h"
#include "host/MeshInfo.h"
#include "platform/tarnel/widestr.h"
#include "sources/EmbeddedThumbnail.h"
#include "sources/SourceChain.h"

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

std::string Json(const CString& s) {
    return JsonString(s.str());
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

std::string InfoJson(const InfoFacts& facts) {
    std::string out = "{";
    out += "\"path\": " + JsonString(ShellPath(facts.file));
    out += ", \"bound_path\": " + Json(facts.bound);
    out += std::string(", \"kind\": \"") + facts.kind + "\"";
    out += ", \"size\": " + (facts.size ? std::to_string(*facts.size) : "null");
    out += ", \"size_limit\": " + std::to_string(facts.limit);
    out += std::string(", \"size_limit_source\": \"") + facts.LimitSource() + "\"";
    out += std::string(", \"size_ignored\": ") + (facts.ignored ? "true" : "false");
    out += std::string(", \"size_allowed\": ") + (facts.allowed ? "true" : "false");
    out += ", \"studies\": ";
    if (facts.studies) {
        out += "[";
        for (size_t i = 0; i < facts.studies->size(); ++i)
            out += (i ? ", " : "") + Json((*facts.studies)[i]);
        out += "]";
    } else {
        out += "null";
    }
    out +=
        ", \"marker_offset\": " + (facts.HasMarker() ? std::to_string(facts.picture->markerOffset) : "null");
    out += ", \"picture_width\": " + (facts.HasPicture() ? std::to_string(facts.picture->width) : "null");
    out += ", \"picture_height\": " + (facts.HasPicture() ? std::to_string(facts.picture->height) : "null");
    out += MeshFactsJson(facts.mesh);
    const std::string& error = !facts.unreadable.empty()     ? facts.unreadable
                               : !facts.projectError.empty() ? facts.projectError
                                                             : facts.meshError;
    out += ", \"error\": " + (error.empty() ? std::string("null") : "\"" + error + "\"");
    return out + "}\n";
}

void PrintInfo(const InfoFacts& facts) {
    std::printf("path: %s\n", Printable(facts.file).c_str());
    std::printf("kind: %s\n", facts.kind);
    if (facts.size)
        std::printf("size: %llu bytes\n", static_cast<unsigned long long>(*facts.size));
    else
        std::printf("size: unknown (no regular file of that name)\n");
    if (facts.ignored)
        std::printf("size limit: ignored (TARNEL_IGNORE_SIZE is set and not 0)\n");
    else
        std::printf("size limit: %lu bytes (%s)\n", static_cast<unsigned long>(facts.limit),
                    facts.limitFromEnvironment ? "from TARNEL_SIZE_LIMIT" : "default");
    std::printf("size allowed: %s\n", facts.allowed ? "yes"
                                      : facts.size  ? "no, the file is over the limit"
                                                    : "no, not found");
    if (facts.picture && !facts.HasMarker())
        std::printf("embedded picture: none (no <THUMBNAIL> marker in the last %d bytes)\n",
                    kThumbnailWindow);
    else if (facts.picture && !facts.HasPicture())
        std::printf("embedded picture: marker at offset %lld, but the picture cannot be loaded\n",
                    static_cast<long long>(facts.picture->markerOffset));
    else if (facts.picture)
        std::printf("embedded picture: marker at offset %lld, %lu x %lu pixels\n",
                    static_cast<long long>(facts.picture->markerOffset),
                    static_cast<unsigned long>(facts.picture->width),
                    static_cast<unsigned long>(facts.picture->height));
    PrintMeshFacts(facts.mesh);
    if (!facts.meshError.empty())
        std::printf("mesh: none read: %s\n", Printable(facts.meshError).c_str());
    if (!facts.projectError.empty())
        std::printf("studies: none read: %s\n", facts.projectError.c_str());
    else if (facts.studies) {
        std::printf("studies: %zu\n", facts.studies->size());
        for (const CString& s : *facts.studies)
            std::printf("  %s\n", Printable(NarrowFileName(s.str())).c_str());
    }
}

} // namespace

extern "C" TARNEL_API int TarnelRunInfo(int argc, char** argv) {
    InfoRequest request;
    if (const int status = ReadArguments(ParseInfoArguments, argc, argv, request); status >= 0)
        return status;
    const InfoFacts facts = LookAt(request.file);
    if (request.json) {
        std::fputs(InfoJson(facts).c_str(), stdout);
        return facts.unreadable.empty() ? 0 : kExitNoPicture;
    }
    PrintInfo(facts);
    if (!facts.unreadable.empty()) {
        std::fprintf(stderr, "tarnel info: %s: %s\n", Printable(facts.file).c_str(),
                     facts.unreadable.c_str());
        return kExitNoPicture;
    }
    return 0;
}
