// Embedded study pictures: the whole in-process Extract against its floor (reading the last mebibyte and
// decoding that BMP with the same decoder), a four-study montage, and the whole `tarnel thumbnail` process.
#include "support/BmpWriter.h"

#include "extractor/TarnelEx.h"
#include "platform/tarnel/widestr.h"
#include "wingdi.h"

#include <benchmark/benchmark.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

using tarnel::plat::WidenFileName;

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
        std::ofstream(p / "big.bmp", std::ios::binary)
            << picture; // the same picture, for GNOME's thumbnailer
        // Temporary pictures go where a desktop session keeps them: XDG_RUNTIME_DIR, a tmpfs folder of the
        // user's (/run/user/UID). Without a session here, a private folder in /dev/shm stands in for it.
        if (std::getenv("XDG_RUNTIME_DIR") == nullptr && std::filesystem::is_directory("/dev/shm")) {
            const auto runtime =
                std::filesystem::path("/dev/shm") / ("tarnel-bench-" + std::to_string(::getpid()));
            std::filesystem::create_directories(runtime);
            std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        }
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
        if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            runtime != nullptr && std::string(runtime).find("/dev/shm/tarnel-bench-") == 0)
            std::filesystem::remove_all(runtime, ec);
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

// A whole process, as a file manager runs it, with the exit status it must give; the peak resident memory of
// its runs (the process or a child it waited for) is reported as peak_MiB. The small launcher starts it, so
// that the benchmark's own size does not count into that peak.
void RunProgram(benchmark::State& state, std::vector<std::string> args, int expected,
                std::vector<std::string> extraEnv = {}) {
    const std::string report = (Folder() / "peak.txt").string();
    args.insert(args.begin(), {PEAK_LAUNCHER, report});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (std::string& e : extraEnv)
        env.push_back(e.data());
    for (char** e = environ; *e != nullptr; ++e)
        env.push_back(*e);
    env.push_back(nullptr);
    long peakKiB = 0;
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), env.data()) != 0) {
            state.SkipWithError("cannot start the program");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != expected)
            state.SkipWithError("unexpected exit status");
        long runKiB = 0;
        std::ifstream(report) >> runKiB;
        peakKiB = std::max(peakKiB, runKiB);
    }
    state.counters["peak_MiB"] = double(peakKiB) / 1024.0;
}

std::string Out() {
    return (Folder() / "out.png").string();
}

void BM_StudyThumbnailProcess(benchmark::State& state) {
    RunProgram(state, {TARNEL_BINARY, "thumbnail", "-s", "256", (Folder() / "big.qzt").string(), Out()}, 0);
}
BENCHMARK(BM_StudyThumbnailProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same without confining the child: what confinement costs a thumbnail.
void BM_StudyThumbnailProcessUnconfined(benchmark::State& state) {
    RunProgram(state, {TARNEL_BINARY, "thumbnail", "-s", "256", (Folder() / "big.qzt").string(), Out()}, 0,
               {"TARNEL_UNCONFINED=1"});
}
BENCHMARK(BM_StudyThumbnailProcessUnconfined)->Unit(benchmark::kMillisecond)->UseRealTime();

// A study without a picture: the icon fallback, written because --icon asks for it.
void BM_IconThumbnailProcess(benchmark::State& state) {
    RunProgram(state,
               {TARNEL_BINARY, "thumbnail", "-s", "256", "--icon", (Folder() / "plain.qzt").string(), Out()},
               3);
}
BENCHMARK(BM_IconThumbnailProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// The peer: GNOME's own image thumbnailer on the very BMP that the study holds.
void BM_PixbufThumbnailerProcess(benchmark::State& state) {
    if (::access("/usr/bin/gdk-pixbuf-thumbnailer", X_OK) != 0) {
        state.SkipWithError("gdk-pixbuf-thumbnailer is not installed");
        return;
    }
    RunProgram(state,
               {"/usr/bin/gdk-pixbuf-thumbnailer", "-s", "256", (Folder() / "big.bmp").string(), Out()}, 0);
}
BENCHMARK(BM_PixbufThumbnailerProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor of a study's process: gdk-pixbuf linked and the same BMP decoded, nothing else.
void BM_PixbufDecodeFloorProcess(benchmark::State& state) {
    RunProgram(state, {PIXBUF_DECODE_FLOOR, (Folder() / "big.bmp").string()}, 0);
}
BENCHMARK(BM_PixbufDecodeFloorProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floors under any process: one that only starts, and one that also reads the study whole.
void BM_StartFloorProcess(benchmark::State& state) {
    RunProgram(state, {START_FLOOR}, 0);
}
BENCHMARK(BM_StartFloorProcess)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_ReadFloorProcess(benchmark::State& state) {
    RunProgram(state, {START_FLOOR, (Folder() / "big.qzt").string()}, 0);
}
BENCHMARK(BM_ReadFloorProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
