// `tarnel thumbnail`: does what the shell does for one file, then writes the picture as PNG.
#include "host/Host.h"
#include "host/Isolated.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"

#include "extractor/TarnelEx.h"
#include "platform/gdi.h"
#include "platform/vtkMemoryRenderWindow.h"
#include "sources/SourceChain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] = "usage: tarnel thumbnail [-s N | --size WxH] [--timeout SECONDS] [--icon] [-v] INPUT "
                      "OUTPUT.png\n"
                      "\n"
                      "Writes the thumbnail of INPUT as an 8-bit RGB PNG no larger than the size asked for.\n"
                      "\n"
                      "  -s N, --size N     a square of N x N pixels (default 256)\n"
                      "  --size WxH         W pixels wide, H high\n"
                      "  --timeout SECONDS  give up on a file that takes longer (default 10, 0: no limit)\n"
                      "  --icon             also write the icon fallback's picture (exit status 3)\n"
                      "  -v, --verbose      print each call and its result on stderr\n"
                      "\n"
                      "Exit status: 0 a picture was written, 1 no picture, 2 bad usage, 3 only the icon.\n";

// Parses "N" or "WxH" into positive dimensions.
bool ParseSize(const char* text, SIZE& size) {
    char* end = nullptr;
    long w = std::strtol(text, &end, 10);
    long h = w;
    if (end == text)
        return false;
    if (*end == 'x' || *end == 'X') {
        const char* rest = end + 1;
        h = std::strtol(rest, &end, 10);
        if (end == rest)
            return false;
    }
    if (*end != '\0' || w <= 0 || h <= 0 || w > 100000 || h > 100000)
        return false;
    size = {LONG(w), LONG(h)};
    return true;
}

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
    SIZE size = {256, 256};
    double timeout = kDefaultTimeout;
    bool verbose = false, writeIcon = false;
    const char* positional[2] = {nullptr, nullptr};
    int nPositional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "-s") == 0 || std::strcmp(a, "--size") == 0) {
            if (++i >= argc || !ParseSize(argv[i], size))
                return Usage("the size must be N or WxH, with positive whole numbers up to 100000");
        } else if (std::strncmp(a, "--size=", 7) == 0) {
            if (!ParseSize(a + 7, size))
                return Usage("the size must be N or WxH, with positive whole numbers up to 100000");
        } else if (std::strcmp(a, "--timeout") == 0) {
            if (++i >= argc || !ParseSeconds(argv[i], timeout))
                return Usage("the timeout must be a number of seconds, 0 for none");
        } else if (std::strncmp(a, "--timeout=", 10) == 0) {
            if (!ParseSeconds(a + 10, timeout))
                return Usage("the timeout must be a number of seconds, 0 for none");
        } else if (std::strcmp(a, "-v") == 0 || std::strcmp(a, "--verbose") == 0) {
            verbose = true;
        } else if (std::strcmp(a, "--icon") == 0) {
            writeIcon = true;
        } else if (std::strcmp(a, "--") == 0) {
            for (++i; i < argc; ++i) {
                if (nPositional == 2)
                    return Usage("too many arguments");
                positional[nPositional++] = argv[i];
            }
        } else if (a[0] == '-' && a[1] != '\0') {
            return Usage((std::string("unknown option ") + a).c_str());
        } else {
            if (nPositional == 2)
                return Usage("too many arguments");
            positional[nPositional++] = a;
        }
    }
    if (nPositional != 2)
        return Usage("INPUT and OUTPUT are both needed");
    const char* input = positional[0];
    const char* output = positional[1];

    // The picture is made in a child process, so that a file that hangs or crashes the extractor costs a
    // bounded time and never leaves half a PNG at OUTPUT.
    RemoveOutputFilesOnSignals();
    OutputFile out;
    std::string error;
    if (!out.Open(output, -1, error)) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
    }
    const ChildOutcome outcome =
        RunIsolated(timeout, [&] { return ExtractPng(input, size, writeIcon, verbose, out.fd(), {}); });
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

int ExtractPng(const char* input, SIZE size, bool writeIcon, bool verbose, int fd,
               const std::vector<PngText>& texts) {
    auto trace = [&](const char* call, HRESULT hr) {
        if (verbose)
            std::fprintf(stderr, "tarnel: %s -> %s\n", call, DescribeHResult(hr).c_str());
    };

    CComObject<CTarnelEx>* pObject = nullptr;
    HRESULT hr = CComObject<CTarnelEx>::CreateInstance(&pObject);
    trace("CreateInstance", hr);
    if (FAILED(hr)) {
        std::fprintf(stderr, "tarnel: cannot create the extractor: %s\n", DescribeHResult(hr).c_str());
        return kExitNoPicture;
    }
    Ref<IPersistFile> persist;
    Ref<IExtractImage> extract;
    pObject->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist.p));
    hr = pObject->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract.p));
    trace("QueryInterface(IExtractImage)", hr);
    if (persist.p == nullptr || extract.p == nullptr)
        return kExitNoPicture;

    std::wstring path = ShellPath(input);
    trace("IPersistFile::Load", persist.p->Load(path.c_str(), STGM_READ));
    WCHAR location[MAX_PATH] = {};
    DWORD priority = IEIT_PRIORITY_NORMAL;
    DWORD flags = IEIFLAG_ASPECT | IEIFLAG_ORIGSIZE;
    hr = extract.p->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
    trace("IExtractImage::GetLocation", hr);

    HBITMAP hBitmap = nullptr;
    hr = extract.p->Extract(&hBitmap);
    trace("IExtractImage::Extract", hr);
    if (hBitmap == nullptr) {
        const std::string reason = vtkMemoryRenderWindow::GetUnavailableReason();
        if (IsMeshFile(path.c_str()) && !reason.empty())
            std::fprintf(stderr, "tarnel: no picture for %s: meshes need off-screen OpenGL, and %s\n", input,
                         reason.c_str());
        else
            std::fprintf(stderr, "tarnel: no picture for %s\n", input);
        return kExitNoPicture;
    }
    const bool iconOnly = hr != S_OK;
    if (iconOnly && !writeIcon) {
        ::DeleteObject(hBitmap);
        if (verbose)
            std::fprintf(stderr, "tarnel: only the icon fallback gave a picture (use --icon to write it)\n");
        return kExitNoPicture;
    }
    std::string error;
    bool written = WriteBitmapPng(hBitmap, fd, texts, error);
    ::DeleteObject(hBitmap);
    if (!written) {
        std::fprintf(stderr, "tarnel: %s\n", error.c_str());
        return kExitNoPicture;
    }
    return iconOnly ? kExitIconOnly : kExitPicture;
}
