#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/ShaderCache.h"

#include "objbase.h"
#include "platform/tarnel/widestr.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: tarnel COMMAND [ARGS]\n"
    "\n"
    "Thumbnails for the suite's study, project and mesh files.\n"
    "\n"
    "commands:\n"
    "  thumbnail [-s N | --size WxH] [--timeout SECONDS] [--memory MIB] [--icon] [-v]\n"
    "            INPUT OUTPUT.png\n"
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
    "  cache [--size NAME] [--jobs N] [--timeout SECONDS] [--memory MIB] [--retry-failed]\n"
    "        [--list FILE] PATH...\n"
    "            fills the thumbnail cache that file managers share\n"
    "  shader-cache --prepare | --remove | --where\n"
    "            compiled shaders for mesh previews, kept under the prefix\n"
    "\n"
    "Run 'tarnel COMMAND --help' for a command's options, 'tarnel --version' for the version.\n";

int RunInfo(int argc, char** argv) {
    const InfoLibrary& info = GetInfoLibrary();
    if (info.runInfo == nullptr) {
        std::fprintf(stderr, "tarnel info: %s\n", info.error.c_str());
        return kExitNoPicture;
    }
    return info.runInfo(argc, argv);
}

} // namespace

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
    if (std::strcmp(command, "--version") == 0 || std::strcmp(command, "version") == 0) {
        std::printf("tarnel %s\n", TARNEL_VERSION);
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
