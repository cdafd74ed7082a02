#include "host/Arguments.h"

#include "host/Formats.h"
#include "host/Settings.h"
#include "platform/tarnel/widestr.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using tarnel::plat::NarrowFileName;
using tarnel::plat::WidenFileName;

bool ParseSeconds(const char* text, double& seconds) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < 0 || v > 1e6)
        return false;
    seconds = v;
    return true;
}

bool ParseSize(const char* text, SIZE& size) {
    char* end = nullptr;
    long w = std::strtol(text, &end, 10);
    long h = w;
    if (end == text)
        return false;
    if (*end == 'x' || *end == 'X') {
        const char* rest = end + 1;
        h = std::strtol(rest, &end, 10);
        if (end == rest)
            return false;
    }
    if (*end != '\0' || w <= 0 || h <= 0 || w > kMaxThumbnailSide || h > kMaxThumbnailSide)
        return false;
    size = {LONG(w), LONG(h)};
    return true;
}

bool ParseMemory(const char* text, long& mebibytes) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0 || v > kMaxMemoryMiB)
        return false;
    mebibytes = v;
    return true;
}

long DefaultMemoryMiB() {
    const auto& setting = tarnel::settings::Current().memoryMiB;
    const long fallback = setting ? setting->value : kDefaultMemoryMiB;
    long mebibytes = fallback;
    const char* text = std::getenv("TARNEL_MEMORY_LIMIT");
    if (text != nullptr && *text != '\0' && !ParseMemory(text, mebibytes))
        mebibytes = fallback;
    return mebibytes;
}

double DefaultTimeout() {
    const auto& setting = tarnel::settings::Current().timeout;
    return setting ? setting->value : kDefaultTimeout;
}

namespace {

// What the commands that extract share: --timeout SECONDS and --memory MIB, the bounds of an extraction, and
// --module PATH with --clsid {...}, the module asked.
bool ReadExtractionOptions(const CommandLine& line, double& timeout, long& memoryMiB, ModuleChoice& choice,
                           std::string& problem) {
    memoryMiB = DefaultMemoryMiB();
    timeout = DefaultTimeout();
    if (const char* text = line.Value("timeout"); text != nullptr && !ParseSeconds(text, timeout))
        problem = "the timeout must be a number of seconds, 0 for none";
    else if (const char* text = line.Value("memory"); text != nullptr && !ParseMemory(text, memoryMiB))
        problem = kBadMemory;
    else if (const char* clsid = line.Value("clsid"); clsid != nullptr && !ParseGuidText(clsid, choice.clsid))
        problem = std::string("--clsid needs a class identifier such as ") + kTarnelClassText;
    if (const char* module = line.Value("module"))
        choice.module = module;
    return problem.empty();
}

// The thumbnail cache's sizes, as the freedesktop cache names its folders.
struct SizeName {
    const char* name;
    int pixels;
};
const SizeName kSizes[] = {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}};

// Reads the line with the command's table, then the request from it with read(line, request, problem).
template <class Request>
bool ParseWith(std::string_view command, int argc, char** argv, Request& request, std::string& problem,
               bool (*read)(const CommandLine&, Request&, std::string&)) {
    if (!ParseCommandLine(command, argc, argv, request.line, problem) || request.line.help)
        return request.line.help;
    return read(request.line, request, problem);
}

// Two commands that share one parser: `second` when argv[0] names it, else `first`.
std::string_view PairedCommand(int argc, char** argv, std::string_view first, std::string_view second) {
    return argc > 0 && argv[0] == second ? second : first;
}

bool ReadThumbnail(const CommandLine& line, ThumbnailRequest& request, std::string& problem) {
    if (const char* size = line.Value("size"); size != nullptr && !ParseSize(size, request.size)) {
        problem = "the size must be N or WxH, whole numbers from 1 to " + std::to_string(kMaxThumbnailSide);
        return false;
    }
    if (!ReadExtractionOptions(line, request.timeout, request.memoryMiB, request.choice, problem))
        return false;
    request.verbose = line.Has("verbose");
    request.writeIcon = line.Has("icon");
    request.input = line.arguments[0];
    request.output = line.arguments[1];
    return true;
}

bool ReadCache(const CommandLine& line, CacheRequest& request, std::string& problem) {
    if (const char* size = line.Value("size")) {
        const SizeName* found = nullptr;
        for (const SizeName& s : kSizes)
            if (std::strcmp(size, s.name) == 0)
                found = &s;
        if (found == nullptr) {
            problem = "the size is one of normal, large, x-large and xx-large";
            return false;
        }
        request.sizeName = found->name;
        request.pixels = found->pixels;
    }
    if (const char* jobs = line.Value("jobs")) {
        char* end = nullptr;
        request.jobs = std::strtol(jobs, &end, 10);
        if (*end != '\0' || request.jobs < 1 || request.jobs > 256) {
            problem = "--jobs takes a whole number from 1 to 256";
            return false;
        }
    }
    if (!ReadExtractionOptions(line, request.timeout, request.memoryMiB, request.choice, problem))
        return false;
    request.retryFailed = line.Has("retry-failed");
    request.forget = line.Has("forget");
    request.verbosity = line.Has("quiet") ? -1 : line.Has("verbose") ? 1 : 0;
    request.lists = line.Values("list");
    request.paths = line.arguments;
    if (request.paths.empty() && request.lists.empty()) {
        problem = "PATH is needed";
        return false;
    }
    return true;
}

bool ReadInfo(const CommandLine& line, InfoRequest& request, std::string&) {
    request.json = line.Has("json");
    request.file = line.arguments[0];
    return true;
}

bool ReadRegister(const CommandLine& line, RegisterRequest& request, std::string&) {
    request.system = line.Has("system");
    request.module = line.arguments.empty() ? nullptr : line.arguments[0];
    return true;
}

bool ReadRegistry(const CommandLine& line, RegistryRequest& request, std::string&) {
    request.action =
        std::strcmp(line.command->name, "where") == 0 ? RegistryRequest::Where : RegistryRequest::Dump;
    if (request.action == RegistryRequest::Dump) {
        request.classes = line.Has("user")     ? RegistryRequest::User
                          : line.Has("system") ? RegistryRequest::System
                                               : RegistryRequest::All;
        request.keys.assign(line.arguments.begin(), line.arguments.end());
    }
    return true;
}

bool ReadInstall(const CommandLine& line, InstallRequest& request, std::string& problem) {
    if (const char* prefix = line.Value("prefix"))
        request.prefix = prefix;
    request.system = line.Has("system") || line.Has("prefix");
    if (request.system && line.Has("user")) {
        problem = "--user and --system exclude each other";
        return false;
    }
    request.module = line.Value("module");
    request.purge = std::strcmp(line.command->name, "uninstall") == 0 && line.Has("purge");
    return true;
}

bool ReadShaderCache(const CommandLine& line, ShaderCacheRequest& request, std::string&) {
    request.action = line.Has("prepare")  ? ShaderCacheRequest::Prepare
                     : line.Has("remove") ? ShaderCacheRequest::Remove
                                          : ShaderCacheRequest::Where;
    request.into = line.Value("into");
    request.module = line.Value("module");
    return true;
}

} // namespace

bool ParseThumbnailArguments(int argc, char** argv, ThumbnailRequest& request, std::string& problem) {
    return ParseWith("thumbnail", argc, argv, request, problem, ReadThumbnail);
}

bool ParseCacheArguments(int argc, char** argv, CacheRequest& request, std::string& problem) {
    return ParseWith("cache", argc, argv, request, problem, ReadCache);
}

bool ParseInfoArguments(int argc, char** argv, InfoRequest& request, std::string& problem) {
    return ParseWith("info", argc, argv, request, problem, ReadInfo);
}

bool ParseRegisterArguments(int argc, char** argv, RegisterRequest& request, std::string& problem) {
    return ParseWith(PairedCommand(argc, argv, "register", "unregister"), argc, argv, request, problem,
                     ReadRegister);
}

bool ParseRegistryArguments(int argc, char** argv, RegistryRequest& request, std::string& problem) {
    return ParseWith("registry", argc, argv, request, problem, ReadRegistry);
}

bool ParseInstallArguments(int argc, char** argv, InstallRequest& request, std::string& problem) {
    return ParseWith(PairedCommand(argc, argv, "install", "uninstall"), argc, argv, request, problem,
                     ReadInstall);
}

bool ParseShaderCacheArguments(int argc, char** argv, ShaderCacheRequest& request, std::string& problem) {
    return ParseWith("shader-cache", argc, argv, request, problem, ReadShaderCache);
}

std::wstring ShellPath(const char* arg) {
    std::string path(arg);
    if (!path.empty() && path[0] != '/') {
        if (char* cwd = ::getcwd(nullptr, 0)) {
            path = std::string(cwd) + "/" + path;
            std::free(cwd);
        }
    }
    return WidenFileName(path);
}

std::string DescribeHResult(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* name;
    };
    static const Name kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_FAIL, "E_FAIL"},
        {E_PENDING, "E_PENDING"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {DISP_E_BADINDEX, "DISP_E_BADINDEX"},
        {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED"},
        {HRESULT(0xFFFFFFFF), "icon only (0xFFFFFFFF)"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(hr));
    for (const Name& n : kNames)
        if (n.hr == hr)
            return hr == HRESULT(0xFFFFFFFF) ? n.name : std::string(n.name) + " (" + hex + ")";
    return hex;
}

std::string JsonString(std::wstring_view text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0 && c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(c));
            out += esc;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += "\xEF\xBF\xBD";
        } else {
            out += NarrowFileName(std::wstring_view(&c, 1));
        }
    }
    return out + "\"";
}
