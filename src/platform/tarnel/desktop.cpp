// The platform library's side of libtarnelshell.so: it is opened on the first call, from this library's own
// folder (or the one above it, for the tests' build of the platform library), and stays loaded.
#include "platform/tarnel/desktop.h"

#include "platform/tarnel/desktopentry.h"

#include <dlfcn.h>

#include <mutex>

namespace tarnel::plat {

namespace {

struct Entries {
    TarnelGuessContentTypeFn guess = nullptr;
    TarnelGuessTypeOfNameFn guessName = nullptr;
    TarnelLoadTypeIconFn icon = nullptr;
    TarnelFileUriFn uri = nullptr;
    std::string problem;
};

const Entries& Library() {
    static const Entries entries = [] {
        Entries e;
        Dl_info info{};
        std::string folder = ".";
        if (::dladdr(reinterpret_cast<const void*>(&Library), &info) != 0 && info.dli_fname != nullptr) {
            folder = info.dli_fname;
            const size_t slash = folder.rfind('/');
            folder = slash == std::string::npos ? "." : folder.substr(0, slash);
        }
        void* library = nullptr;
        for (const char* relative : {"/", "/../"}) {
            library = ::dlopen((folder + relative + kDesktopLibraryName).c_str(),
                               RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
            if (library != nullptr)
                break;
        }
        if (library == nullptr) {
            e.problem = folder + "/" + kDesktopLibraryName + " cannot be loaded";
            return e;
        }
        e.guess = reinterpret_cast<TarnelGuessContentTypeFn>(::dlsym(library, "TarnelGuessContentType"));
        e.guessName = reinterpret_cast<TarnelGuessTypeOfNameFn>(::dlsym(library, "TarnelGuessTypeOfName"));
        e.icon = reinterpret_cast<TarnelLoadTypeIconFn>(::dlsym(library, "TarnelLoadTypeIcon"));
        e.uri = reinterpret_cast<TarnelFileUriFn>(::dlsym(library, "TarnelFileUri"));
        if (e.guess == nullptr || e.guessName == nullptr || e.icon == nullptr || e.uri == nullptr)
            e.problem = std::string(kDesktopLibraryName) + " lacks its entry points";
        return e;
    }();
    return entries;
}

} // namespace

std::string GuessContentType(const std::string& native, bool byNameOnly) {
    std::string type;
    if (Library().guess != nullptr)
        Library().guess(native.c_str(), byNameOnly, &type);
    return type;
}

std::string GuessContentTypeOfName(const std::string& name, bool& uncertain) {
    std::string type;
    uncertain = true;
    if (Library().guessName != nullptr)
        uncertain = Library().guessName(name.c_str(), &type) == 0;
    return type;
}

bool LoadTypeIcon(const std::string& type, int size, int& width, int& height, std::vector<DWORD>& argb) {
    return Library().icon != nullptr && Library().icon(type.c_str(), size, &width, &height, &argb) != 0;
}

bool FileUriAndDigest(const std::string& path, std::string& uri, std::string& md5) {
    return Library().uri != nullptr && Library().uri(path.c_str(), &uri, &md5) != 0;
}

std::string DesktopLibraryProblem() {
    return Library().problem;
}

} // namespace tarnel::plat
