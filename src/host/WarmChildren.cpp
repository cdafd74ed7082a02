#include "host/WarmChildren.h"

#include "host/ModuleLoader.h"
#include "mesh/MeshLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

namespace {

// Mesa's driver lies in the dri folder beside its EGL library, unless LIBGL_DRIVERS_PATH names another; all
// of its drivers are one file under many names, and the dynamic loader knows a file it loaded by any name.
std::string MesaDriver(void* egl) {
    if (const char* path = std::getenv("LIBGL_DRIVERS_PATH"); path != nullptr && path[0] == '/') {
        const char* colon = std::strchr(path, ':');
        return std::string(path, colon != nullptr ? size_t(colon - path) : std::strlen(path)) +
               "/swrast_dri.so";
    }
    link_map* map = nullptr;
    if (::dlinfo(egl, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return {};
    const std::string file = map->l_name;
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash) + "/dri/swrast_dri.so";
}

void PutString(std::string& out, const std::string& s) {
    const uint32_t n = uint32_t(s.size());
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
    out += s;
}

bool GetString(const std::string& in, size_t& at, std::string& s) {
    uint32_t n;
    if (in.size() - at < sizeof n)
        return false;
    std::memcpy(&n, in.data() + at, sizeof n);
    at += sizeof n;
    if (in.size() - at < n)
        return false;
    s.assign(in, at, n);
    at += n;
    return true;
}

constexpr uint32_t kWarmJobMark = 0x4A57524Bu; // "KRWJ"

} // namespace

bool PreloadForChildren(const CheckedHandler& handler) {
    // Never unloaded, and never destroyed: the children find the module loaded and load the same file
    // through their own descriptor. A loader destroyed at a child's exit would ask the module whether it may
    // go after the module's own objects had gone.
    static CModuleLoader* const module = new CModuleLoader;
    std::string error;
    if (!module->Load(handler.fd, handler.module, error))
        return true;
    const size_t slash = handler.module.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : handler.module.substr(0, slash);
    // Each library is bound whole here (RTLD_NOW), so that no child spends its time binding symbols on
    // their first calls; one that will not bind whole is left to load as the child loads it.
    for (const char* relative : {"/", "/../lib/"})
        if (const std::string path = folder + relative + kMeshLibraryName;
            ::access(path.c_str(), F_OK) == 0) {
            ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
            break;
        }
    if (folder.empty() || OpenMeshLibrary(folder, error) == nullptr)
        return true; // no mesh library: nothing of VTK or Mesa to load
    // What VTK's threading library loads on its first parallel loop, and Mesa's EGL and driver, which it
    // loads on the first display.
    for (const char* name : {"libtbbmalloc.so.2", "libiomp5.so"})
        ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (void* egl = ::dlopen("libEGL_mesa.so.0", RTLD_NOW | RTLD_LOCAL)) {
        const std::string driver = MesaDriver(egl);
        if (!driver.empty() && ::dlopen(driver.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr)
            ::dlopen(driver.c_str(), RTLD_LAZY | RTLD_LOCAL);
    }
    return true;
}

std::string EncodeWarmJob(const WarmJob& job) {
    std::string out(reinterpret_cast<const char*>(&kWarmJobMark), sizeof kWarmJobMark);
    PutString(out, job.path);
    PutString(out, job.module);
    out.append(reinterpret_cast<const char*>(&job.clsid), sizeof job.clsid);
    const uint32_t count = uint32_t(job.texts.size());
    out.append(reinterpret_cast<const char*>(&count), sizeof count);
    for (const PngText& t : job.texts) {
        PutString(out, t.key);
        PutString(out, t.value);
    }
    return out;
}

bool DecodeWarmJob(const std::string& record, WarmJob& job) {
    uint32_t mark, count;
    size_t at = sizeof mark;
    if (record.size() < sizeof mark ||
        (std::memcpy(&mark, record.data(), sizeof mark), mark != kWarmJobMark) ||
        !GetString(record, at, job.path) || !GetString(record, at, job.module) ||
        record.size() - at < sizeof job.clsid + sizeof count)
        return false;
    std::memcpy(&job.clsid, record.data() + at, sizeof job.clsid);
    at += sizeof job.clsid;
    std::memcpy(&count, record.data() + at, sizeof count);
    at += sizeof count;
    job.texts.clear();
    for (uint32_t i = 0; i < count; ++i) {
        PngText t;
        if (!GetString(record, at, t.key) || !GetString(record, at, t.value))
            return false;
        job.texts.push_back(std::move(t));
    }
    return at == record.size();
}
