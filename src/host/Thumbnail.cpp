// `tarnel thumbnail`: does what the shell does for one file, then writes the picture as PNG.
#include "host/FileChecks.h"
#include "host/Formats.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/Isolated.h"
#include "host/ModuleLoader.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"

#include "mesh/MeshLibrary.h"
#include "shobjidl.h"
#include "wingdi.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

// Holds one interface reference for the scope.
template <class I>
struct Ref {
    I* p = nullptr;
    ~Ref() {
        if (p != nullptr)
            p->Release();
    }
};

} // namespace

int RunThumbnail(int argc, char** argv) {
    ThumbnailRequest request;
    if (const int status = ReadArguments(ParseThumbnailArguments, argc, argv, request); status >= 0)
        return status;
    const char* input = request.input;
    const char* output = request.output;

    // The picture is made in a child process, so that a file that hangs or crashes the extractor costs a
    // bounded time and memory, and never leaves half a PNG at OUTPUT.
    RemoveOutputFilesOnSignals();
    OutputFile out;
    std::string error;
    if (!out.Open(output, -1, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return out.refused() ? kExitUsage : kExitNoPicture;
    }
    ChildLimits limits;
    limits.seconds = request.timeout;
    limits.memoryMiB = request.memoryMiB;
    limits.verbose = request.verbose;
    const ChildOutcome outcome =
        RunIsolated(limits,
                    [&] {
                        return ExtractPng(input, request.size, request.choice, request.writeIcon,
                                          request.verbose, out.fd(), {});
                    },
                    {out.fd()});
    if (outcome.kind == ChildOutcome::Exited &&
        (outcome.code == kExitPicture || outcome.code == kExitIconOnly)) {
        if (!out.Commit(error)) {
            std::fprintf(stderr, "tarnel: %s\n", error.c_str());
            return kExitNoPicture;
        }
        return outcome.code;
    }
    if (const std::string why = NoPictureReason(input, outcome, request.timeout, request.memoryMiB);
        !why.empty())
        std::fprintf(stderr, "tarnel: no picture for %s: %s\n", input, why.c_str());
    return kExitNoPicture;
}

namespace {

std::string MemoryBoundReason(long long mebibytes) {
    return "it needs more memory than the bound of " + std::to_string(mebibytes) +
           " MiB (--memory, TARNEL_MEMORY_LIMIT)";
}

} // namespace

std::string NoPictureReason(const char* input, const ChildOutcome& outcome, double timeout, long memoryMiB) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", timeout);
    // Code that is refused memory seldom says so: it crashes, or gives up quietly. A child that came near its
    // bound (a resident peak of three quarters of the bound or more) is taken to have needed more.
    const bool nearBound =
        memoryMiB > 0 && MemoryBoundsApply() && outcome.peakKiB * 4 >= memoryMiB * 1024 * 3;
    const std::string memory = MemoryBoundReason(memoryMiB);
    switch (outcome.kind) {
    case ChildOutcome::TimedOut:
        return std::string("gave up after ") + seconds + " seconds (--timeout)";
    case ChildOutcome::Crashed:
        return (nearBound ? memory + "; " : "") + "the extractor was ended by signal " +
               std::to_string(outcome.code);
    case ChildOutcome::NotStarted:
        return "cannot start a process for it";
    case ChildOutcome::Exited:
        break;
    }
    if (outcome.code != kChildNoPicture && outcome.code != kChildNothingDrawn)
        return {}; // the child has said why, or there is nothing to say
    if (nearBound)
        return memory;
    const InfoLibrary& info = GetInfoLibrary();
    if (info.explainNoPicture == nullptr)
        return outcome.code == kChildNothingDrawn ? "the mesh holds no triangles" : "no picture in the file";
    char reason[512];
    info.explainNoPicture(input, outcome.code == kChildNothingDrawn, reason, sizeof reason);
    return reason;
}

namespace {

// Why this machine cannot render meshes off-screen, from the mesh library beside the module; empty when it
// can (then the mesh itself was at fault).
std::string MeshRenderingProblem(const std::string& module) {
    std::string error;
    void* library = OpenMeshLibrary(std::filesystem::path(module).parent_path().string(), error);
    if (library == nullptr)
        return error;
    auto problem = reinterpret_cast<TarnelOffscreenProblemFn>(::dlsym(library, "TarnelOffscreenProblem"));
    if (problem == nullptr)
        return "the mesh library lacks TarnelOffscreenProblem";
    const std::string text = problem();
    return text.empty() ? text : "meshes need off-screen OpenGL, and " + text;
}

// The shell's calls on the extractor, from the class object to the bitmap. The interfaces are all released
// when it returns, so that the module may be unloaded.
int ExtractWith(CModuleLoader& loader, const ThumbnailHandler& handler, const char* input,
                const std::wstring& path, SIZE size, bool verbose, HBITMAP& hBitmap, HRESULT& extractResult) {
    auto trace = [&](const char* call, HRESULT hr) {
        if (verbose)
            std::fprintf(stderr, "tarnel: %s -> %s\n", call, DescribeHResult(hr).c_str());
    };
    // A handler that cannot be reached is a fault of the set-up; a file it refuses is that file's fault.
    auto fail = [&](const char* call, HRESULT hr, const std::string& what, int status = kChildSetUpFault) {
        std::fprintf(stderr, "tarnel: %s: %s answered %s\n", what.c_str(), call, DescribeHResult(hr).c_str());
        return status;
    };
    const std::string cls = GuidText(handler.clsid);

    Ref<IClassFactory> factory;
    HRESULT hr =
        loader.DllGetClassObject(handler.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory.p));
    trace("DllGetClassObject", hr);
    if (FAILED(hr) || factory.p == nullptr)
        return fail("DllGetClassObject", hr, loader.Path() + " does not serve the class " + cls);
    Ref<IPersistFile> persist;
    hr = factory.p->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&persist.p));
    trace("IClassFactory::CreateInstance", hr);
    if (FAILED(hr) || persist.p == nullptr)
        return fail("IClassFactory::CreateInstance", hr, "cannot create the thumbnail handler " + cls);

    hr = persist.p->Load(path.c_str(), STGM_READ);
    trace("IPersistFile::Load", hr);
    if (FAILED(hr))
        return fail("IPersistFile::Load", hr, std::string("no picture for ") + input, kChildToldWhy);
    Ref<IExtractImage> extract;
    hr = persist.p->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract.p));
    trace("QueryInterface(IExtractImage)", hr);
    if (FAILED(hr) || extract.p == nullptr)
        return fail("QueryInterface(IExtractImage)", hr, "the class " + cls + " is no thumbnail extractor");

    WCHAR location[MAX_PATH] = {};
    DWORD priority = IEIT_PRIORITY_NORMAL;
    DWORD flags = IEIFLAG_ASPECT | IEIFLAG_ORIGSIZE;
    hr = extract.p->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
    trace("IExtractImage::GetLocation", hr);
    if (FAILED(hr) && hr != E_PENDING) // E_PENDING: the picture may be made later, as it is now
        return fail("IExtractImage::GetLocation", hr, std::string("no picture for ") + input, kChildToldWhy);

    extractResult = extract.p->Extract(&hBitmap);
    trace("IExtractImage::Extract", extractResult);
    return kExitPicture;
}

} // namespace

int ExtractPng(const char* input, SIZE size, const ModuleChoice& choice, bool writeIcon, bool verbose, int fd,
               const std::vector<PngText>& texts) {
    const std::wstring path = ShellPath(input);
    std::string error;
    ThumbnailHandler handler;
    if (choice.module.empty()) {
        if (!FindThumbnailHandler(path, handler, error)) {
            std::fprintf(stderr, "tarnel: %s\n", error.c_str());
            return kChildSetUpFault;
        }
    } else {
        // A module named on the command line is the caller's own choice: a relative name is taken from here.
        handler.module =
            choice.module[0] == '/' ? choice.module : std::filesystem::absolute(choice.module).string();
        handler.clsid = choice.clsid;
    }
    // Only a module that nobody but root and this user can change is loaded, named by an absolute path.
    if (std::string why; !IsTrustworthy(handler.module, why)) {
        std::fprintf(stderr, "tarnel: the module %s is not loaded: %s\n", handler.module.c_str(),
                     why.c_str());
        return kChildSetUpFault;
    }
    if (verbose)
        std::fprintf(stderr, "tarnel: handler %s in %s\n", GuidText(handler.clsid).c_str(),
                     handler.module.c_str());

    CModuleLoader loader;
    if (!loader.Load(handler.module, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kChildSetUpFault;
    }
    HBITMAP hBitmap = nullptr;
    HRESULT hr = E_FAIL;
    int status = ExtractWith(loader, handler, input, path, size, verbose, hBitmap, hr);
    // The shell lets a module go once it says it may; a module that still holds objects stays loaded.
    const bool unloaded = loader.Unload();
    if (verbose)
        std::fprintf(stderr, "tarnel: DllCanUnloadNow -> %s\n",
                     unloaded ? "S_OK, module unloaded" : "S_FALSE, kept");
    if (status != kExitPicture)
        return status;

    const bool iconOnly = hBitmap != nullptr && hr != S_OK;
    // A mesh that tarnel's own module renders (another product's handler answers for its own pictures).
    const bool mesh = IsMeshPath(input) && InlineIsEqualGUID(handler.clsid, CLSID_TarnelThumbnailer);
    if (hBitmap == nullptr || iconOnly) {
        // The module ran out of memory; or a mesh that our module could not render: whether this machine can
        // render at all.
        std::string problem;
        if (hr == E_OUTOFMEMORY) {
            rlimit limit{};
            const bool bounded = ::getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
            problem = bounded ? MemoryBoundReason((long long)(limit.rlim_cur >> 20)) : "out of memory";
        } else if (mesh) {
            problem = MeshRenderingProblem(handler.module);
        }
        if (!problem.empty()) {
            std::fprintf(stderr, "tarnel: no picture for %s: %s\n", input, problem.c_str());
            ::DeleteObject(hBitmap);
            return hr == E_OUTOFMEMORY ? kChildToldWhy : kChildSetUpFault;
        }
    }
    if (hBitmap == nullptr) {
        if (verbose)
            std::fprintf(stderr, "tarnel: IExtractImage::Extract gave no bitmap\n");
        return kChildNoPicture;
    }
    if (iconOnly && !writeIcon) {
        ::DeleteObject(hBitmap);
        if (verbose)
            std::fprintf(stderr, "tarnel: only the icon fallback gave a picture (use --icon to write it)\n");
        return kChildNoPicture;
    }
    // A mesh preview holding only its background drew nothing (an empty, unreadable or malformed mesh): to
    // the desktop that is no picture, and the file manager shows the file's icon instead of an empty square.
    // The pixels tell it without reading the file again: the preview frames what it draws, so any triangle
    // with an area shows.
    if (mesh && !iconOnly && IsUniformBitmap(hBitmap)) {
        ::DeleteObject(hBitmap);
        return kChildNothingDrawn;
    }
    bool written = WriteBitmapPng(hBitmap, fd, texts, error);
    ::DeleteObject(hBitmap);
    if (!written) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kChildToldWhy;
    }
    return iconOnly ? kExitIconOnly : kExitPicture;
}
