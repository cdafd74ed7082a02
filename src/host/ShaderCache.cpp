#include "host/ShaderCache.h"

#include "host/Escape.h"
#include "host/Host.h"
#include "host/Isolated.h"
#include "host/ModuleLoader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// The database's name in the prepared folder, as Mesa names one: NAME.foz and NAME_idx.foz.
const char kDatabase[] = "shaders";

// Mesa keeps its databases in CACHE_DIR/mesa_shader_cache_sf/<driver build>/<driver>/; read-only ones are
// named relative to that folder.
constexpr int kMesaCacheDepth = 3;

// Variables by which a person chooses Mesa's shader cache; tarnel leaves such a choice alone.
const char* const kMesaChoices[] = {"MESA_SHADER_CACHE_DIR", "MESA_SHADER_CACHE_DISABLE",
                                    "MESA_GLSL_CACHE_DISABLE", "MESA_DISK_CACHE_SINGLE_FILE",
                                    "MESA_DISK_CACHE_READ_ONLY_FOZ_DBS"};

// Sets Mesa's variables so that it keeps new shaders in cacheFolder and reads the database at `database`
// (a path without .foz); an empty database: none.
bool PointMesaAt(const std::string& cacheFolder, const std::string& database) {
    char real[PATH_MAX];
    if (::realpath(cacheFolder.c_str(), real) == nullptr)
        return false;
    ::setenv("MESA_DISK_CACHE_SINGLE_FILE", "1", 1);
    ::setenv("MESA_SHADER_CACHE_DIR", real, 1);
    if (database.empty()) {
        ::unsetenv("MESA_DISK_CACHE_READ_ONLY_FOZ_DBS");
        return true;
    }
    // Mesa takes the database's path relative to its own folder, so climb from there to the root.
    int depth = kMesaCacheDepth;
    for (const char* p = real; *p != '\0'; ++p)
        depth += *p == '/' && p[1] != '\0';
    std::string relative;
    for (int i = 0; i < depth; ++i)
        relative += "../";
    relative += database.substr(1);
    if (relative.find(',') != std::string::npos) // Mesa splits the list at commas
        return false;
    ::setenv("MESA_DISK_CACHE_READ_ONLY_FOZ_DBS", relative.c_str(), 1);
    return true;
}

bool CopyWhole(const fs::path& from, const fs::path& to) {
    const fs::path temp = to.string() + ".new";
    std::error_code ec;
    fs::copy_file(from, temp, fs::copy_options::overwrite_existing, ec);
    if (ec)
        return false;
    fs::permissions(temp, fs::perms(0644), ec);
    fs::rename(temp, to, ec);
    if (ec)
        fs::remove(temp, ec);
    return !ec;
}

// A small closed mesh, as binary STL.
void WriteSampleMesh(const fs::path& path) {
    const float v[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
    std::ofstream out(path, std::ios::binary);
    const char header[80] = "tarnel shader sample";
    out.write(header, 80);
    const uint32_t count = 4;
    out.write(reinterpret_cast<const char*>(&count), 4);
    for (const auto& f : faces) {
        const float normal[3] = {0, 0, 0};
        out.write(reinterpret_cast<const char*>(normal), sizeof normal);
        for (int corner : f)
            out.write(reinterpret_cast<const char*>(v[corner]), sizeof v[corner]);
        const uint16_t attributes = 0;
        out.write(reinterpret_cast<const char*>(&attributes), 2);
    }
}

int Prepare(const fs::path& into, const std::string& module) {
    char pattern[] = "/tmp/tarnel-shader-prepare-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("tarnel shader-cache: cannot make a working folder");
        return 1;
    }
    const fs::path work = pattern;
    const fs::path cache = work / "cache", sample = work / "sample.stl";
    std::error_code ec;
    fs::create_directory(cache, ec);
    WriteSampleMesh(sample);
    ModuleChoice choice;
    choice.module = module;
    CheckedHandler handler;
    std::string error;
    if (!CheckHandler(sample.c_str(), choice, handler, error)) {
        std::fprintf(stderr, "tarnel shader-cache: %s\n", error.c_str());
        fs::remove_all(work, ec);
        return 1;
    }
    // Mesa is pointed at the scratch cache before the child starts: the child may write only where it was
    // told to at its start. This command renders nothing itself.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ChildLimits limits;
    limits.seconds = 120;
    limits.writable = {cache.string()};
    const ChildOutcome outcome =
        PointMesaAt(cache, "")
            ? RunIsolated(limits,
                          [&] {
                              return ExtractPng(sample.c_str(), {256, 256}, handler, false, false, null, {});
                          },
                          {null, handler.fd})
            : ChildOutcome{};
    if (null >= 0)
        ::close(null);
    // The database Mesa wrote for the renderer that drew the sample: the largest, should there be several.
    fs::path database;
    uintmax_t largest = 0;
    for (auto it = fs::recursive_directory_iterator(cache, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename() == "foz_cache.foz" && it->file_size(ec) > largest) {
            largest = it->file_size(ec);
            database = it->path();
        }
    int status = 0;
    if (outcome.kind != ChildOutcome::Exited || !outcome.answered ||
        outcome.answer.kind != AnswerKind::Picture || database.empty()) {
        std::fprintf(stderr,
                     "tarnel shader-cache: no shaders to keep: the sample mesh could not be rendered\n");
        status = 1;
    } else {
        fs::create_directories(into, ec);
        const fs::path foz = into / (std::string(kDatabase) + ".foz"),
                       idx = into / (std::string(kDatabase) + "_idx.foz");
        // The index goes last: a database without its index is never read.
        fs::remove(idx, ec);
        if (!CopyWhole(database, foz) || !CopyWhole(database.parent_path() / "foz_cache_idx.foz", idx)) {
            std::fprintf(stderr, "tarnel shader-cache: cannot write %s\n", Printable(into.string()).c_str());
            status = 1;
        } else {
            std::printf("prepared %s (%ju bytes)\n", Printable(foz.string()).c_str(), largest);
        }
    }
    fs::remove_all(work, ec);
    return status;
}

int Remove(const fs::path& into) {
    std::error_code ec;
    for (const char* suffix : {"_idx.foz", ".foz"})
        if (fs::remove(into / (std::string(kDatabase) + suffix), ec))
            std::printf("removed %s\n",
                        Printable((into / (std::string(kDatabase) + suffix)).string()).c_str());
    fs::remove(into, ec);               // when empty
    fs::remove(into.parent_path(), ec); // lib/tarnel, when empty
    return 0;
}

} // namespace

std::string PreparedShaderFolder() {
    // Beside the module: in tarnel's own folder when installed (lib/<multiarch>/tarnel), else in lib/tarnel.
    fs::path folder = fs::path(DefaultModulePath()).parent_path();
    if (folder.filename() != "tarnel")
        folder /= "tarnel";
    return (folder / "shader-cache").string();
}

void PointChildShaders(const std::string& folder) {
    for (const char* name : kMesaChoices)
        if (std::getenv(name) != nullptr)
            return;
    const std::string database = PreparedShaderFolder() + "/" + kDatabase;
    const bool prepared = ::access((database + "_idx.foz").c_str(), R_OK) == 0 &&
                          ::access((database + ".foz").c_str(), R_OK) == 0;
    PointMesaAt(folder, prepared ? database : "");
}

int RunShaderCache(int argc, char** argv) {
    ShaderCacheRequest request;
    if (const int status = ReadArguments(ParseShaderCacheArguments, argc, argv, request); status >= 0)
        return status;
    const fs::path into =
        request.into != nullptr ? fs::absolute(request.into) : fs::path(PreparedShaderFolder());
    switch (request.action) {
    case ShaderCacheRequest::Prepare:
        return Prepare(into, request.module != nullptr ? request.module : DefaultModulePath());
    case ShaderCacheRequest::Remove:
        return Remove(into);
    case ShaderCacheRequest::Where:
        break;
    }
    // What a child gets: its folder is made for it and removed with it; this names the first that would
    // serve, made for the answer and removed again.
    const std::string child = MakeChildFolder();
    if (!child.empty()) {
        PointChildShaders(child);
        ::rmdir(child.c_str());
    }
    std::printf("prepared: %s (%s)\n", Printable(into.string()).c_str(),
                ::access((into / (std::string(kDatabase) + ".foz")).c_str(), R_OK) == 0 ? "present" : "none");
    std::printf("new shaders: in each child's own folder, removed when the child ends\n");
    std::printf("a child's environment (its folder, named here as the next child's would be, is made for "
                "it):\n");
    for (const char* name : kMesaChoices)
        if (const char* value = std::getenv(name); value != nullptr && value[0] != '\0')
            std::printf("%s=%s\n", name, Printable(value).c_str());
    return 0;
}
