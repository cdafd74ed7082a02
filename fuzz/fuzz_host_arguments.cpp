// The host's command lines and argument handling: every command's line as a file manager or a person writes
// it, read against the command tables, and every argument taken as a file name (made absolute, widened, its
// extension looked up in the registry, written as JSON). Arguments are the input split at NUL bytes; when the
// first names a command ("cache", "registry"), the rest are that command's, otherwise `tarnel thumbnail`'s.
#include "host/Arguments.h"

#include "platform/tarnel/widestr.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using tarnel::plat::NarrowFileName;

namespace {

void Check(bool holds) {
    if (!holds)
        __builtin_trap();
}

// Reads the line as its command does: what a successful reading gives must hold, and a line refused must
// say why.
template <class Request>
void Parse(bool (*parse)(int, char**, Request&, std::string&), int argc, char** argv, auto holds) {
    Request request;
    std::string problem;
    const bool parsed = parse(argc, argv, request, problem);
    const CommandLine& line = request.line;
    Check(line.command != nullptr && (parsed || !problem.empty()));
    if (parsed && !line.help)
        Check(holds(request));
    // The texts the answer would print.
    if (line.help)
        Check(!HelpText(*line.command, line.name).empty());
    else if (!parsed)
        Check(!UsageText(*line.command, line.name).empty());
}

void ParseLine(int argc, char** argv) {
    const std::string command = argv[0];
    if (command == "thumbnail")
        Parse(ParseThumbnailArguments, argc, argv, [](const ThumbnailRequest& r) {
            return r.size.cx > 0 && r.size.cy > 0 && r.size.cx <= kMaxThumbnailSide &&
                   r.size.cy <= kMaxThumbnailSide && r.input != nullptr && r.output != nullptr &&
                   r.timeout >= 0;
        });
    else if (command == "cache")
        Parse(ParseCacheArguments, argc, argv, [](const CacheRequest& r) {
            return r.jobs >= 0 && r.jobs <= 256 && r.pixels >= 128 && r.pixels <= 1024 &&
                   (!r.paths.empty() || !r.lists.empty());
        });
    else if (command == "info")
        Parse(ParseInfoArguments, argc, argv, [](const InfoRequest& r) { return r.file != nullptr; });
    else if (command == "register" || command == "unregister")
        Parse(ParseRegisterArguments, argc, argv, [](const RegisterRequest&) { return true; });
    else if (command == "registry")
        Parse(ParseRegistryArguments, argc, argv,
              [](const RegistryRequest& r) { return r.action == RegistryRequest::Dump || r.keys.empty(); });
    else if (command == "install" || command == "uninstall")
        Parse(ParseInstallArguments, argc, argv, [](const InstallRequest& r) { return !r.prefix.empty(); });
    else if (command == "shader-cache")
        Parse(ParseShaderCacheArguments, argc, argv, [](const ShaderCacheRequest&) { return true; });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A registry that does not exist: the lookup runs its whole way and finds nothing.
    ::setenv("TARNEL_REGISTRY", "/nonexistent/tarnel-fuzz/registry.reg", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    args.push_back(current);
    if (FindCommand(args[0]) == nullptr)
        args.insert(args.begin(), "thumbnail");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ParseLine(int(args.size()), argv.data());

    for (size_t i = 1; i < args.size(); ++i) {
        const std::wstring path = ShellPath(args[i].c_str());
        // File names are bytes: whatever they hold comes back unchanged.
        if (!args[i].empty() && args[i][0] == '/' && NarrowFileName(path) != args[i])
            __builtin_trap();
        JsonString(path);
        ExtensionOf(path);
        ThumbnailHandler handler;
        std::string error;
        if (FindThumbnailHandler(path, handler, error) || error.empty())
            __builtin_trap(); // nothing is registered
    }
    return 0;
}
