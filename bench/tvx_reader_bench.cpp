// vtkTVXReader against VTK's own vtkSTLReader on the same files, in the same run: read and merge of a
// binary file just under the 2 MiB size limit (41,600 triangles), an ASCII file of 8,000 triangles, and a
// binary file of 4,160,000 triangles. The files are tori written by VTK's STL writer into a temporary folder
// and deleted at the end. Each case also runs once more in a fresh process of this program, for its peak
// memory. The summary gives medians, the ratio of the two readers, and time per triangle.
#include "vtkTVXReader.h"

#include "vtkCellArray.h"
#include "vtkPoints.h"
#include "vtkPolyData.h"
#include "vtkSTLReader.h"
#include "vtkSTLWriter.h"
#include "vtkSmartPointer.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Case {
    std::string name;
    int u, v; // torus grid: 2 u v triangles
    bool binary;
    std::string path;
    long long triangles() const { return 2ll * u * v; }
};

void WriteTorus(const Case& c) {
    auto points = vtkSmartPointer<vtkPoints>::New();
    points->Allocate(vtkIdType(c.u) * c.v);
    for (int i = 0; i < c.u; ++i)
        for (int j = 0; j < c.v; ++j) {
            double a = 2 * M_PI * i / c.u, b = 2 * M_PI * j / c.v;
            points->InsertNextPoint((3 + std::cos(b)) * std::cos(a), (3 + std::cos(b)) * std::sin(a),
                                    std::sin(b));
        }
    auto polys = vtkSmartPointer<vtkCellArray>::New();
    polys->AllocateExact(c.triangles(), 3 * c.triangles());
    for (vtkIdType i = 0; i < c.u; ++i)
        for (vtkIdType j = 0; j < c.v; ++j) {
            vtkIdType a = i * c.v + j, b = ((i + 1) % c.u) * c.v + j, d = i * c.v + (j + 1) % c.v,
                      e = ((i + 1) % c.u) * c.v + (j + 1) % c.v;
            const vtkIdType t1[3] = {a, b, e}, t2[3] = {a, e, d};
            polys->InsertNextCell(3, t1);
            polys->InsertNextCell(3, t2);
        }
    auto mesh = vtkSmartPointer<vtkPolyData>::New();
    mesh->SetPoints(points);
    mesh->SetPolys(polys);
    auto writer = vtkSmartPointer<vtkSTLWriter>::New();
    writer->SetInputData(mesh);
    writer->SetFileName(c.path.c_str());
    if (c.binary)
        writer->SetFileTypeToBinary();
    else
        writer->SetFileTypeToASCII();
    writer->Write();
}

// One read; the output's point and triangle counts.
std::pair<vtkIdType, vtkIdType> ReadOnce(bool ours, const std::string& path, bool merging) {
    vtkPolyData* output;
    vtkSmartPointer<vtkAlgorithm> keep;
    if (ours) {
        auto reader = vtkSmartPointer<vtkTVXReader>::New();
        reader->SetFileName(path.c_str());
        reader->SetMerging(merging);
        reader->Update();
        output = reader->GetOutput();
        keep = reader;
    } else {
        auto reader = vtkSmartPointer<vtkSTLReader>::New();
        reader->SetFileName(path.c_str());
        reader->SetMerging(merging);
        reader->Update();
        output = reader->GetOutput();
        keep = reader;
    }
    return {output->GetNumberOfPoints(), output->GetNumberOfPolys()};
}

long long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atoll(line.c_str() + std::strlen(field));
    return -1;
}

// The peak memory of one read, in a fresh process of this program: the process's peak resident size, and
// how far it rose above the size before the read.
std::pair<double, double> PeakMemoryMiB(bool ours, const std::string& path, bool merging) {
    static std::map<std::string, std::pair<double, double>> known;
    std::string key = std::to_string(ours) + path + std::to_string(merging);
    if (auto it = known.find(key); it != known.end())
        return it->second;
    int out[2];
    if (::pipe(out) != 0)
        return {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string reader = ours ? "tvx" : "stl", merge = merging ? "1" : "0";
    char* argv[] = {self.data(),   const_cast<char*>("--peak-memory"),
                    reader.data(), const_cast<char*>(path.c_str()),
                    merge.data(),  nullptr};
    pid_t pid;
    int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    ::close(out[0]);
    if (spawned != 0)
        return {-1, -1};
    int status;
    ::waitpid(pid, &status, 0);
    long long before = -1, peak = -1;
    std::sscanf(text.c_str(), "%lld %lld", &before, &peak);
    return known[key] = {peak / 1024.0, (peak - before) / 1024.0};
}

void Read(benchmark::State& state, bool ours, const Case* c, bool merging) {
    vtkIdType triangles = 0;
    for (auto _ : state)
        triangles = ReadOnce(ours, c->path, merging).second;
    state.counters["triangles"] = double(triangles);
    auto [peak, added] = PeakMemoryMiB(ours, c->path, merging);
    state.counters["peak_MiB"] = peak;
    state.counters["added_MiB"] = added;
}

// Keeps the median of every case and prints the comparison at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                Medians[run.run_name.function_name] = {
                    run.GetAdjustedRealTime(), run.counters.at("triangles"), run.counters.at("peak_MiB"),
                    run.counters.at("added_MiB")};
        ConsoleReporter::ReportRuns(runs);
    }
    struct Median {
        double ms, triangles, peak, added;
    };
    std::map<std::string, Median> Medians;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--peak-memory") == 0) {
        long long before = StatusKiB("VmRSS:");
        ReadOnce(std::strcmp(argv[2], "tvx") == 0, argv[3], std::atoi(argv[4]) != 0);
        std::printf("%lld %lld\n", before, StatusKiB("VmHWM:"));
        return 0;
    }
    benchmark::Initialize(&argc, argv);

    char folder[] = "/tmp/tvx-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return 1;
    std::vector<Case> cases = {{"binary-41k", 208, 100, true, ""},
                               {"ascii-8k", 80, 50, false, ""},
                               {"binary-4M", 2080, 1000, true, ""}};
    for (Case& c : cases) {
        c.path = std::string(folder) + "/" + c.name + ".stl";
        WriteTorus(c);
    }
    for (const Case& c : cases) {
        for (bool merging : {true, false}) {
            for (bool ours : {true, false}) {
                std::string name =
                    std::string(ours ? "tvx/" : "stl/") + c.name + (merging ? "/merge" : "/read");
                auto* b = benchmark::RegisterBenchmark(name.c_str(), Read, ours, &c, merging);
                b->Unit(benchmark::kMillisecond)->UseRealTime();
                if (c.triangles() > 1000000)
                    b->Iterations(1);
            }
        }
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::filesystem::remove_all(folder);

    std::printf(
        "\nmedians (ms), peak memory of one read in a fresh process (MiB, and the rise during the read)\n");
    std::printf("%-22s %10s %10s %7s %16s %16s %10s\n", "case", "tvx", "stl", "ratio", "tvx peak/rise",
                "stl peak/rise", "tvx ns/tri");
    std::map<std::string, double> perTriangle;
    for (const Case& c : cases)
        for (const char* mode : {"/merge", "/read"}) {
            auto ours = reporter.Medians.find("tvx/" + c.name + mode);
            auto peer = reporter.Medians.find("stl/" + c.name + mode);
            if (ours == reporter.Medians.end() || peer == reporter.Medians.end())
                continue;
            const auto& o = ours->second;
            const auto& p = peer->second;
            double ns = o.ms * 1e6 / o.triangles;
            perTriangle[c.name + mode] = ns;
            std::printf("%-22s %10.2f %10.2f %7.2f %8.1f/%-7.1f %8.1f/%-7.1f %10.1f\n",
                        (c.name + mode).c_str(), o.ms, p.ms, o.ms / p.ms, o.peak, o.added, p.peak, p.added,
                        ns);
        }
    if (perTriangle.count("binary-4M/merge") && perTriangle.count("binary-41k/merge"))
        std::printf("time per triangle, 4M / 41k (read and merge): %.2f\n",
                    perTriangle["binary-4M/merge"] / perTriangle["binary-41k/merge"]);
    return 0;
}
