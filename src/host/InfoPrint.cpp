// `tarnel info`: the parent's part. The file is looked at in a confined, bounded child (the info library's
// TarnelLookAt), which sends what it found as a typed record (InfoRecord.h); the parent checks the record and
// prints it, every name escaped, as text or JSON.
#include "host/Escape.h"
#include "host/Formats.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/InfoRecord.h"
#include "host/Isolated.h"
#include "host/Settings.h"

#include "platform/tarnel/widestr.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using tarnel::plat::WidenFileName;

namespace {

const char* KindText(const InfoRecord& r) {
    return r.kind == 0 ? "unknown" : KindName(FileKind(r.kind - 1));
}

// Why the file cannot be read, for the record's reason; null when it can.
const char* ProblemText(AnswerWhy why) {
    if (why == AnswerWhy::None)
        return nullptr;
    const char* text = UnreadableText(why);
    return text != nullptr ? text : "cannot be read";
}

const char kMeshLibraryProblem[] = "the mesh library beside the module cannot be loaded";

// A path as the user reads it: the file's real path, without "." and ".." parts, doubled slashes and links
// on the way; as given when there is no such file (where ".." cannot be resolved without it).
std::string Normalised(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string normal = real;
    std::free(real);
    return normal;
}

// "1 triangle", "3 triangles".
std::string Counted(int64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Why the mesh shows nothing, in the words `tarnel thumbnail` uses; null when it can be drawn.
const char* MeshVerdictText(const InfoRecord& r) {
    return MeshProblemText(MeshVerdict(r.triangles, r.drawable, r.meshUnderstood));
}

bool HasMarker(const InfoRecord& r) {
    return r.lookedForPicture && r.markerOffset >= 0;
}
bool HasPicture(const InfoRecord& r) {
    return HasMarker(r) && r.pictureWidth > 0;
}

std::string InfoJson(const char* file, const InfoRecord& r) {
    const std::string null = "null";
    std::string out = "{";
    out += "\"path\": " + JsonString(ShellPath(Normalised(file).c_str()));
    out += ", \"bound_path\": " + JsonString(WidenFileName(r.boundPath));
    out += std::string(", \"kind\": \"") + KindText(r) + "\"";
    out += ", \"size\": " + (r.hasSize ? std::to_string(r.size) : null);
    out += ", \"size_limit\": " + std::to_string(r.limit);
    out += ", \"size_limit_source\": " + JsonString(WidenFileName(SizeLimitSource(r)));
    out += std::string(", \"size_ignored\": ") + (r.ignored ? "true" : "false");
    out += std::string(", \"size_allowed\": ") + (ProblemText(r.unreadable) ? "null"
                                                  : r.allowed               ? "true"
                                                                            : "false");
    out += ", \"studies\": ";
    if (r.isProject && !r.projectUnreadable) {
        out += "[";
        for (size_t i = 0; i < r.studies.size(); ++i)
            out += (i ? ", " : "") + JsonString(WidenFileName(Normalised(r.studies[i])));
        out += "], \"missing_studies\": [";
        bool first = true;
        for (size_t i = 0; i < r.studies.size(); ++i)
            if (!r.studyFound[i]) {
                out += (first ? "" : ", ") + JsonString(WidenFileName(Normalised(r.studies[i])));
                first = false;
            }
        out += "]";
    } else {
        out += null + ", \"missing_studies\": null";
    }
    out += ", \"marker_offset\": " + (HasMarker(r) ? std::to_string(r.markerOffset) : null);
    out += ", \"picture_width\": " + (HasPicture(r) ? std::to_string(r.pictureWidth) : null);
    out += ", \"picture_height\": " + (HasPicture(r) ? std::to_string(r.pictureHeight) : null);
    const bool mesh = r.meshFormat != 0;
    out +=
        ", \"mesh_format\": " + (mesh ? std::string(r.meshFormat == 1 ? "\"ascii\"" : "\"binary\"") : null);
    for (const auto& [name, value] : {std::pair{"points_read", r.pointsRead},
                                      {"triangles_read", r.trianglesRead},
                                      {"points", r.points},
                                      {"triangles", r.triangles},
                                      {"drawable_triangles", r.drawable}})
        out += std::string(", \"") + name + "\": " + (mesh ? std::to_string(value) : null);
    const char* verdict = mesh ? MeshVerdictText(r) : nullptr;
    out += ", \"mesh_problem\": " + (verdict == nullptr ? null : "\"" + std::string(verdict) + "\"");
    const char* error = ProblemText(r.unreadable);
    if (error == nullptr && r.projectUnreadable)
        error = "the project file cannot be read";
    if (error == nullptr && r.meshLibraryMissing)
        error = kMeshLibraryProblem;
    out += ", \"error\": " + (error == nullptr ? null : "\"" + std::string(error) + "\"");
    return out + "}\n";
}

void PrintInfo(const char* file, const InfoRecord& r) {
    std::printf("path: %s\n", Printable(Normalised(file)).c_str());
    std::printf("kind: %s\n", KindText(r));
    if (const char* problem = ProblemText(r.unreadable)) {
        std::printf("file: %s\n", problem); // nothing more can be told of what cannot be read
        return;
    }
    if (r.hasSize)
        std::printf("size: %s\n", Counted(int64_t(r.size), "byte").c_str());
    const std::string source = SizeLimitSource(r);
    if (r.ignored)
        std::printf("size limit: none (%s)\n", source == "TARNEL_IGNORE_SIZE"
                                                   ? "TARNEL_IGNORE_SIZE is set and not 0"
                                                   : ("SizeLimit=none in " + source).c_str());
    else
        std::printf("size limit: %llu bytes (%s)\n", static_cast<unsigned long long>(r.limit),
                    source == "default" ? "default" : ("from " + source).c_str());
    std::printf("size allowed: %s\n", r.allowed ? "yes" : "no, the file is over the limit");
    if (r.lookedForPicture && !HasMarker(r))
        std::printf("embedded picture: none (no <THUMBNAIL> marker in the last %u bytes)\n", r.markerWindow);
    else if (r.lookedForPicture && !HasPicture(r))
        std::printf("embedded picture: marker at offset %lld, but the picture cannot be loaded\n",
                    static_cast<long long>(r.markerOffset));
    else if (r.lookedForPicture)
        std::printf("embedded picture: marker at offset %lld, %u x %u pixels\n",
                    static_cast<long long>(r.markerOffset), r.pictureWidth, r.pictureHeight);
    if (r.meshFormat != 0) {
        std::printf("mesh: %s, %s and %s read, %s and %s after merging\n",
                    r.meshFormat == 1 ? "ascii" : "binary", Counted(r.pointsRead, "point").c_str(),
                    Counted(r.trianglesRead, "triangle").c_str(), Counted(r.points, "point").c_str(),
                    Counted(r.triangles, "triangle").c_str());
        if (const char* verdict = MeshVerdictText(r))
            std::printf("mesh: no picture: %s\n", verdict);
    }
    if (r.meshLibraryMissing)
        std::printf("mesh: none read: %s\n", kMeshLibraryProblem);
    if (r.projectUnreadable)
        std::printf("studies: none read: the project file cannot be read\n");
    else if (r.isProject) {
        std::printf("studies: %u\n", r.studyCount);
        for (size_t i = 0; i < r.studies.size(); ++i)
            std::printf("  %s%s\n", Printable(Normalised(r.studies[i])).c_str(),
                        r.studyFound[i] ? "" : " (missing)");
        if (r.studyCount > r.studies.size())
            std::printf("  ... and %zu more\n", size_t(r.studyCount - r.studies.size()));
    }
}

// Reads what the child wrote to fd, at most InfoRecord::kMaxBytes and one byte more.
std::string ReadRecord(int fd) {
    std::string bytes;
    char buffer[65536];
    for (off_t at = 0; bytes.size() <= InfoRecord::kMaxBytes;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, size_t(n));
        at += n;
    }
    return bytes;
}

} // namespace

bool LookAt(const char* file, InfoRecord& record, std::string& why) {
    const InfoLibrary& info = GetInfoLibrary();
    if (info.lookAt == nullptr) {
        why = Printable(info.error);
        return false;
    }
    // The record goes through a file in memory that the parent reads back; the child's time and memory are
    // bounded as an extraction's are.
    const int fd = int(::syscall(SYS_memfd_create, "tarnel-info", MFD_CLOEXEC));
    if (fd < 0) {
        why = std::string("cannot keep the answer in memory: ") + std::strerror(errno);
        return false;
    }
    ChildLimits limits;
    limits.seconds = DefaultTimeout();
    limits.memoryMiB = DefaultMemoryMiB();
    const ChildOutcome outcome = RunIsolated(limits, [&] { return info.lookAt(file, fd); }, {fd});
    const bool read =
        outcome.kind == ChildOutcome::Exited && outcome.code == 0 && DecodeInfo(ReadRecord(fd), record);
    ::close(fd);
    if (!read)
        why = outcome.kind == ChildOutcome::TimedOut
                  ? "gave up after " + std::to_string(int(limits.seconds)) + " seconds"
              : NearMemoryBound(outcome, limits.memoryMiB)
                  ? MemoryBoundReason(limits.memoryMiB, "TARNEL_MEMORY_LIMIT")
              : outcome.kind == ChildOutcome::Crashed
                  ? "the look at it was ended by signal " + std::to_string(outcome.code)
                  : std::string("no answer could be read from the look at it");
    return read;
}

std::string SizeLimitSource(const InfoRecord& r) {
    const std::string& fromSettings = tarnel::settings::SizeLimitOrigin();
    if (!fromSettings.empty())
        return fromSettings;
    return r.ignored ? "TARNEL_IGNORE_SIZE" : r.limitFromEnvironment ? "TARNEL_SIZE_LIMIT" : "default";
}

const char* InfoProblem(const InfoRecord& r) {
    return ProblemText(r.unreadable);
}

const char* InfoMeshProblem(const InfoRecord& r) {
    return r.meshFormat != 0 ? MeshVerdictText(r) : nullptr;
}

std::string ShownPath(const std::string& path) {
    return Normalised(path);
}

int RunInfo(int argc, char** argv) {
    InfoRequest request;
    if (const int status = ReadArguments(ParseInfoArguments, argc, argv, request); status >= 0)
        return status;
    const char* file = request.file;
    InfoRecord record;
    std::string why;
    if (!LookAt(file, record, why)) {
        std::fprintf(stderr, "tarnel info: %s: %s\n", Printable(file).c_str(), why.c_str());
        return kExitNoPicture;
    }
    const char* unreadable = ProblemText(record.unreadable);
    if (request.json) {
        std::fputs(InfoJson(file, record).c_str(), stdout);
        return unreadable == nullptr ? 0 : kExitNoPicture;
    }
    PrintInfo(file, record);
    if (unreadable != nullptr) {
        std::fprintf(stderr, "tarnel info: %s: %s\n", Printable(file).c_str(), unreadable);
        return kExitNoPicture;
    }
    return 0;
}
