// Mesh thumbnails, whole process, in pairs from the same run: `tarnel thumbnail` against the floor program
// (EGL, VTK's own reader, the same camera, a PNG) and, where it is installed and an X server runs, f3d.
// Each run reports its child's peak memory.
#include <benchmark/benchmark.h>
#include <vtkCellArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSTLWriter.h>
#include <vtkSmartPointer.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const fs::path& Folder() {
    static const fs::path* folder = [] {
        auto* p =
            new fs::path(fs::temp_directory_path() / ("tarnel-meshbench-" + std::to_string(::getpid())));
        fs::create_directories(*p);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Folder(), ec);
        });
        return p;
    }();
    return *folder;
}

// A wavy sheet of exactly 2 x columns x rows triangles.
vtkSmartPointer<vtkPolyData> Sheet(int columns, int rows) {
    vtkNew<vtkPoints> points;
    for (int j = 0; j <= rows; ++j)
        for (int i = 0; i <= columns; ++i)
            points->InsertNextPoint(i, j, 4.0 * std::sin(i * 0.1) * std::cos(j * 0.07));
    vtkNew<vtkCellArray> cells;
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            vtkIdType a = j * (columns + 1) + i, b = a + 1, c = a + columns + 1, d = c + 1;
            const vtkIdType t1[3] = {a, b, d}, t2[3] = {a, d, c};
            cells->InsertNextCell(3, t1);
            cells->InsertNextCell(3, t2);
        }
    auto mesh = vtkSmartPointer<vtkPolyData>::New();
    mesh->SetPoints(points);
    mesh->SetPolys(cells);
    return mesh;
}

// A binary file written by VTK.
std::string Binary(int columns, int rows) {
    const fs::path path = Folder() / ("sheet-" + std::to_string(2 * columns * rows) + ".stl");
    if (!fs::exists(path)) {
        vtkNew<vtkSTLWriter> writer;
        writer->SetInputData(Sheet(columns, rows));
        writer->SetFileName(path.c_str());
        writer->SetFileTypeToBinary();
        writer->Write();
    }
    return path.string();
}

// An ASCII file with short numbers, as compact writers make them.
std::string Ascii(int columns, int rows) {
    const fs::path path = Folder() / ("sheet-" + std::to_string(2 * columns * rows) + "-ascii.stl");
    if (!fs::exists(path)) {
        vtkSmartPointer<vtkPolyData> mesh = Sheet(columns, rows);
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fprintf(f, "solid sheet\n");
        vtkIdType n;
        const vtkIdType* ids;
        vtkCellArray* cells = mesh->GetPolys();
        for (cells->InitTraversal(); cells->GetNextCell(n, ids);) {
            std::fprintf(f, "facet normal 0 0 1\nouter loop\n");
            for (int k = 0; k < 3; ++k) {
                double p[3];
                mesh->GetPoint(ids[k], p);
                std::fprintf(f, "vertex %g %g %.4g\n", p[0], p[1], p[2]);
            }
            std::fprintf(f, "endloop\nendfacet\n");
        }
        std::fprintf(f, "endsolid sheet\n");
        std::fclose(f);
    }
    return path.string();
}

// Runs argv with extra environment entries; true when it exits with status 0. Peak memory in KiB.
bool Run(const std::vector<std::string>& args, const std::vector<std::string>& env, long& peakKiB) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return false;
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    peakKiB = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Tool { Tarnel, Floor, F3d, TarnelSandboxed };

void RunTool(benchmark::State& state, Tool tool, const std::string& input, std::vector<std::string> env) {
    const std::string output = (Folder() / "out.png").string();
    std::vector<std::string> args;
    switch (tool) {
    case Tool::Tarnel:
        args = {TARNEL_BINARY, "thumbnail", "-s", "256", input, output};
        env.push_back("DISPLAY=");
        break;
    case Tool::Floor:
        args = {MESH_FLOOR_BINARY, input, output, "256"};
        env.push_back("DISPLAY=");
        break;
    case Tool::TarnelSandboxed:
        // As GNOME's thumbnail factory runs a thumbnailer: everything read-only, a fresh /tmp, no home, no
        // cache folder, no registry, nothing shared; the module named as the installed entry names it. The
        // benchmark's folder stays writable for the files.
        if (::access("/usr/bin/bwrap", X_OK) != 0) {
            state.SkipWithError("needs /usr/bin/bwrap");
            return;
        }
        args = {"/usr/bin/bwrap",
                "--ro-bind",
                "/",
                "/",
                "--tmpfs",
                "/tmp",
                "--bind",
                Folder().string(),
                Folder().string(),
                "--dev",
                "/dev",
                "--proc",
                "/proc",
                "--unshare-all",
                "--die-with-parent",
                "--setenv",
                "HOME",
                "/nonexistent/home",
                "--setenv",
                "TMPDIR",
                "/nonexistent/tmp",
                "--setenv",
                "XDG_RUNTIME_DIR",
                "/nonexistent/run",
                "--unsetenv",
                "XDG_CACHE_HOME",
                "--unsetenv",
                "DISPLAY",
                TARNEL_BINARY,
                "thumbnail",
                "--module",
                TARNEL_MODULE,
                "-s",
                "256",
                input,
                output};
        if (long ignored = 0;
            !Run(args, env, ignored)) { // untimed: fills a warm cache where the case has one
            state.SkipWithError("the sandboxed program failed");
            return;
        }
        break;
    case Tool::F3d:
        if (std::getenv("DISPLAY") == nullptr || ::access("/usr/bin/f3d", X_OK) != 0) {
            state.SkipWithError("f3d needs /usr/bin/f3d and a running X server (DISPLAY)");
            return;
        }
        args = {"/usr/bin/f3d", "--output=" + output, "--resolution=256,256", input};
        break;
    }
    long peak = 0, maxPeak = 0;
    for (auto _ : state) {
        if (!Run(args, env, peak)) {
            state.SkipWithError("the program failed");
            break;
        }
        maxPeak = std::max(maxPeak, peak);
    }
    state.counters["peak_MiB"] = double(maxPeak) / 1024.0;
}

// Mesa keeps compiled shaders on disk; a file manager's sandbox has no home, so no cache: cold.
const std::vector<std::string> kWarm = {};
const std::vector<std::string> kCold = {"MESA_SHADER_CACHE_DISABLE=true"};

#define MESH_PAIR(name, input, env)                                                                          \
    void BM_##name##_Tarnel(benchmark::State& s) {                                                           \
        RunTool(s, Tool::Tarnel, input, env);                                                                \
    }                                                                                                        \
    void BM_##name##_Floor(benchmark::State& s) {                                                            \
        RunTool(s, Tool::Floor, input, env);                                                                 \
    }                                                                                                        \
    BENCHMARK(BM_##name##_Tarnel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);              \
    BENCHMARK(BM_##name##_Floor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// 41,600 triangles: 2,080,084 bytes, just under the 2 MiB limit. 10,000 ASCII triangles: about 1.5 MB.
MESH_PAIR(Binary41k, Binary(160, 130), kWarm)
MESH_PAIR(Binary41kColdShaders, Binary(160, 130), kCold)
MESH_PAIR(Ascii10k, Ascii(100, 50), kWarm)

// What the child's confinement costs a mesh: the same file with every rule but the memory bound off.
void BM_Binary41k_TarnelUnconfined(benchmark::State& s) {
    RunTool(s, Tool::Tarnel, Binary(160, 130), {"TARNEL_UNCONFINED=1"});
}
BENCHMARK(BM_Binary41k_TarnelUnconfined)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The same in GNOME's sandbox: shaders compiled cold (Mesa can keep no cache there), and read from the
// shaders prepared at installation (`tarnel shader-cache --prepare`). A child keeps nothing it compiles: no
// cache is warm between runs.
void BM_Binary41kSandbox_Cold(benchmark::State& s) {
    RunTool(s, Tool::TarnelSandboxed, Binary(160, 130), {"MESA_SHADER_CACHE_DIR=/nonexistent/mesa"});
}
void BM_Binary41kSandbox_Prepared(benchmark::State& s) {
    RunTool(s, Tool::TarnelSandboxed, Binary(160, 130), {});
}
BENCHMARK(BM_Binary41kSandbox_Cold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Binary41kSandbox_Prepared)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_Binary41k_F3d(benchmark::State& s) {
    RunTool(s, Tool::F3d, Binary(160, 130), kWarm);
}
BENCHMARK(BM_Binary41k_F3d)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

const std::vector<std::string> kIgnoreSize = {"TARNEL_IGNORE_SIZE=1"};
void BM_Binary4M_Tarnel(benchmark::State& s) {
    RunTool(s, Tool::Tarnel, Binary(2000, 1000), kIgnoreSize);
}
void BM_Binary4M_Floor(benchmark::State& s) {
    RunTool(s, Tool::Floor, Binary(2000, 1000), kIgnoreSize);
}
BENCHMARK(BM_Binary4M_Tarnel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Binary4M_Floor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// At the packaged settings' size limit (100 MiB): 2,088,000 triangles, 104,400,084 bytes, with the packaged
// settings (transparent background), against the same file through the floor. What the limit was chosen by:
// its time and peak must stay well inside the bounds of every file (10 s, 1024 MiB).
std::vector<std::string> PackagedSettings() {
    char* real = ::realpath("data/tarnel.conf", nullptr);
    const std::string path = real != nullptr ? real : "data/tarnel.conf";
    std::free(real);
    return {"TARNEL_SETTINGS=" + path};
}
void BM_Binary2MPackaged_Tarnel(benchmark::State& s) {
    RunTool(s, Tool::Tarnel, Binary(1450, 720), PackagedSettings());
}
void BM_Binary2MPackaged_Floor(benchmark::State& s) {
    RunTool(s, Tool::Floor, Binary(1450, 720), kIgnoreSize);
}
BENCHMARK(BM_Binary2MPackaged_Tarnel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Binary2MPackaged_Floor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
