#include "host/InfoLibrary.h"

#include "host/Escape.h"
#include "host/ModuleLoader.h"

#include <dlfcn.h>

#include <filesystem>

const InfoLibrary& GetInfoLibrary() {
    static const InfoLibrary library = [] {
        InfoLibrary l;
        const std::string path =
            (std::filesystem::path(DefaultModulePath()).parent_path() / kInfoLibraryName).string();
        void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            l.error = why != nullptr ? Printable(why) : "cannot load " + Printable(path);
            return l;
        }
        l.lookAt = reinterpret_cast<TarnelLookAtFn>(::dlsym(handle, "TarnelLookAt"));
        l.explainNoPicture =
            reinterpret_cast<TarnelExplainNoPictureFn>(::dlsym(handle, "TarnelExplainNoPicture"));
        l.newestStudy = reinterpret_cast<TarnelNewestStudyFn>(::dlsym(handle, "TarnelNewestStudy"));
        l.iconPicture = reinterpret_cast<TarnelIconPictureFn>(::dlsym(handle, "TarnelIconPicture"));
        if (l.lookAt == nullptr || l.explainNoPicture == nullptr || l.newestStudy == nullptr ||
            l.iconPicture == nullptr)
            l.error = Printable(path) + " lacks the entry points of this version of tarnel";
        return l;
    }();
    return library;
}
