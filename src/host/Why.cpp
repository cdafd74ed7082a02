// `tarnel why FILE...`: what the desktop does with a file and why, in a few lines: its MIME type and the
// thumbnailer entry that claims it, the cache's entries and failure records, the size verdict under the
// settings, the kind and what decided it, a project's studies, and what an extraction gives now. The file's
// content is looked at only by children (the info child and a dry extraction); the parent reads the
// desktop's own files: entries, the cache's PNG headers, the settings.
#include "host/CacheRecords.h"
#include "host/ChildAnswer.h"
#include "host/Escape.h"
#include "host/Formats.h"
#include "host/Host.h"
#include "host/InfoRecord.h"
#include "host/Install.h"
#include "host/Isolated.h"
#include "host/PngWriter.h"
#include "host/Settings.h"

#include "platform/tarnel/desktop.h"
#include "platform/tarnel/widestr.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tarnel::plat::WidenFileName;

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The folders where file managers look for thumbnailer entries, in the order they look.
std::vector<fs::path> EntryFolders() {
    std::vector<fs::path> folders;
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data != nullptr && data[0] == '/')
        folders.emplace_back(fs::path(data) / "thumbnailers");
    else if (home != nullptr && home[0] == '/')
        folders.emplace_back(fs::path(home) / ".local/share/thumbnailers");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dirs != nullptr && dirs[0] != '\0' ? dirs : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/')
            folders.emplace_back(fs::path(dir) / "thumbnailers");
        start = end + 1;
    }
    return folders;
}

struct Claim {
    std::string entry; // the .thumbnailer file
    std::string exec;  // its Exec line
    bool ours = false;
};

// The entries that list type, in the order file managers find them: the first is the one they use.
std::vector<Claim> ClaimsOf(const std::string& type) {
    std::vector<Claim> claims;
    for (const fs::path& folder : EntryFolders()) {
        std::error_code ec;
        std::vector<fs::path> names;
        // Entries are a few lines: anything but a regular file of a few KiB is no entry file managers read.
        for (const auto& e : fs::directory_iterator(folder, ec))
            if (e.path().extension() == ".thumbnailer" && e.is_regular_file(ec) && e.file_size(ec) <= 65536)
                names.push_back(e.path());
        std::sort(names.begin(), names.end());
        for (const fs::path& name : names) {
            std::ifstream in(name);
            std::string line, exec, first;
            bool listed = false;
            for (int n = 0; n < 200 && std::getline(in, line); ++n) {
                if (n == 0)
                    first = line;
                if (line.rfind("Exec=", 0) == 0)
                    exec = line.substr(5);
                if (line.rfind("MimeType=", 0) == 0) {
                    const std::string types = ";" + line.substr(9);
                    listed = types.find(";" + type + ";") != std::string::npos ||
                             (types.size() >= type.size() + 1 && types.ends_with(";" + type));
                }
            }
            if (listed)
                claims.push_back({name.string(), exec, first.rfind("# tarnel's thumbnailer entry", 0) == 0});
        }
    }
    return claims;
}

std::string When(time_t t) {
    char text[64];
    std::tm tm{};
    ::localtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

// One of the cache's records for the file: an entry of a size, or a failure record of a program.
struct Record {
    std::string what; // "large", or the failing program's folder
    std::string path;
    CacheRecordFacts facts;
};

// The part of the path that makes the system call the file a mesh: the first component that holds a mesh
// extension; empty when none does.
std::string MeshPart(const std::string& path) {
    for (const auto& part : fs::path(path)) {
        const std::string lower = Lower(part.string());
        for (const SuiteFormat& f : kSuiteFormats)
            if (f.kind == FileKind::Mesh && lower.find(f.extension) != std::string::npos)
                return part.string();
    }
    return {};
}

struct DryRun {
    bool picture = false;
    unsigned width = 0, height = 0;
    std::string outcome; // in the user's words
};

// The extraction a file manager would ask for, at the large size, into memory that is thrown away.
DryRun Extract(const std::string& file) {
    DryRun d;
    CheckedHandler handler;
    std::string error;
    if (!CheckHandler(file.c_str(), ModuleChoice{}, handler, error)) {
        d.outcome = error;
        return d;
    }
    const int fd = int(::syscall(SYS_memfd_create, "tarnel-why", MFD_CLOEXEC));
    if (fd < 0) {
        d.outcome = "no memory for the picture";
        return d;
    }
    ChildLimits limits;
    limits.seconds = DefaultTimeout();
    limits.memoryMiB = DefaultMemoryMiB();
    const SIZE size = {256, 256};
    const ChildOutcome outcome =
        RunIsolated(limits, [&] { return ExtractPng(file.c_str(), size, handler, false, false, fd, {}); },
                    {fd, handler.fd});
    uint32_t w = 0, h = 0;
    if (outcome.kind == ChildOutcome::Exited && outcome.answered &&
        outcome.answer.kind == AnswerKind::Picture && ReadPngHeader(fd, w, h) && w <= 256 && h <= 256) {
        d.picture = true;
        d.width = w;
        d.height = h;
        d.outcome = "a picture of " + std::to_string(w) + " x " + std::to_string(h) + " pixels";
    } else {
        d.outcome = "no picture: " + NoPictureReason(handler, outcome, limits.seconds, limits.memoryMiB);
    }
    ::close(fd);
    return d;
}

std::string Json(const std::string& s) {
    return JsonString(WidenFileName(s));
}

// Everything told of one file.
struct Answer {
    std::string path, type, kind, kindFrom, formatsOff;
    std::vector<Claim> claims;
    std::vector<Record> entries, failures;
    bool found = false;
    std::string problem; // why the file cannot be read
    bool allowed = false;
    unsigned long long size = 0, limit = 0;
    bool limitNone = false;
    std::string limitFrom;
    std::vector<std::pair<std::string, bool>> studies; // path, found
    std::string meshProblem;
    DryRun dry;
};

Answer Look(const char* given) {
    Answer a;
    std::error_code ec;
    // As a file manager names it: absolute, links on the way kept (the cache knows the file by that name).
    a.path = fs::absolute(given, ec).lexically_normal().string();
    const SuiteFormat* format = FindSuiteFormat(a.path);
    const size_t dot = a.path.rfind('.');
    const std::string ext = dot == std::string::npos || a.path.find('/', dot) != std::string::npos
                                ? std::string()
                                : Lower(a.path.substr(dot));
    a.type = ext.empty() ? std::string() : MimeTypeOfExtension(ext);
    if (!a.type.empty())
        a.claims = ClaimsOf(a.type);
    if (format != nullptr && !tarnel::settings::Serves(format->extension))
        a.formatsOff = tarnel::settings::Current().formats->origin;

    InfoRecord record;
    std::string why;
    if (!LookAt(a.path.c_str(), record, why)) {
        a.problem = why;
        return a;
    }
    a.kind = record.kind == 0 ? "none of the suite's" : KindName(FileKind(record.kind - 1));
    if (record.kind == 1 + int(FileKind::Mesh)) {
        const std::string part = MeshPart(a.path);
        a.kindFrom = part == fs::path(a.path).filename().string() ? "its extension"
                                                                  : "the path's part " + Printable(part);
    } else if (record.kind != 0) {
        a.kindFrom = "its extension";
    }
    if (const char* problem = InfoProblem(record)) {
        a.problem = problem;
        return a;
    }
    a.found = true;
    a.size = record.size;
    a.allowed = record.allowed;
    a.limit = record.limit;
    a.limitNone = record.ignored;
    a.limitFrom = SizeLimitSource(record);
    if (a.limitFrom == "default")
        a.limitFrom = "the default";
    std::pair<time_t, long> newestStudy = {0, 0};
    for (size_t i = 0; i < record.studies.size(); ++i) {
        a.studies.emplace_back(ShownPath(record.studies[i]), record.studyFound[i]);
        struct stat st {};
        if (record.studyFound[i] && ::stat(record.studies[i].c_str(), &st) == 0)
            newestStudy = std::max(newestStudy, {st.st_mtim.tv_sec, st.st_mtim.tv_nsec});
    }
    if (const char* mesh = InfoMeshProblem(record))
        a.meshProblem = mesh;

    struct stat st {};
    std::string uri, md5;
    const std::string cache = ThumbnailCacheFolder();
    if (::stat(a.path.c_str(), &st) == 0 && !cache.empty() &&
        tarnel::plat::FileUriAndDigest(a.path, uri, md5))
        for (const CacheRecordFolder& folder : CacheRecordFolders(cache)) {
            const std::string png = folder.path + "/" + md5 + ".png";
            if (::access(png.c_str(), F_OK) == 0)
                (folder.failures ? a.failures : a.entries)
                    .push_back({folder.name, png, ReadCacheRecord(png, uri, st.st_mtime, newestStudy)});
        }
    a.dry = Extract(a.path);
    return a;
}

void PrintText(const Answer& a) {
    std::printf("%s\n", Printable(a.path).c_str());
    if (a.type.empty())
        std::printf("  type: none known for its name; file managers show a generic icon\n");
    else
        std::printf("  type: %s (by its name)\n", a.type.c_str());
    if (!a.type.empty() && a.claims.empty())
        std::printf("  thumbnailer: no entry claims %s; run 'tarnel install'\n", a.type.c_str());
    for (size_t i = 0; i < a.claims.size(); ++i)
        std::printf("  %s %s (%s)\n",
                    i == 0 ? "thumbnailer:" : "  then, unused:", Printable(a.claims[i].entry).c_str(),
                    a.claims[i].ours ? "tarnel's"
                                     : ("another program's: " + Printable(a.claims[i].exec)).c_str());
    if (!a.formatsOff.empty())
        std::printf("  formats: left to other thumbnailers by Formats in %s\n",
                    Printable(a.formatsOff).c_str());
    if (!a.kind.empty())
        std::printf("  kind: %s%s\n", a.kind.c_str(),
                    a.kindFrom.empty() ? "" : (", by " + a.kindFrom).c_str());
    if (!a.problem.empty()) {
        std::printf("  file: %s\n", a.problem.c_str());
        return;
    }
    if (a.limitNone)
        std::printf("  size: %llu bytes, no limit (%s)\n", a.size, Printable(a.limitFrom).c_str());
    else
        std::printf("  size: %llu bytes, %s the limit of %llu bytes (%s)\n", a.size,
                    a.allowed ? "within" : "over", a.limit, Printable(a.limitFrom).c_str());
    for (const auto& [study, found] : a.studies)
        std::printf("  study: %s%s\n", Printable(study).c_str(), found ? "" : " (missing)");
    if (!a.meshProblem.empty())
        std::printf("  mesh: %s\n", a.meshProblem.c_str());
    if (a.entries.empty())
        std::printf("  cache: no entry\n");
    for (const Record& r : a.entries)
        std::printf("  cache %s: %s, %s\n", r.what.c_str(),
                    r.facts.current ? "current" : ("stale: " + r.facts.stale).c_str(),
                    Printable(r.path).c_str());
    for (const Record& r : a.failures) {
        std::printf("  failure record of %s%s: %s, since %s, %s\n", Printable(r.what).c_str(),
                    r.facts.software.empty() ? ""
                                             : (" (written by " + Printable(r.facts.software) + ")").c_str(),
                    r.facts.current ? "current: file managers do not try the file again"
                                    : ("stale (" + r.facts.stale + ")").c_str(),
                    When(r.facts.written).c_str(), Printable(r.path).c_str());
        if (r.facts.software == "tarnel")
            std::printf("    clear it: tarnel cache --forget %s\n", Printable(a.path).c_str());
        else
            std::printf("    clear it: rm %s\n", Printable(r.path).c_str());
    }
    std::printf("  extraction now: %s\n", Printable(a.dry.outcome).c_str());
}

std::string JsonRecords(const std::vector<Record>& records) {
    std::string out = "[";
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        out += std::string(i ? ", " : "") + "{\"name\": " + Json(r.what) + ", \"path\": " + Json(r.path) +
               ", \"current\": " + (r.facts.current ? "true" : "false") +
               ", \"stale_because\": " + (r.facts.current ? "null" : Json(r.facts.stale)) +
               ", \"software\": " + (r.facts.software.empty() ? "null" : Json(r.facts.software)) +
               ", \"written\": " + std::to_string(r.facts.written) + "}";
    }
    return out + "]";
}

void PrintJson(const Answer& a) {
    const std::string null = "null";
    std::string out = "{\"path\": " + Json(a.path);
    out += ", \"mime_type\": " + (a.type.empty() ? null : Json(a.type));
    out += ", \"thumbnailers\": [";
    for (size_t i = 0; i < a.claims.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"entry\": " + Json(a.claims[i].entry) +
               ", \"tarnel\": " + (a.claims[i].ours ? "true" : "false") +
               ", \"exec\": " + Json(a.claims[i].exec) + "}";
    out += "], \"formats_off\": " + (a.formatsOff.empty() ? null : Json(a.formatsOff));
    out += ", \"kind\": " + (a.kind.empty() ? null : Json(a.kind));
    out += ", \"kind_from\": " + (a.kindFrom.empty() ? null : Json(a.kindFrom));
    out += ", \"error\": " + (a.problem.empty() ? null : Json(a.problem));
    if (a.found) {
        out += ", \"size\": " + std::to_string(a.size);
        out += ", \"size_limit\": " + (a.limitNone ? null : std::to_string(a.limit));
        out += ", \"size_limit_source\": " + Json(a.limitFrom);
        out += std::string(", \"size_allowed\": ") + (a.allowed ? "true" : "false");
        out += ", \"studies\": [";
        for (size_t i = 0; i < a.studies.size(); ++i)
            out += std::string(i ? ", " : "") + "{\"path\": " + Json(a.studies[i].first) +
                   ", \"missing\": " + (a.studies[i].second ? "false" : "true") + "}";
        out += "], \"mesh_problem\": " + (a.meshProblem.empty() ? null : Json(a.meshProblem));
        out += ", \"cache\": " + JsonRecords(a.entries);
        out += ", \"failure_records\": " + JsonRecords(a.failures);
        out += std::string(", \"extraction\": {\"picture\": ") + (a.dry.picture ? "true" : "false") +
               ", \"width\": " + (a.dry.picture ? std::to_string(a.dry.width) : null) +
               ", \"height\": " + (a.dry.picture ? std::to_string(a.dry.height) : null) +
               ", \"outcome\": " + Json(a.dry.outcome) + "}";
    }
    std::printf("%s}\n", out.c_str());
}

} // namespace

int RunWhy(int argc, char** argv) {
    CommandLine line;
    std::string problem;
    const bool parsed = ParseCommandLine("why", argc, argv, line, problem);
    if (const int status = AnswerCommandLine(parsed, line, problem); status >= 0)
        return status;
    const bool json = line.Has("json");
    int status = 0;
    for (size_t i = 0; i < line.arguments.size(); ++i) {
        const Answer a = Look(line.arguments[i]);
        if (json) {
            PrintJson(a);
        } else {
            if (i > 0)
                std::printf("\n");
            PrintText(a);
        }
        if (!a.found)
            status = kExitNoPicture;
    }
    std::fflush(stdout);
    return status;
}
