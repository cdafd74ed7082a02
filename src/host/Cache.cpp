// `tarnel cache`: fills the desktop's shared thumbnail cache, from outside the sandbox that GNOME runs
// thumbnailers in (a project's studies are invisible there). Each file is made in a child process of its own
// with a bounded run time, so a file that crashes or hangs costs only itself.
#include "host/Host.h"
#include "host/Isolated.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"

#include "extractor/ProjectFile.h"
#include "platform/afxfile.h"
#include "platform/filename.h"
#include "platform/widestr.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: tarnel cache [--size normal|large|x-large|xx-large] [--jobs N] [--timeout SECONDS]\n"
    "                    [--module PATH [--clsid {...}]] [--list FILE] PATH...\n"
    "\n"
    "Puts the thumbnails of the files named, and of the suite's files in the folders named, into the\n"
    "thumbnail cache that file managers share ($XDG_CACHE_HOME/thumbnails, default ~/.cache/thumbnails).\n"
    "Entries that are up to date are kept; a project's entry is made again when one of its studies changed.\n"
    "A file that gives no picture is recorded as failed, as GNOME records it.\n"
    "\n"
    "  --size NAME        normal (128), large (256, the default), x-large (512), xx-large (1024)\n"
    "  --jobs N           files made at once (default: the number of processors)\n"
    "  --timeout SECONDS  give up on a file that takes longer (default 10, 0: no limit)\n"
    "  --module PATH      ask this in-process server instead of the registry's handlers\n"
    "  --clsid {...}      the class --module serves (default tarnel's own)\n"
    "  --list FILE        also the paths in FILE, one a line ('#' starts a comment; a missing FILE is\n"
    "                     an empty list)\n"
    "\n"
    "Exit status: 0 every file has a thumbnail, 1 some gave none, 2 bad usage.\n";

const char kSoftware[] = "tarnel";
// GNOME reads failures of its own factory from here; a record there keeps it from trying the file again.
const char kFailFolder[] = "fail/gnome-thumbnail-factory";
const char* const kExtensions[] = {".qzt", ".kpv", ".kpz", ".stl", ".tvx", ".ybr", ".jxe", ".lwq", ".gnw"};

struct SizeName {
    const char* name;
    int pixels;
};
const SizeName kSizes[] = {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}};

struct Job {
    std::string path; // absolute
    std::string uri;
    std::string md5;
    struct stat st {};
    OutputFile out;
};

int Usage(const char* problem) {
    std::fprintf(stderr, "tarnel cache: %s\n%s", problem, kUsage);
    return kExitUsage;
}

bool IsSuiteFile(const fs::path& p) {
    std::string name = p.filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const char* ext : kExtensions)
        if (name.size() > std::strlen(ext) && name.ends_with(ext))
            return true;
    return false;
}

// The file URI as GIO spells it; its MD5 in hexadecimal names the cache entry.
bool UriOf(const std::string& path, std::string& uri, std::string& md5) {
    gchar* u = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (u == nullptr)
        return false;
    uri = u;
    g_free(u);
    gchar* sum = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri.c_str(), -1);
    md5 = sum;
    g_free(sum);
    return true;
}

std::string TextOf(const std::vector<PngText>& texts, const char* key) {
    for (const PngText& t : texts)
        if (t.key == key)
            return t.value;
    return {};
}

// Modification times to the nanosecond: a study saved in the same second as the entry was made still counts.
using Stamp = std::pair<time_t, long>;

// The newest modification time among a project's studies ({0, 0} for another file or one that names none).
Stamp NewestStudy(const std::string& path) {
    CString bound(WidenFileName(path));
    bound.MakeLower(); // as the extractor binds it
    if (!IsProjectFile(bound))
        return {0, 0};
    Stamp newest = {0, 0};
    try {
        CStringArray studies;
        GetProjectStudies(bound, studies);
        for (INT i = 0; i < studies.GetSize(); ++i) {
            std::string native;
            struct stat st {};
            if (ResolveFileName(studies[i], native) && ::stat(native.c_str(), &st) == 0)
                newest = std::max(newest, Stamp(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
        }
    } catch (CFileException* e) {
        e->Delete();
    }
    return newest;
}

// Whether the entry at png describes this very version of the file: same URI and modification time, and
// written after the newest of a project's studies. With software set, only records that it wrote count.
bool IsCurrent(const std::string& png, const Job& job, Stamp studies, const char* software) {
    std::vector<PngText> texts;
    struct stat st {};
    if (::stat(png.c_str(), &st) != 0 || !ReadPngTexts(png, texts))
        return false;
    if (TextOf(texts, "Thumb::URI") != job.uri ||
        TextOf(texts, "Thumb::MTime") != std::to_string(job.st.st_mtime))
        return false;
    if (software != nullptr && TextOf(texts, "Software") != software)
        return false;
    return Stamp(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) > studies;
}

void Collect(const std::string& arg, std::vector<std::string>& files, int& problems) {
    std::error_code ec;
    const fs::path path = fs::absolute(arg, ec).lexically_normal();
    if (fs::is_directory(path, ec)) {
        const size_t first = files.size();
        fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && IsSuiteFile(it->path()))
                files.push_back(it->path().string());
        std::sort(files.begin() + long(first), files.end());
    } else if (fs::is_regular_file(path, ec)) {
        files.push_back(path.string());
    } else {
        std::fprintf(stderr, "tarnel cache: %s: %s\n", arg.c_str(),
                     fs::exists(path, ec) ? "not a regular file or folder" : "not found");
        ++problems;
    }
}

class Progress {
public:
    explicit Progress(size_t total) : m_total(total), m_terminal(::isatty(STDOUT_FILENO) != 0) {}
    ~Progress() {
        if (m_terminal && m_shown)
            std::printf("\n");
    }
    // One line per file; on a terminal the line is overwritten.
    void Report(const char* what, const std::string& path) {
        ++m_done;
        if (m_terminal) {
            std::printf("\r\033[K[%zu/%zu] %s %s", m_done, m_total, what, path.c_str());
            m_shown = true;
        } else {
            std::printf("%s %s\n", what, path.c_str());
        }
        std::fflush(stdout);
    }
    // A message that must stay on screen.
    void Note(const std::string& text) {
        if (m_terminal && m_shown)
            std::printf("\r\033[K");
        std::fprintf(stderr, "%s\n", text.c_str());
    }

private:
    size_t m_total, m_done = 0;
    bool m_terminal, m_shown = false;
};

// The paths of a list file: one a line, blank lines and '#' comments left out, '~/' read as the home
// folder (a systemd unit names its folders this way). A missing file is an empty list.
bool ReadList(const char* file, std::vector<std::string>& paths) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(file, "r"), std::fclose);
    if (!f)
        return errno == ENOENT;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t n;
    while ((n = ::getline(&line, &capacity, f.get())) >= 0) {
        std::string path(line, size_t(n));
        while (!path.empty() &&
               (path.back() == '\n' || path.back() == '\r' || path.back() == ' ' || path.back() == '\t'))
            path.pop_back();
        const size_t start = path.find_first_not_of(" \t");
        if (start == std::string::npos || path[start] == '#')
            continue;
        path.erase(0, start);
        const char* home = std::getenv("HOME");
        if (path.compare(0, 2, "~/") == 0 && home != nullptr)
            path = std::string(home) + path.substr(1);
        paths.push_back(path);
    }
    std::free(line);
    return !std::ferror(f.get());
}

} // namespace

int RunCache(int argc, char** argv) {
    int pixels = 256;
    std::string sizeName = "large";
    long jobs = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    double timeout = kDefaultTimeout;
    std::vector<std::string> args;
    ModuleChoice choice;
    bool listed = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::string problem;
        if (int taken = ParseModuleOption(argc, argv, i, choice, problem); taken != 0) {
            if (taken < 0)
                return Usage(problem.c_str());
        } else if (std::strcmp(a, "--list") == 0) {
            if (++i >= argc)
                return Usage("--list needs a file");
            if (!ReadList(argv[i], args))
                return Usage((std::string("cannot read the list ") + argv[i]).c_str());
            listed = true;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "--size") == 0 || std::strcmp(a, "-s") == 0) {
            const SizeName* found = nullptr;
            if (++i < argc)
                for (const SizeName& s : kSizes)
                    if (std::strcmp(argv[i], s.name) == 0)
                        found = &s;
            if (found == nullptr)
                return Usage("the size is one of normal, large, x-large and xx-large");
            pixels = found->pixels;
            sizeName = found->name;
        } else if (std::strcmp(a, "--jobs") == 0 || std::strcmp(a, "-j") == 0) {
            char* end = nullptr;
            jobs = ++i < argc ? std::strtol(argv[i], &end, 10) : 0;
            if (end == nullptr || *end != '\0' || jobs < 1 || jobs > 256)
                return Usage("--jobs takes a whole number from 1 to 256");
        } else if (std::strcmp(a, "--timeout") == 0) {
            if (++i >= argc || !ParseSeconds(argv[i], timeout))
                return Usage("the timeout must be a number of seconds, 0 for none");
        } else if (a[0] == '-' && a[1] != '\0') {
            return Usage((std::string("unknown option ") + a).c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.empty() && !listed)
        return Usage("PATH is needed");

    fs::path cache;
    if (const char* c = std::getenv("XDG_CACHE_HOME"); c != nullptr && c[0] == '/')
        cache = c;
    else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        cache = fs::path(home) / ".cache";
    else
        return Usage("neither XDG_CACHE_HOME nor HOME names a folder");
    const fs::path folder = cache / "thumbnails" / sizeName;
    const fs::path failFolder = cache / "thumbnails" / kFailFolder;
    std::error_code ec;
    for (const fs::path& f : {folder, failFolder}) {
        fs::create_directories(f, ec);
        // The cache is private: thumbnails show what the files contain.
        ::chmod((cache / "thumbnails").c_str(), 0700);
        if (!fs::is_directory(f)) {
            std::fprintf(stderr, "tarnel cache: cannot make %s\n", f.c_str());
            return 1;
        }
    }

    int problems = 0;
    std::vector<std::string> files;
    for (const std::string& a : args)
        Collect(a, files, problems);

    // A file named twice (or inside a folder named too) is made once.
    std::vector<std::string> unique;
    for (const std::string& f : files)
        if (std::find(unique.begin(), unique.end(), f) == unique.end())
            unique.push_back(f);
    files.swap(unique);

    RemoveOutputFilesOnSignals();
    Progress progress(files.size());
    ChildPool pool(timeout);
    std::map<long, std::unique_ptr<Job>> running;
    const SIZE size = {LONG(pixels), LONG(pixels)};

    // Takes the outcome of one child: the picture put in place, or a failure recorded.
    auto finish = [&](const ChildOutcome& outcome) {
        auto it = running.find(outcome.id);
        if (it == running.end())
            return;
        Job& job = *it->second;
        std::string error;
        const std::string failPath = (failFolder / (job.md5 + ".png")).string();
        if (outcome.kind == ChildOutcome::Exited && outcome.code == kExitPicture && job.out.Commit(error)) {
            ::unlink(failPath.c_str()); // a picture now: whoever failed on it may show it
            progress.Report("cached", job.path);
        } else {
            job.out.Discard();
            ++problems;
            const char* why = outcome.kind == ChildOutcome::TimedOut  ? "no picture (timed out)"
                              : outcome.kind == ChildOutcome::Crashed ? "no picture (the extractor crashed)"
                              : !error.empty()                        ? "no picture (cannot write the cache)"
                                                                      : "no picture";
            OutputFile record;
            const std::vector<PngText> texts = {{"Thumb::URI", job.uri},
                                                {"Thumb::MTime", std::to_string(job.st.st_mtime)},
                                                {"Software", kSoftware}};
            if (record.Open(failPath, 0600, error) && WriteMarkerPng(record.fd(), texts, error))
                record.Commit(error);
            progress.Report(why, job.path);
        }
        running.erase(it);
    };

    long next = 0;
    for (const std::string& path : files) {
        auto job = std::make_unique<Job>();
        job->path = path;
        if (::stat(path.c_str(), &job->st) != 0 || !S_ISREG(job->st.st_mode) ||
            !UriOf(path, job->uri, job->md5)) {
            progress.Report("skipped (unreadable)", path);
            ++problems;
            continue;
        }
        const Stamp studies = NewestStudy(path);
        const std::string target = (folder / (job->md5 + ".png")).string();
        if (IsCurrent(target, *job, studies, nullptr)) {
            progress.Report("up to date", path);
            continue;
        }
        if (IsCurrent((failFolder / (job->md5 + ".png")).string(), *job, studies, kSoftware)) {
            progress.Report("no picture (recorded earlier)", path);
            ++problems;
            continue;
        }
        while (pool.Running() >= size_t(jobs))
            finish(pool.WaitOne());
        std::string error;
        if (!job->out.Open(target, 0600, error)) {
            progress.Note("tarnel cache: " + error);
            return 1;
        }
        const std::vector<PngText> texts = {{"Thumb::URI", job->uri},
                                            {"Thumb::MTime", std::to_string(job->st.st_mtime)},
                                            {"Thumb::Size", std::to_string(job->st.st_size)},
                                            {"Software", kSoftware}};
        const int fd = job->out.fd();
        const long id = next++;
        running.emplace(id, std::move(job));
        auto work = [&] {
            // The extractor's own messages would break the progress line; the outcome says enough.
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0)
                ::dup2(null, STDERR_FILENO);
            return ExtractPng(path.c_str(), size, choice, false, false, fd, texts);
        };
        if (!pool.Start(id, work))
            finish({ChildOutcome::Crashed, -1, id});
    }
    while (pool.Running() > 0)
        finish(pool.WaitOne());
    return problems == 0 ? 0 : 1;
}
