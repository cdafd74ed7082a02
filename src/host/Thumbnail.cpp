// `tarnel thumbnail`: does what the shell does for one file, then writes the picture as PNG. The parent finds
// and checks the handler and reads nothing of the file; a confined child loads the module, extracts, writes
// the PNG and answers with a record (ChildAnswer.h) from which the parent words what the user reads.
#include "host/ChildAnswer.h"
#include "host/Escape.h"
#include "host/FileChecks.h"
#include "host/Formats.h"
#include "host/Handlers.h"
#include "host/HeapPolicy.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/Isolated.h"
#include "host/ModuleLoader.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"
#include "host/Settings.h"

#include "mesh/MeshLibrary.h"
#include "shobjidl.h"
#include "wingdi.h"

#include <sys/resource.h>
#include <unistd.h>

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

CheckedHandler::CheckedHandler(CheckedHandler&& other) noexcept
    : clsid(other.clsid), module(std::move(other.module)), fd(other.fd) {
    other.fd = -1;
}

CheckedHandler& CheckedHandler::operator=(CheckedHandler&& other) noexcept {
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        clsid = other.clsid;
        module = std::move(other.module);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

CheckedHandler::~CheckedHandler() {
    if (fd >= 0)
        ::close(fd);
}

bool CheckHandler(const char* input, const ModuleChoice& choice, CheckedHandler& checked,
                  std::string& error) {
    ThumbnailHandler handler;
    if (choice.module.empty()) {
        if (!FindThumbnailHandler(ShellPath(input), handler, error))
            return false;
    } else {
        // A module named on the command line is the caller's own choice: a relative name is taken from here.
        handler.module =
            choice.module[0] == '/' ? choice.module : std::filesystem::absolute(choice.module).string();
        handler.clsid = choice.clsid;
    }
    // Only a module that nobody but root and this user can change is loaded, named by an absolute path, and
    // the child loads the very file that was judged.
    std::string why;
    CheckedHandler result;
    result.clsid = handler.clsid;
    result.fd = OpenTrustedModule(handler.module, result.module, why);
    if (result.fd < 0) {
        error = why.rfind("cannot load ", 0) == 0
                    ? Printable(why)
                    : "the module " + Printable(handler.module) + " is not loaded: " + Printable(why);
        return false;
    }
    checked = std::move(result);
    return true;
}

int RunThumbnail(int argc, char** argv) {
    ThumbnailRequest request;
    if (const int status = ReadArguments(ParseThumbnailArguments, argc, argv, request); status >= 0)
        return status;
    const char* input = request.input;
    const char* output = request.output;
    if (IsMeshPath(input))
        RunWithHugePageHeap(); // for the child that reads and draws it

    // The picture is made in a child process, so that a file that hangs or crashes the extractor costs a
    // bounded time and memory, and never leaves half a PNG at OUTPUT.
    RemoveOutputFilesOnSignals();
    OutputFile out;
    std::string error;
    if (!out.Open(output, -1, error)) {
        // An OUTPUT that cannot be written, whatever the reason (refused, a folder that is missing or
        // closed), is the caller's to put right: bad usage, not a file without a picture.
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitUsage;
    }
    CheckedHandler handler;
    if (!CheckHandler(input, request.choice, handler, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
    }
    if (request.verbose)
        std::fprintf(stderr, "tarnel: handler %s in %s\n", GuidText(handler.clsid).c_str(),
                     Printable(handler.module).c_str());
    if (request.verbose)
        std::fprintf(stderr, "tarnel: memory: %s\n",
                     AllocatorAsksForHugePages() ? "in huge pages where the system gives them"
                                                 : "in pages as the system gives them");
    ChildLimits limits;
    limits.seconds = request.timeout;
    limits.memoryMiB = request.memoryMiB;
    limits.verbose = request.verbose;
    const ChildOutcome outcome = RunIsolated(
        limits,
        [&] {
            return ExtractPng(input, request.size, handler, request.writeIcon, request.verbose, out.fd(), {});
        },
        {out.fd(), handler.fd});
    if (request.verbose)
        RelayChildText(outcome);
    const bool made = outcome.kind == ChildOutcome::Exited && outcome.answered &&
                      (outcome.answer.kind == AnswerKind::Picture ||
                       (outcome.answer.kind == AnswerKind::IconOnly && request.writeIcon));
    if (made && !out.HoldsPicture(request.size, error)) {
        std::fprintf(stderr, "tarnel: no picture for %s: %s\n", Printable(input).c_str(), error.c_str());
        return kExitNoPicture;
    }
    if (made) {
        if (!out.Commit(error)) {
            std::fprintf(stderr, "tarnel: %s\n", error.c_str());
            return kExitNoPicture;
        }
        return outcome.answer.kind == AnswerKind::Picture ? kExitPicture : kExitIconOnly;
    }
    const std::string why = NoPictureReason(handler, outcome, request.timeout, request.memoryMiB);
    std::fprintf(stderr, "tarnel: no picture for %s: %s\n", Printable(input).c_str(), why.c_str());
    return kExitNoPicture;
}

namespace {

// The words for an answer without a picture. Every number in it was checked to be a number; every name in
// it is the parent's own.
std::string AnswerText(const ChildAnswer& a, const CheckedHandler& handler) {
    const std::string module = Printable(handler.module), cls = GuidText(handler.clsid);
    const std::string result = DescribeHResult(a.result);
    if (const char* unreadable = UnreadableText(a.why))
        return unreadable;
    if (const char* mesh = MeshProblemText(a.why))
        return mesh;
    switch (a.why) {
    case AnswerWhy::OverSizeLimit:
        return "over the size limit of " + std::to_string(a.numbers[0]) + " bytes (" +
               (tarnel::settings::SizeLimitOrigin().empty()
                    ? std::string("TARNEL_SIZE_LIMIT, or TARNEL_IGNORE_SIZE=1")
                    : "SizeLimit in " + tarnel::settings::SizeLimitOrigin()) +
               ")";
    case AnswerWhy::NoStoredPicture:
        return "no picture stored in the file";
    case AnswerWhy::PictureUnreadable:
        return "the picture stored in the file cannot be read";
    case AnswerWhy::PictureUnscalable:
        return "the picture stored in the file (" + std::to_string(a.numbers[0]) + " x " +
               std::to_string(a.numbers[1]) + " pixels) is too thin to scale to the asked size";
    case AnswerWhy::ProjectUnreadable:
        return "the project file cannot be read";
    case AnswerWhy::ProjectNamesNoStudy:
        return "the project names no study, and stores no picture of its own";
    case AnswerWhy::StudyGivesNoPicture:
        return "its study gives no picture";
    case AnswerWhy::StudiesGiveNoPicture:
        return "none of its studies gives a picture";
    case AnswerWhy::MeshNotDrawn:
        return "the mesh could not be drawn";
    case AnswerWhy::OutOfMemory:
        return a.numbers[0] > 0 ? MemoryBoundReason(a.numbers[0]) : "out of memory";
    case AnswerWhy::MeshLibraryMissing:
        return "mesh previews need " +
               Printable((std::filesystem::path(handler.module).parent_path() / kMeshLibraryName).string()) +
               ", which is missing or cannot be loaded";
    case AnswerWhy::NoOffscreenRendering:
        return "meshes need off-screen OpenGL, and this machine gives none (tarnel thumbnail -v tells why)";
    case AnswerWhy::ModuleNotLoaded:
        return "cannot load " + module + " (tarnel thumbnail -v tells why)";
    case AnswerWhy::NoServer:
        return module + " is no in-process server: DllGetClassObject or DllCanUnloadNow is missing";
    case AnswerWhy::ClassNotServed:
        return module + " does not serve the class " + cls + ": DllGetClassObject answered " + result;
    case AnswerWhy::CannotCreate:
        return "cannot create the thumbnail handler " + cls + ": IClassFactory::CreateInstance answered " +
               result;
    case AnswerWhy::NoExtractor:
        return "the class " + cls + " is no thumbnail extractor: QueryInterface(IExtractImage) answered " +
               result;
    case AnswerWhy::PngNotWritten:
        return "the picture could not be written";
    default:
        break;
    }
    return "no picture";
}

} // namespace

std::string NoPictureReason(const CheckedHandler& handler, const ChildOutcome& outcome, double timeout,
                            long memoryMiB, bool* setUp) {
    if (setUp != nullptr)
        *setUp = false;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", timeout);
    const bool nearBound = NearMemoryBound(outcome, memoryMiB);
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
    if (!outcome.answered)
        return nearBound ? memory
                         : "the extractor gave no answer (exit status " + std::to_string(outcome.code) + ")";
    const ChildAnswer& a = outcome.answer;
    if (a.kind == AnswerKind::Refused)
        return std::string(a.call == AnswerCall::Load ? "IPersistFile::Load" : "IExtractImage::GetLocation") +
               " answered " + DescribeHResult(a.result);
    if (a.kind == AnswerKind::SetUp && setUp != nullptr)
        *setUp = true;
    // A module that cannot be mapped within the bound: the bound is too small for the handler itself, which
    // is the set-up's fault, not the file's.
    if (a.kind == AnswerKind::SetUp && a.why == AnswerWhy::ModuleNotLoaded && nearBound)
        return "the memory bound of " + std::to_string(memoryMiB) +
               " MiB is too small to load the thumbnail handler (--memory, TARNEL_MEMORY_LIMIT)";
    if (nearBound && a.why != AnswerWhy::OverSizeLimit && a.why != AnswerWhy::NotFound)
        return memory;
    return AnswerText(a, handler);
}

void RelayChildText(const ChildOutcome& outcome) {
    size_t start = 0;
    while (start < outcome.said.size()) {
        size_t end = outcome.said.find('\n', start);
        if (end == std::string::npos)
            end = outcome.said.size();
        std::fprintf(stderr, "tarnel: extractor: %s\n",
                     Printable(std::string_view(outcome.said).substr(start, end - start), 400).c_str());
        start = end + 1;
    }
    if (outcome.said.size() >= kChildSaidBytes)
        std::fprintf(stderr, "tarnel: extractor: (more was written, and dropped)\n");
}

namespace {

ChildAnswer Answer(AnswerKind kind, AnswerWhy why = AnswerWhy::None, HRESULT hr = S_OK) {
    ChildAnswer a;
    a.kind = kind;
    a.why = why;
    a.result = int32_t(hr);
    return a;
}

// Whether this machine can render meshes off-screen, from the mesh library beside the module: the answer's
// reason when it cannot (the details on standard error, for -v), None when it can (then the mesh itself
// was at fault).
AnswerWhy MeshRenderingProblem(const std::string& module) {
    std::string error;
    void* library = OpenMeshLibrary(std::filesystem::path(module).parent_path().string(), error);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return AnswerWhy::MeshLibraryMissing;
    }
    auto problem = reinterpret_cast<TarnelOffscreenProblemFn>(::dlsym(library, "TarnelOffscreenProblem"));
    if (problem == nullptr)
        return AnswerWhy::MeshLibraryMissing;
    const std::string text = problem();
    if (text.empty())
        return AnswerWhy::None;
    std::fprintf(stderr, "off-screen OpenGL: %s\n", text.c_str());
    return AnswerWhy::NoOffscreenRendering;
}

// The shell's calls on the extractor, from the class object to the bitmap. The interfaces are all released
// when it returns, so that the module may be unloaded. Answers with the call that failed, if one did.
bool ExtractWith(CModuleLoader& loader, const CheckedHandler& handler, const std::wstring& path, SIZE size,
                 bool verbose, HBITMAP& hBitmap, HRESULT& extractResult, ChildAnswer& failed) {
    auto trace = [&](const char* call, HRESULT hr) {
        if (verbose)
            std::fprintf(stderr, "%s -> %s\n", call, DescribeHResult(hr).c_str());
    };
    Ref<IClassFactory> factory;
    HRESULT hr =
        loader.DllGetClassObject(handler.clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory.p));
    trace("DllGetClassObject", hr);
    if (FAILED(hr) || factory.p == nullptr)
        return failed = Answer(AnswerKind::SetUp, AnswerWhy::ClassNotServed, hr), false;
    Ref<IPersistFile> persist;
    hr = factory.p->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&persist.p));
    trace("IClassFactory::CreateInstance", hr);
    if (FAILED(hr) || persist.p == nullptr)
        return failed = Answer(AnswerKind::SetUp, AnswerWhy::CannotCreate, hr), false;

    hr = persist.p->Load(path.c_str(), STGM_READ);
    trace("IPersistFile::Load", hr);
    if (FAILED(hr)) {
        failed = Answer(AnswerKind::Refused, AnswerWhy::None, hr);
        failed.call = AnswerCall::Load;
        return false;
    }
    Ref<IExtractImage> extract;
    hr = persist.p->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract.p));
    trace("QueryInterface(IExtractImage)", hr);
    if (FAILED(hr) || extract.p == nullptr)
        return failed = Answer(AnswerKind::SetUp, AnswerWhy::NoExtractor, hr), false;

    WCHAR location[MAX_PATH] = {};
    DWORD priority = IEIT_PRIORITY_NORMAL;
    DWORD flags = IEIFLAG_ASPECT | IEIFLAG_ORIGSIZE;
    hr = extract.p->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
    trace("IExtractImage::GetLocation", hr);
    if (FAILED(hr) && hr != E_PENDING) { // E_PENDING: the picture may be made later, as it is now
        failed = Answer(AnswerKind::Refused, AnswerWhy::None, hr);
        failed.call = AnswerCall::GetLocation;
        return false;
    }
    extractResult = extract.p->Extract(&hBitmap);
    trace("IExtractImage::Extract", extractResult);
    return true;
}

// Why the file gave no picture, from the info library, which looks at it as the extractor does.
ChildAnswer Explained(const char* input, bool meshDrewNothing) {
    ChildAnswer a = Answer(AnswerKind::NoPicture, AnswerWhy::Unknown);
    const InfoLibrary& info = GetInfoLibrary();
    if (info.explainNoPicture == nullptr) {
        a.why = meshDrewNothing ? AnswerWhy::MeshHoldsNoTriangles : AnswerWhy::Unknown;
        return a;
    }
    uint16_t why = uint16_t(AnswerWhy::Unknown);
    info.explainNoPicture(input, meshDrewNothing, &why, a.numbers);
    a.why = why <= uint16_t(AnswerWhy::Unknown) ? AnswerWhy(why) : AnswerWhy::Unknown;
    return a;
}

int Answered(const ChildAnswer& a) {
    SendAnswer(a);
    return 0;
}

} // namespace

int ExtractPng(const char* input, SIZE size, const CheckedHandler& handler, bool writeIcon, bool verbose,
               int fd, const std::vector<PngText>& texts) {
    const std::wstring path = ShellPath(input);
    std::string error;
    CModuleLoader loader;
    if (!loader.Load(handler.fd, handler.module, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        const bool noServer = error.find("is no in-process server") != std::string::npos;
        return Answered(
            Answer(AnswerKind::SetUp, noServer ? AnswerWhy::NoServer : AnswerWhy::ModuleNotLoaded));
    }
    HBITMAP hBitmap = nullptr;
    HRESULT hr = E_FAIL;
    ChildAnswer failed;
    const bool extracted = ExtractWith(loader, handler, path, size, verbose, hBitmap, hr, failed);
    // The shell lets a module go once it says it may; a module that still holds objects stays loaded.
    const bool unloaded = loader.Unload();
    if (verbose)
        std::fprintf(stderr, "DllCanUnloadNow -> %s\n", unloaded ? "S_OK, module unloaded" : "S_FALSE, kept");
    if (!extracted)
        return Answered(failed);

    bool iconOnly = hBitmap != nullptr && hr != S_OK;
    // A mesh that tarnel's own module renders (another product's handler answers for its own pictures).
    const bool mesh = IsMeshPath(input) && InlineIsEqualGUID(handler.clsid, CLSID_TarnelThumbnailer);
    if (hBitmap == nullptr || iconOnly) {
        // The module ran out of memory; or a mesh that our module could not render: whether this machine can
        // render at all.
        if (hr == E_OUTOFMEMORY) {
            rlimit limit{};
            const bool bounded = ::getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
            ChildAnswer a = Answer(AnswerKind::NoPicture, AnswerWhy::OutOfMemory);
            a.numbers[0] = bounded ? int64_t(limit.rlim_cur >> 20) : 0;
            ::DeleteObject(hBitmap);
            return Answered(a);
        }
        if (mesh) {
            if (const AnswerWhy problem = MeshRenderingProblem(handler.module); problem != AnswerWhy::None) {
                ::DeleteObject(hBitmap);
                return Answered(Answer(AnswerKind::SetUp, problem));
            }
        }
    }
    if (hBitmap == nullptr) {
        if (verbose)
            std::fprintf(stderr, "IExtractImage::Extract gave no bitmap\n");
        return Answered(Explained(input, false));
    }
    if (iconOnly && !writeIcon) {
        ::DeleteObject(hBitmap);
        if (verbose)
            std::fprintf(stderr, "only the icon fallback gave a picture (use --icon to write it)\n");
        return Answered(Explained(input, false));
    }
    // A mesh preview holding only its background drew nothing (an empty, unreadable or malformed mesh): to
    // the desktop that is no picture, and the file manager shows the file's icon instead of an empty square.
    // The pixels tell it without reading the file again: the preview frames what it draws, so any triangle
    // with an area shows.
    if (mesh && !iconOnly && IsUniformBitmap(hBitmap)) {
        ::DeleteObject(hBitmap);
        // --icon asks for the fallback where there is no picture: the extractor's own, as it gives it for a
        // file that no source can draw.
        const InfoLibrary& info = GetInfoLibrary();
        HBITMAP icon = writeIcon && info.iconPicture != nullptr
                           ? static_cast<HBITMAP>(info.iconPicture(input, size.cx, size.cy))
                           : nullptr;
        if (icon == nullptr)
            return Answered(Explained(input, true));
        hBitmap = icon;
        iconOnly = true;
    }
    // On a transparent background when the settings ask for it: the render keeps what it covered.
    const bool transparent = mesh && !iconOnly && tarnel::settings::TransparentMeshes();
    const bool written = WriteBitmapPng(hBitmap, fd, texts, error, transparent);
    ::DeleteObject(hBitmap);
    if (!written) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return Answered(Answer(AnswerKind::NoPicture, AnswerWhy::PngNotWritten));
    }
    return Answered(Answer(iconOnly ? AnswerKind::IconOnly : AnswerKind::Picture));
}
