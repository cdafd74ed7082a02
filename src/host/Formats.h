// The suite's file formats as the host knows them: extension, kind and MIME type, and the class that serves
// them. The module decides for itself what it does with a file; the host needs the table to choose files
// (`tarnel cache`), to tell a set-up fault from a file of another type, to judge a mesh preview and to name
// the types for file managers.
#pragma once

#include <string_view>

enum class FileKind { Study, Project, Mesh, Document };

struct SuiteFormat {
    const char* extension; // lower case, with the dot
    FileKind kind;
    const char* mimeType; // GIO's canonical type
};

// The table itself is host/Formats.def, which the build reads too.
#define TARNEL_CLASS(clsid)
#define TARNEL_MIME_TYPE(type, comment, icon)
#define TARNEL_GENERIC_ICON(type, icon)
#define TARNEL_FORMAT(extension, kind, type) {extension, FileKind::kind, type},
inline constexpr SuiteFormat kSuiteFormats[] = {
#include "host/Formats.def"
};
#undef TARNEL_FORMAT
#define TARNEL_FORMAT(extension, kind, type)
#undef TARNEL_CLASS
#define TARNEL_CLASS(clsid) clsid

// The class tarnel's module serves for the suite's formats, "{XXXXXXXX-...}".
inline constexpr char kTarnelClassText[] =
#include "host/Formats.def"
    ;
#undef TARNEL_CLASS
#undef TARNEL_MIME_TYPE
#undef TARNEL_GENERIC_ICON
#undef TARNEL_FORMAT

// The kind as `tarnel info` names it.
constexpr const char* KindName(FileKind kind) {
    switch (kind) {
    case FileKind::Study:
        return "study";
    case FileKind::Project:
        return "project";
    case FileKind::Mesh:
        return "mesh";
    case FileKind::Document:
        break;
    }
    return "other";
}

// The format of a file by the last extension of its name, without regard to case; null for another file.
const SuiteFormat* FindSuiteFormat(std::string_view path);

// Whether the extractor sends the file to the mesh preview: a mesh extension anywhere in the path, without
// regard to case (so "gear.stl.old" too).
bool IsMeshPath(std::string_view path);
