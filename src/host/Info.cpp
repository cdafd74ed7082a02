// `tarnel info`: what the extractor sees in a file, and why. Built into the info library (InfoLibrary.h).
#include "host/Host.h"

#include "afxfile.h"
#include "extractor/ProjectFile.h"
#include "host/FileChecks.h"
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

namespace {

const char kUsage[] = "usage: tarnel info [--json] FILE\n"
                      "\n"
                      "Prints what the extractor sees in FILE: its kind, the size limit's verdict with the\n"
                      "limit in force and where it came from, and for a project the studies it names.\n"
                      "\n"
                      "  --json   one JSON object instead of text\n";

// The kind, decided as the extractor decides it: by extension text anywhere in the lower-cased path.
const char* KindOf(const CString& bound) {
    if (IsProjectFile(bound))
        return "project";
    if (IsMeshFile(bound))
        return "mesh";
    if (bound.Find(L".qzt") >= 0)
        return "study";
    if (bound.Find(L".jxe") >= 0 || bound.Find(L".lwq") >= 0 || bound.Find(L".gnw") >= 0)
        return "other";
    return "unknown";
}

std::string Json(const CString& s) {
    return JsonString(s.str());
}

} // namespace

extern "C" TARNEL_API int TarnelRunInfo(int argc, char** argv) {
    bool json = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (file == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0')) {
            file = argv[i];
        } else {
            std::fprintf(stderr, "tarnel info: unexpected argument '%s'\n%s", argv[i], kUsage);
            return kExitUsage;
        }
    }
    if (file == nullptr) {
        std::fprintf(stderr, "tarnel info: FILE is needed\n%s", kUsage);
        return kExitUsage;
    }

    CString bound(ShellPath(file));
    bound.MakeLower(); // as IPersistFile::Load binds it
    const char* kind = KindOf(bound);

    CFileStatus status;
    std::optional<ULONGLONG> size;
    if (CFile::GetStatus(bound, status) && !NamesFolderOrDevice(bound))
        size = status.m_size;
    // A file that cannot be read is an error of the command, whatever else can be told about its name.
    const std::string unreadable = ReadProblem(file);
    bool limitFromEnvironment = false;
    const ULONG limit = GetSizeLimit(&limitFromEnvironment);
    const bool ignored = IsSizeCheckIgnored();
    const bool allowed = IsFileSizeAllowed(bound);

    std::optional<std::vector<CString>> studies;
    std::string projectError;
    if (std::strcmp(kind, "project") == 0) {
        try {
            CStringArray list;
            GetProjectStudies(bound, list);
            studies.emplace();
            for (INT i = 0; i < list.GetSize(); ++i)
                studies->push_back(list[i]);
        } catch (CFileException* e) {
            projectError = "the project file cannot be read";
            e->Delete();
        }
    }

    // The embedded picture, looked for wherever the chain would look: in every file but a mesh file.
    std::optional<EmbeddedPictureInfo> picture;
    if (!IsMeshFile(bound)) {
        try {
            picture = InspectEmbeddedThumbnail(bound);
        } catch (CFileException* e) {
            e->Delete();
        }
    }
    const bool hasMarker = picture && picture->markerOffset >= 0;
    const bool hasPicture = hasMarker && picture->width > 0;
    std::string meshError;
    const std::optional<MeshFacts> mesh =
        std::strcmp(kind, "mesh") == 0 ? GetMeshFacts(bound.str(), meshError) : std::nullopt;

    const char* limitSource = ignored                ? "TARNEL_IGNORE_SIZE"
                              : limitFromEnvironment ? "TARNEL_SIZE_LIMIT"
                                                     : "default";
    if (json) {
        std::string out = "{";
        out += "\"path\": " + JsonString(ShellPath(file));
        out += ", \"bound_path\": " + Json(bound);
        out += std::string(", \"kind\": \"") + kind + "\"";
        out += ", \"size\": " + (size ? std::to_string(*size) : "null");
        out += ", \"size_limit\": " + std::to_string(limit);
        out += std::string(", \"size_limit_source\": \"") + limitSource + "\"";
        out += std::string(", \"size_ignored\": ") + (ignored ? "true" : "false");
        out += std::string(", \"size_allowed\": ") + (allowed ? "true" : "false");
        out += ", \"studies\": ";
        if (studies) {
            out += "[";
            for (size_t i = 0; i < studies->size(); ++i)
                out += (i ? ", " : "") + Json((*studies)[i]);
            out += "]";
        } else {
            out += "null";
        }
        out += ", \"marker_offset\": " + (hasMarker ? std::to_string(picture->markerOffset) : "null");
        out += ", \"picture_width\": " + (hasPicture ? std::to_string(picture->width) : "null");
        out += ", \"picture_height\": " + (hasPicture ? std::to_string(picture->height) : "null");
        out += MeshFactsJson(mesh);
        const std::string& error = !unreadable.empty()     ? unreadable
                                   : !projectError.empty() ? projectError
                                                           : meshError;
        out += ", \"error\": " + (error.empty() ? std::string("null") : "\"" + error + "\"");
        out += "}\n";
        std::fputs(out.c_str(), stdout);
        return unreadable.empty() ? 0 : kExitNoPicture;
    }

    std::printf("path: %s\n", file);
    std::printf("kind: %s\n", kind);
    if (size)
        std::printf("size: %llu bytes\n", static_cast<unsigned long long>(*size));
    else
        std::printf("size: unknown (no regular file of that name)\n");
    if (ignored)
        std::printf("size limit: ignored (TARNEL_IGNORE_SIZE is set and not 0)\n");
    else
        std::printf("size limit: %lu bytes (%s)\n", static_cast<unsigned long>(limit),
                    limitFromEnvironment ? "from TARNEL_SIZE_LIMIT" : "default");
    std::printf("size allowed: %s\n", allowed ? "yes"
                                      : size  ? "no, the file is over the limit"
                                              : "no, not found");
    if (picture && !hasMarker)
        std::printf("embedded picture: none (no <THUMBNAIL> marker in the last %d bytes)\n",
                    kThumbnailWindow);
    else if (picture && !hasPicture)
        std::printf("embedded picture: marker at offset %lld, but the picture cannot be loaded\n",
                    static_cast<long long>(picture->markerOffset));
    else if (picture)
        std::printf("embedded picture: marker at offset %lld, %lu x %lu pixels\n",
                    static_cast<long long>(picture->markerOffset), static_cast<unsigned long>(picture->width),
                    static_cast<unsigned long>(picture->height));
    PrintMeshFacts(mesh);
    if (!meshError.empty())
        std::printf("mesh: none read: %s\n", meshError.c_str());
    if (!projectError.empty())
        std::printf("studies: none read: %s\n", projectError.c_str());
    else if (studies) {
        std::printf("studies: %zu\n", studies->size());
        for (const CString& s : *studies)
            std::printf("  %s\n", NarrowFileName(s.str()).c_str());
    }
    if (!unreadable.empty()) {
        std::fprintf(stderr, "tarnel info: %s: %s\n", file, unreadable.c_str());
        return kExitNoPicture;
    }
    return 0;
}
