// The host's argument and path handling: `tarnel thumbnail`'s command line as a file manager or a person
// writes it, and every argument taken as a file name (made absolute, widened, its extension looked up in
// the registry, written as JSON). Arguments are the input split at NUL bytes.
#include "host/Arguments.h"

#include "platform/tarnel/widestr.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using tarnel::plat::NarrowFileName;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A registry that does not exist: the lookup runs its whole way and finds nothing.
    ::setenv("TARNEL_REGISTRY", "/nonexistent/tarnel-fuzz/registry.reg", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = {"thumbnail"};
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
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    ThumbnailRequest request;
    std::string problem;
    if (ParseThumbnailArguments(int(args.size()), argv.data(), request, problem) && !request.help) {
        if (request.size.cx <= 0 || request.size.cy <= 0 || request.size.cx > 100000 ||
            request.size.cy > 100000 || request.input == nullptr || request.output == nullptr ||
            request.timeout < 0)
            __builtin_trap();
    }
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
