#include "host/Host.h"
#include "host/ShaderCache.h"

#include "platform/com.h"
#include "platform/widestr.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "usage: tarnel COMMAND [ARGS]\n"
                      "\n"
                      "Thumbnails for the suite's study, project and mesh files.\n"
                      "\n"
                      "commands:\n"
                      "  thumbnail [-s N | --size WxH] [--timeout SECONDS] [--icon] [-v] INPUT OUTPUT.png\n"
                      "            write the thumbnail of INPUT as a PNG (exit 0 picture, 1 none, 2 usage,\n"
                      "            3 only the icon fallback, written because --icon asked for it)\n"
                      "  info [--json] FILE\n"
                      "            what the extractor sees in FILE and why\n"
                      "  register [--system] [MODULE]\n"
                      "  unregister [--system] [MODULE]\n"
                      "            call the module's DllRegisterServer or DllUnregisterServer\n"
                      "  registry dump [--user | --system] [KEY...]\n"
                      "            print HKEY_CLASSES_ROOT (or part of it) as regedit exports it\n"
                      "  install [--user | --system] [--prefix DIR]\n"
                      "            the thumbnailer entry and MIME definitions for file managers\n"
                      "  uninstall [--user | --system] [--prefix DIR]\n"
                      "            removes them again\n"
                      "  cache [--size NAME] [--jobs N] [--timeout SECONDS] [--list FILE] PATH...\n"
                      "            fills the thumbnail cache that file managers share\n"
                      "  shader-cache --prepare | --remove | --where\n"
                      "            compiled shaders for mesh previews, kept under the prefix\n"
                      "\n"
                      "Run 'tarnel COMMAND --help' for a command's options.\n";

} // namespace

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

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0 ||
        std::strcmp(command, "help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // The commands that render: before anything can make an OpenGL context, here or in a child.
    if (std::strcmp(command, "thumbnail") == 0 || std::strcmp(command, "cache") == 0)
        UsePreparedShaders();
    if (std::strcmp(command, "thumbnail") == 0)
        return RunThumbnail(argc - 1, argv + 1);
    if (std::strcmp(command, "info") == 0)
        return RunInfo(argc - 1, argv + 1);
    if (std::strcmp(command, "register") == 0 || std::strcmp(command, "unregister") == 0)
        return RunRegister(argc - 1, argv + 1, command[0] == 'u');
    if (std::strcmp(command, "registry") == 0)
        return RunRegistry(argc - 1, argv + 1);
    if (std::strcmp(command, "cache") == 0)
        return RunCache(argc - 1, argv + 1);
    if (std::strcmp(command, "shader-cache") == 0)
        return RunShaderCache(argc - 1, argv + 1);
    if (std::strcmp(command, "install") == 0)
        return RunInstall(argc - 1, argv + 1);
    if (std::strcmp(command, "uninstall") == 0)
        return RunUninstall(argc - 1, argv + 1);
    std::fprintf(stderr, "tarnel: unknown command '%s' (try 'tarnel --help')\n", command);
    return kExitUsage;
}
