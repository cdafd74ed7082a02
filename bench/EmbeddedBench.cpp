// Embedded study pictures: the whole in-process Extract against its floor (reading the last mebibyte and
// decoding that BMP with the same decoder), a four-study montage, and the whole `tarnel thumbnail` process.
#include "support/BmpWriter.h"

#include "extractor/TarnelEx.h"
#include "platform/gdi.h"
#include "platform/widestr.h"

#include <benchmark/benchmark.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

extern char** environ;

namespace {

const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        auto p = std::filesystem::temp_directory_path() / ("tarnel-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        // A 2 MiB study whose picture is a ~1 MiB 24-bit BMP (590 x 590).
        bmp::Image img = bmp::Pattern(590, 590, 0);
        for (size_t i = 0; i < img.pixels.size(); ++i)
            img.pixels[i] ^= uint32_t(i * 2654435761u) & 0x3F3F3F;
        std::string picture = bmp::Encode(img, bmp::Variant::Rgb24);
        std::string study = std::string(2 * 1024 * 1024 - picture.size() - 11, 'd') + "<THUMBNAIL>" + picture;
        std::ofstream(p / "big.qzt", std::ios::binary) << study;
        for (int k = 0; k < 4; ++k)
            std::ofstream(p / ("s" + std::to_string(k) + ".qzt"), std::ios::binary)
                << bmp::Study(bmp::Encode(bmp::Pattern(320, 240, size_t(2 + k)), bmp::Variant::Rgb24));
        std::ofstream(p / "four.kpv") << "STUDY s0.qzt s1.qzt s2.qzt s3.qzt\n";
        std::ofstream(p / "plain.qzt") << "a study without a picture\n";
        return p;
    }();
    return folder;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        std::filesystem::remove_all(Folder(), ec);
    }
} g_cleanup;

void RunExtract(benchmark::State& state, const std::string& name) {
    CComObject<CTarnelEx>* p = nullptr;
    CComObject<CTarnelEx>::CreateInstance(&p);
    IExtractImage* extract = nullptr;
    IPersistFile* persist = nullptr;
    p->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract));
    p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist));
    persist->Load(WidenFileName((Folder() / name).string()).c_str(), 0);
    SIZE size = {256, 256};
    DWORD flags = 0;
    extract->GetLocation(nullptr, 0, nullptr, &size, 32, &flags);
    for (auto _ : state) {
        HBITMAP h = nullptr;
        if (extract->Extract(&h) != S_OK)
            state.SkipWithError("no picture");
        ::DeleteObject(h);
    }
    persist->Release();
    extract->Release();
}

void BM_StudyExtract(benchmark::State& state) {
    RunExtract(state, "big.qzt");
}
BENCHMARK(BM_StudyExtract)->Unit(benchmark::kMillisecond);

// The floor: the file's last MiB read, and the picture behind the marker decoded by the same decoder.
void BM_StudyFloor(benchmark::State& state) {
    const std::string path = (Folder() / "big.qzt").string();
    std::vector<char> tail(1024 * 1024);
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY);
        ::lseek(fd, -off_t(tail.size()), SEEK_END);
        ssize_t n = ::read(fd, tail.data(), tail.size());
        ::close(fd);
        std::string_view bytes(tail.data(), size_t(n));
        size_t at = bytes.rfind("<THUMBNAIL>") + 11;
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("bmp", nullptr);
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data() + at), bytes.size() - at,
                                nullptr);
        gdk_pixbuf_loader_close(loader, nullptr);
        benchmark::DoNotOptimize(gdk_pixbuf_loader_get_pixbuf(loader));
        g_object_unref(loader);
    }
}
BENCHMARK(BM_StudyFloor)->Unit(benchmark::kMillisecond);

void BM_MontageExtract(benchmark::State& state) {
    RunExtract(state, "four.kpv");
}
BENCHMARK(BM_MontageExtract)->Unit(benchmark::kMillisecond);

// The whole process, as a file manager runs it; expected is the exit status for a written picture.
void RunProcess(benchmark::State& state, const std::string& input, int expected, const char* extra) {
    const std::string output = (Folder() / "out.png").string();
    const char* argv[] = {TARNEL_BINARY, "thumbnail",   "-s",           "256",
                          extra,         input.c_str(), output.c_str(), nullptr};
    if (*extra == '\0')
        std::copy(argv + 5, argv + 8, argv + 4);
    long peakKiB = 0; // the largest peak resident memory of a run: the process or a child it waited for
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, TARNEL_BINARY, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("cannot start tarnel");
            break;
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != expected)
            state.SkipWithError("unexpected exit status");
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
    }
    state.counters["peak_MiB"] = double(peakKiB) / 1024.0;
}

void BM_StudyThumbnailProcess(benchmark::State& state) {
    RunProcess(state, (Folder() / "big.qzt").string(), 0, "");
}
BENCHMARK(BM_StudyThumbnailProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// A study without a picture: the icon fallback, written because --icon asks for it.
void BM_IconThumbnailProcess(benchmark::State& state) {
    RunProcess(state, (Folder() / "plain.qzt").string(), 3, "--icon");
}
BENCHMARK(BM_IconThumbnailProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
