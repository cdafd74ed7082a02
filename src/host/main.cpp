#include "host/CommandLine.h"
#include "host/Escape.h"
#include "host/HeapPolicy.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/Settings.h"
#include "host/ShaderCache.h"

#include "objbase.h"
#include "platform/tarnel/widestr.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// What runs each command of the table (host/Options.h).
struct Handler {
    const char* name;
    int (*run)(int argc, char** argv);
};
const Handler kHandlers[] = {
    {"thumbnail", RunThumbnail},      {"info", RunInfo},
    {"register", RunRegister},        {"unregister", RunRegister},
    {"registry", RunRegistry},        {"install", RunInstall},
    {"uninstall", RunUninstall},      {"cache", RunCache},
    {"shader-cache", RunShaderCache}, {"why", RunWhy},
};

} // namespace

int main(int argc, char** argv) {
    RememberCommandLine(argv);
    CommandLine line;
    line.command = &tarnel::cli::kTarnel;
    line.name = "tarnel";
    if (argc < 2) {
        std::fputs(HelpText(*line.command, line.name).c_str(), stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0 ||
        std::strcmp(command, "help") == 0) {
        std::fputs(HelpText(*line.command, line.name).c_str(), stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0 || std::strcmp(command, "version") == 0) {
        std::printf("tarnel %s\n", TARNEL_VERSION);
        return 0;
    }
    if (const tarnel::cli::Command* found = FindCommand(command))
        for (const Handler& handler : kHandlers)
            if (std::strcmp(handler.name, found->name) == 0) {
                tarnel::settings::Apply(found->name);
                return handler.run(argc - 1, argv + 1);
            }
    return UsageError(line, command[0] == '-' ? "unknown option " + Printable(command)
                                              : "unknown command '" + Printable(command) + "'");
}
