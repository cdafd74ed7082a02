// `tarnel thumbnail`: does what the shell does for one file, then writes the picture as PNG.
#include "host/Host.h"
#include "host/Isolated.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"

#include "host/ModuleLoader.h"

#include "platform/gdi.h"
#include "platform/shobjidl.h"
#include "platform/vtkMemoryRenderWindow.h"
#include "sources/SourceChain.h"

#include <vtkNew.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] = "usage: tarnel thumbnail [-s N | --size WxH] [--timeout SECONDS] [--icon] [-v]\n"
                      "                        [--module PATH [--clsid {...}]] INPUT OUTPUT.png\n"
                      "\n"
                      "Writes the thumbnail of INPUT as an 8-bit RGB PNG no larger than the size asked for.\n"
                      "The handler registered for INPUT's extension makes it, as the shell would ask it.\n"
                      "\n"
                      "  -s N, --size N     a square of N x N pixels (default 256)\n"
                      "  --size WxH         W pixels wide, H high\n"
                      "  --timeout SECONDS  give up on a file that takes longer (default 10, 0: no limit)\n"
                      "  --icon             also write the icon fallback's picture (exit status 3)\n"
                      "  --module PATH      ask this in-process server instead of the registry's\n"
                      "  --clsid {...}      the class --module serves (default tarnel's own)\n"
                      "  -v, --verbose      print each call and its result on stderr\n"
                      "\n"
                      "Exit status: 0 a picture was written, 1 no picture, 2 bad usage, 3 only the icon.\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "tarnel thumbnail: %s\n%s", problem, kUsage);
    return kExitUsage;
}

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
    std::string problem;
    if (!ParseThumbnailArguments(argc, argv, request, problem))
        return Usage(problem.c_str());
    if (request.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const char* input = request.input;
    const char* output = request.output;
    const double timeout = request.timeout;

    // The picture is made in a child process, so that a file that hangs or crashes the extractor costs a
    // bounded time and never leaves half a PNG at OUTPUT.
    RemoveOutputFilesOnSignals();
    OutputFile out;
    std::string error;
    if (!out.Open(output, -1, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
    }
    const ChildOutcome outcome = RunIsolated(timeout, [&] {
        return ExtractPng(input, request.size, request.choice, request.writeIcon, request.verbose, out.fd(),
                          {});
    });
    switch (outcome.kind) {
    case ChildOutcome::Exited:
        if (outcome.code == kExitPicture || outcome.code == kExitIconOnly) {
            if (!out.Commit(error)) {
                std::fprintf(stderr, "tarnel: %s\n", error.c_str());
                return kExitNoPicture;
            }
            return outcome.code;
        }
        return kExitNoPicture;
    case ChildOutcome::TimedOut:
        std::fprintf(stderr, "tarnel: no picture for %s: gave up after %g seconds (--timeout)\n", input,
                     timeout);
        return kExitNoPicture;
    case ChildOutcome::Crashed:
        std::fprintf(stderr, "tarnel: no picture for %s: the extractor was ended by signal %d\n", input,
                     outcome.code);
        return kExitNoPicture;
    case ChildOutcome::NotStarted:
        break;
    }
    std::fprintf(stderr, "tarnel: no picture for %s: cannot start a process for it\n", input);
    return kExitNoPicture;
}

namespace {

// Why a mesh could not be rendered, when the reason is that this machine cannot render off-screen; empty
// otherwise. The module keeps its own reason, so the host asks for itself.
std::string OffscreenUnavailableReason() {
    vtkNew<vtkMemoryRenderWindow> window;
    if (window->SetupMemoryRendering(1, 1, nullptr))
        window->ResumeScreenRendering();
    return vtkMemoryRenderWindow::GetUnavailableReason();
}

// The shell's calls on the extractor, from the class object to the bitmap. The interfaces are all released
// when it returns, so that the module may be unloaded.
int ExtractWith(CModuleLoader& loader, const ThumbnailHandler& handler, const char* input,
                const std::wstring& path, SIZE size, bool verbose, HBITMAP& hBitmap, HRESULT& extractResult) {
    auto trace = [&](const char* call, HRESULT hr) {
        if (verbose)
            std::fprintf(stderr, "tarnel: %s -> %s\n", call, DescribeHResult(hr).c_str());
    };
    auto fail = [&](const char* call, HRESULT hr, const std::string& what) {
        std::fprintf(stderr, "tarnel: %s: %s answered %s\n", what.c_str(), call, DescribeHResult(hr).c_str());
        return kExitNoPicture;
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
        return fail("IPersistFile::Load", hr, std::string("no picture for ") + input);
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
        return fail("IExtractImage::GetLocation", hr, std::string("no picture for ") + input);

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
            return kExitNoPicture;
        }
    } else {
        handler.module = choice.module;
        handler.clsid = choice.clsid;
    }
    if (verbose)
        std::fprintf(stderr, "tarnel: handler %s in %s\n", GuidText(handler.clsid).c_str(),
                     handler.module.c_str());

    CModuleLoader loader;
    if (!loader.Load(handler.module, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
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

    if (hBitmap == nullptr) {
        std::string reason;
        if (IsMeshFile(path.c_str()))
            reason = OffscreenUnavailableReason();
        if (!reason.empty())
            std::fprintf(stderr, "tarnel: no picture for %s: meshes need off-screen OpenGL, and %s\n", input,
                         reason.c_str());
        else
            std::fprintf(stderr, "tarnel: no picture for %s: IExtractImage::Extract answered %s\n", input,
                         DescribeHResult(hr).c_str());
        return kExitNoPicture;
    }
    const bool iconOnly = hr != S_OK;
    if (iconOnly && !writeIcon) {
        ::DeleteObject(hBitmap);
        if (verbose)
            std::fprintf(stderr, "tarnel: only the icon fallback gave a picture (use --icon to write it)\n");
        return kExitNoPicture;
    }
    bool written = WriteBitmapPng(hBitmap, fd, texts, error);
    ::DeleteObject(hBitmap);
    if (!written) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
    }
    return iconOnly ? kExitIconOnly : kExitPicture;
}
