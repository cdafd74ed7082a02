// The suite's file formats as the host knows them: extension, kind and MIME type. The module decides for
// itself what it does with a file; the host needs the table to choose files (`tarnel cache`), to tell a
// set-up fault from a file of another type, and to judge a mesh preview.
#pragma once

#include <string_view>

enum class FileKind { Study, Project, Mesh, Document };

struct SuiteFormat {
    const char* extension; // lower case, with the dot
    FileKind kind;
    const char* mimeType; // GIO's canonical type
};

inline constexpr SuiteFormat kSuiteFormats[] = {
    {".qzt", FileKind::Study, "application/x-tarnel-study"},
    {".kpv", FileKind::Project, "application/x-tarnel-project"},
    {".kpz", FileKind::Project, "application/x-tarnel-project"},
    {".stl", FileKind::Mesh, "model/stl"},
    {".tvx", FileKind::Mesh, "model/x-tarnel-mesh"},
    {".ybr", FileKind::Mesh, "model/x-tarnel-mesh"},
    {".jxe", FileKind::Document, "application/x-tarnel-document"},
    {".lwq", FileKind::Document, "application/x-tarnel-document"},
    {".gnw", FileKind::Document, "application/x-tarnel-document"},
};

// The format of a file by the last extension of its name, without regard to case; null for another file.
const SuiteFormat* FindSuiteFormat(std::string_view path);

// Whether the extractor sends the file to the mesh preview: a mesh extension anywhere in the path, without
// regard to case (so "gear.stl.old" too).
bool IsMeshPath(std::string_view path);
