#include "host/Arguments.h"

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
    long mebibytes = kDefaultMemoryMiB;
    const char* text = std::getenv("TARNEL_MEMORY_LIMIT");
    if (text != nullptr && *text != '\0' && !ParseMemory(text, mebibytes))
        mebibytes = kDefaultMemoryMiB;
    return mebibytes;
}

int ParseModuleOption(int argc, char** argv, int& i, ModuleChoice& choice, std::string& problem) {
    const char* a = argv[i];
    const char* value = nullptr;
    bool isModule = false;
    if (std::strcmp(a, "--module") == 0 || std::strcmp(a, "--clsid") == 0) {
        isModule = a[2] == 'm';
        if (++i >= argc) {
            problem = std::string(a) + " needs a value";
            return -1;
        }
        value = argv[i];
    } else if (std::strncmp(a, "--module=", 9) == 0) {
        isModule = true;
        value = a + 9;
    } else if (std::strncmp(a, "--clsid=", 8) == 0) {
        value = a + 8;
    } else {
        return 0;
    }
    if (isModule) {
        if (value[0] == '\0') {
            problem = "--module needs the module's path";
            return -1;
        }
        choice.module = value;
    } else if (!ParseGuidText(value, choice.clsid)) {
        problem = "--clsid needs a class identifier such as {3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}";
        return -1;
    }
    return 1;
}

bool ParseThumbnailArguments(int argc, char** argv, ThumbnailRequest& request, std::string& problem) {
    const char* positional[2] = {nullptr, nullptr};
    int nPositional = 0;
    const std::string badSize =
        "the size must be N or WxH, whole numbers from 1 to " + std::to_string(kMaxThumbnailSide);
    const char* const kBadSize = badSize.c_str();
    const char* const kBadTimeout = "the timeout must be a number of seconds, 0 for none";
    request.memoryMiB = DefaultMemoryMiB();
    auto fail = [&](std::string why) {
        problem = std::move(why);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (int taken = ParseModuleOption(argc, argv, i, request.choice, problem); taken != 0) {
            if (taken < 0)
                return false;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            request.help = true;
            return true;
        } else if (std::strcmp(a, "-s") == 0 || std::strcmp(a, "--size") == 0) {
            if (++i >= argc || !ParseSize(argv[i], request.size))
                return fail(kBadSize);
        } else if (std::strncmp(a, "--size=", 7) == 0) {
            if (!ParseSize(a + 7, request.size))
                return fail(kBadSize);
        } else if (std::strcmp(a, "--timeout") == 0) {
            if (++i >= argc || !ParseSeconds(argv[i], request.timeout))
                return fail(kBadTimeout);
        } else if (std::strncmp(a, "--timeout=", 10) == 0) {
            if (!ParseSeconds(a + 10, request.timeout))
                return fail(kBadTimeout);
        } else if (std::strcmp(a, "--memory") == 0) {
            if (++i >= argc || !ParseMemory(argv[i], request.memoryMiB))
                return fail(kBadMemory);
        } else if (std::strncmp(a, "--memory=", 9) == 0) {
            if (!ParseMemory(a + 9, request.memoryMiB))
                return fail(kBadMemory);
        } else if (std::strcmp(a, "-v") == 0 || std::strcmp(a, "--verbose") == 0) {
            request.verbose = true;
        } else if (std::strcmp(a, "--icon") == 0) {
            request.writeIcon = true;
        } else if (std::strcmp(a, "--") == 0) {
            for (++i; i < argc; ++i) {
                if (nPositional == 2)
                    return fail("too many arguments");
                positional[nPositional++] = argv[i];
            }
        } else if (a[0] == '-' && a[1] != '\0') {
            return fail(std::string("unknown option ") + a);
        } else {
            if (nPositional == 2)
                return fail("too many arguments");
            positional[nPositional++] = a;
        }
    }
    if (nPositional != 2)
        return fail("INPUT and OUTPUT are both needed");
    request.input = positional[0];
    request.output = positional[1];
    return true;
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
