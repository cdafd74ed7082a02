// `tarnel cache`: fills the desktop's shared thumbnail cache, from outside the sandbox that GNOME runs
// thumbnailers in (a project's studies are invisible there). Each file is made in a child process of its own
// with a bounded run time, so a file that crashes or hangs costs only itself.
#include "host/Formats.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/Isolated.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"

#include "platform/tarnel/widestr.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using tarnel::plat::WidenFileName;

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: tarnel cache [--size normal|large|x-large|xx-large] [--jobs N] [--timeout SECONDS]\n"
    "                    [--memory MIB] [--retry-failed] [--module PATH [--clsid {...}]] [--list FILE]\n"
    "                    PATH...\n"
    "\n"
    "Puts the thumbnails of the files named, and of the suite's files in the folders named, into the\n"
    "thumbnail cache that file managers share ($XDG_CACHE_HOME/thumbnails, default ~/.cache/thumbnails).\n"
    "Entries that are up to date are kept, whoever wrote them; a project's entry is made again when one of\n"
    "its studies changed. A file that the registered handler ran on and that gave no picture is recorded as\n"
    "failed, as GNOME records it, and not tried again unless it is named itself or --retry-failed is given.\n"
    "Files that no handler is registered for are skipped. A fault of the set-up (no handler for the suite's\n"
    "files, a module that cannot be loaded, a cache that cannot be written) stops the run and changes\n"
    "nothing in the cache.\n"
    "\n"
    "  --size NAME        normal (128), large (256, the default), x-large (512), xx-large (1024)\n"
    "  --jobs N           files made at once (default: the number of processors)\n"
    "  --timeout SECONDS  give up on a file that takes longer (default 10, 0: no limit)\n"
    "  --memory MIB       give up on a file that needs more memory (default 1024, or\n"
    "                     TARNEL_MEMORY_LIMIT; 0: no limit)\n"
    "  --retry-failed     try again the files recorded as failed\n"
    "  --module PATH      ask this in-process server instead of the registry's handlers\n"
    "  --clsid {...}      the class --module serves (default tarnel's own)\n"
    "  --list FILE        also the paths in FILE, one a line ('#' starts a comment; a missing FILE is\n"
    "                     an empty list)\n"
    "\n"
    "Exit status: 0 every file has a thumbnail or was skipped, 1 some gave none or the set-up failed,\n"
    "2 bad usage.\n";

const char kSoftware[] = "tarnel";
// GNOME reads failures of its own factory from here; a record there keeps it from trying the file again.
const char kFailFolder[] = "fail/gnome-thumbnail-factory";

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
    int errors = -1; // the read end of the child's stderr
    ~Job() {
        if (errors >= 0)
            ::close(errors);
    }
};

// A file to make, and whether it was named itself (then it is tried again even when it failed before).
struct Request {
    std::string path;
    bool named;
};

int Usage(const char* problem) {
    std::fprintf(stderr, "tarnel cache: %s\n%s", problem, kUsage);
    return kExitUsage;
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

// The newest modification time among a project's studies ({0, 0} for another file or one that names none),
// as the info library finds the studies. A project file may be anything anyone made, so it is read in a child
// under the same bounds as an extraction; the info library leaves a project over the size limit unread.
Stamp NewestStudy(const std::string& path, const ChildLimits& limits) {
    const SuiteFormat* format = FindSuiteFormat(path);
    if (format == nullptr || format->kind != FileKind::Project)
        return {0, 0};
    int answer[2];
    if (::pipe2(answer, O_CLOEXEC) != 0)
        return {0, 0};
    const ChildOutcome outcome =
        RunIsolated(limits,
                    [&] {
                        const InfoLibrary& info = GetInfoLibrary();
                        if (info.newestStudy == nullptr)
                            return 1;
                        long long seconds = 0;
                        long nanoseconds = 0;
                        info.newestStudy(path.c_str(), &seconds, &nanoseconds);
                        const long long stamp[2] = {seconds, nanoseconds};
                        return ::write(answer[1], stamp, sizeof stamp) == ssize_t(sizeof stamp) ? 0 : 1;
                    },
                    {answer[1]});
    ::close(answer[1]);
    long long stamp[2] = {0, 0};
    const bool read = ::read(answer[0], stamp, sizeof stamp) == ssize_t(sizeof stamp);
    ::close(answer[0]);
    if (outcome.kind != ChildOutcome::Exited || outcome.code != 0 || !read)
        return {0, 0};
    return {time_t(stamp[0]), long(stamp[1])};
}

// Whether Thumb::MTime names the file's modification time. Writers differ in how they spell it: tumbler
// adds a fraction ("1796739023.341587"); what counts is the whole seconds.
bool SameMTime(const std::string& text, time_t mtime) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(s, &end, 10);
    if (end == s || errno != 0 || seconds != (long long)mtime)
        return false;
    if (*end == '.')
        for (++end; *end >= '0' && *end <= '9'; ++end) {
        }
    return *end == '\0';
}

// Whether the entry at png describes this very version of the file: same URI and modification time, and
// written after the newest of a project's studies. With software set, only records that it wrote count.
bool IsCurrent(const std::string& png, const Job& job, Stamp studies, const char* software) {
    std::vector<PngText> texts;
    struct stat st {};
    if (::lstat(png.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadPngTexts(png, texts))
        return false;
    if (TextOf(texts, "Thumb::URI") != job.uri || !SameMTime(TextOf(texts, "Thumb::MTime"), job.st.st_mtime))
        return false;
    if (software != nullptr && TextOf(texts, "Software") != software)
        return false;
    return Stamp(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) > studies;
}

// The files of one PATH: the file itself, or the suite's files in the folder and below it.
void Collect(const std::string& arg, bool named, std::vector<Request>& files, int& problems) {
    std::error_code ec;
    const fs::path path = fs::absolute(arg, ec).lexically_normal();
    if (fs::is_directory(path, ec)) {
        std::vector<std::string> found;
        fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && FindSuiteFormat(it->path().string()) != nullptr)
                found.push_back(it->path().string());
        std::sort(found.begin(), found.end());
        for (std::string& f : found)
            files.push_back({std::move(f), false});
    } else if (fs::is_regular_file(path, ec)) {
        files.push_back({path.string(), named});
    } else {
        std::fprintf(stderr, "tarnel cache: %s: %s\n", arg.c_str(),
                     fs::exists(path, ec) ? "not a regular file or folder" : "not found");
        ++problems;
    }
}

// What the run did, for its last line.
struct Tally {
    size_t made = 0, current = 0, noPicture = 0, skipped = 0, setUp = 0;
};

class Progress {
public:
    explicit Progress(size_t total) : m_total(total), m_terminal(::isatty(STDOUT_FILENO) != 0) {}
    ~Progress() { EndLine(); }
    // One line per file; on a terminal the line is overwritten by the next, unless it must stay (a file that
    // gave no picture).
    void Report(const char* what, const std::string& path, bool keep = false) {
        ++m_done;
        if (m_terminal) {
            std::printf("\r\033[K[%zu/%zu] %s %s", m_done, m_total, what, path.c_str());
            m_shown = !keep;
            if (keep)
                std::printf("\n");
        } else {
            std::printf("%s %s\n", what, path.c_str());
        }
        std::fflush(stdout);
    }
    // A message that must stay on screen.
    void Note(const std::string& text) {
        EndLine();
        std::fprintf(stderr, "%s\n", text.c_str());
    }

private:
    size_t m_total, m_done = 0;
    bool m_terminal, m_shown = false;

    void EndLine() {
        if (m_terminal && m_shown)
            std::printf("\r\033[K");
        std::fflush(stdout);
        m_shown = false;
    }
};

// What a child wrote on its stderr, first line only, without the command's own prefix.
std::string FirstLine(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536)
        text.append(buffer, size_t(n));
    text = text.substr(0, text.find('\n'));
    if (text.compare(0, 8, "tarnel: ") == 0)
        text.erase(0, 8);
    return text;
}

// Makes the folders below cache, one in the other, without following a link on the way: a link planted at
// "thumbnails" must not have the cache's writes, or its mode, go elsewhere. The cache is private (0700):
// thumbnails show what the files contain. False with the reason in why.
bool MakeCacheFolders(const fs::path& cache, const std::vector<std::string>& names, std::string& why) {
    int at = ::open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) {
        why = cache.string() + ": " + std::strerror(errno);
        return false;
    }
    fs::path path = cache;
    bool ok = true;
    for (const std::string& name : names) {
        path /= name;
        ::mkdirat(at, name.c_str(), 0700);
        const int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(at);
        at = next;
        struct stat st {};
        if (at < 0 || ::fstat(at, &st) != 0) {
            why = path.string() + (errno == ELOOP || errno == ENOTDIR
                                       ? ": not a folder (a link or a file stands there)"
                                       : std::string(": ") + std::strerror(errno));
            ok = false;
            break;
        }
        if (st.st_uid != ::geteuid()) {
            why = path.string() + " belongs to another user";
            ok = false;
            break;
        }
        if (name == "thumbnails")
            ::fchmod(at, 0700);
        if (::faccessat(at, ".", W_OK | X_OK, AT_EACCESS) != 0) {
            why = path.string() + ": " + std::strerror(errno);
            ok = false;
            break;
        }
    }
    if (at >= 0)
        ::close(at);
    return ok;
}

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
    long memoryMiB = DefaultMemoryMiB();
    std::vector<std::string> args, listedPaths;
    ModuleChoice choice;
    bool listed = false, retryFailed = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::string problem;
        if (int taken = ParseModuleOption(argc, argv, i, choice, problem); taken != 0) {
            if (taken < 0)
                return Usage(problem.c_str());
        } else if (std::strcmp(a, "--list") == 0) {
            if (++i >= argc)
                return Usage("--list needs a file");
            if (!ReadList(argv[i], listedPaths))
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
        } else if (std::strcmp(a, "--memory") == 0) {
            if (++i >= argc || !ParseMemory(argv[i], memoryMiB))
                return Usage(kBadMemory);
        } else if (std::strcmp(a, "--retry-failed") == 0) {
            retryFailed = true;
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
    fs::create_directories(cache, ec);
    std::string why;
    if (!MakeCacheFolders(cache, {"thumbnails", sizeName}, why) ||
        !MakeCacheFolders(cache, {"thumbnails", "fail", "gnome-thumbnail-factory"}, why)) {
        std::fprintf(stderr,
                     "tarnel cache: cannot write the thumbnail cache: %s (check that folder's owner and "
                     "permissions, or set XDG_CACHE_HOME)\n",
                     why.c_str());
        return 1;
    }

    int problems = 0;
    std::vector<Request> files;
    for (const std::string& a : args)
        Collect(a, true, files, problems);
    for (const std::string& a : listedPaths)
        Collect(a, false, files, problems);

    // A file named twice (or inside a folder named too) is made once.
    std::vector<Request> unique;
    for (Request& f : files) {
        auto same =
            std::find_if(unique.begin(), unique.end(), [&](const Request& u) { return u.path == f.path; });
        if (same == unique.end())
            unique.push_back(std::move(f));
        else
            same->named = same->named || f.named;
    }
    files.swap(unique);

    RemoveOutputFilesOnSignals();
    Progress progress(files.size());
    ChildLimits limits;
    limits.seconds = timeout;
    limits.memoryMiB = memoryMiB;
    ChildPool pool(limits);
    // Each child is bounded, and so is their sum: no more children at once than half the machine's memory
    // holds at their bound, so that a folder of hostile files cannot take the machine's memory together.
    if (memoryMiB > 0) {
        const long long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
        const long long budgetMiB = pages > 0 && pageSize > 0 ? pages * pageSize / 2 / (1 << 20) : 0;
        if (budgetMiB > 0)
            jobs = std::max(1L, std::min(jobs, long(budgetMiB / memoryMiB)));
    }
    std::map<long, std::unique_ptr<Job>> running;
    const SIZE size = {LONG(pixels), LONG(pixels)};
    Tally tally;
    std::string setUpFault; // the first fault of the set-up: the run stops there

    // Takes the outcome of one child: the picture put in place, a failure recorded, or the set-up's fault.
    auto finish = [&](const ChildOutcome& outcome) {
        auto it = running.find(outcome.id);
        if (it == running.end())
            return;
        Job& job = *it->second;
        std::string error;
        const std::string failPath = (failFolder / (job.md5 + ".png")).string();
        const bool exited = outcome.kind == ChildOutcome::Exited;
        if (exited && outcome.code == kExitPicture && job.out.Commit(error)) {
            ::unlink(failPath.c_str()); // a picture now: whoever failed on it may show it
            ++tally.made;
            progress.Report("cached", job.path);
        } else if ((exited && outcome.code == kChildSetUpFault) || outcome.kind == ChildOutcome::NotStarted) {
            // Not the file's fault: nothing is recorded, and the entries already there stay.
            job.out.Discard();
            ++tally.setUp;
            if (setUpFault.empty())
                setUpFault = exited ? FirstLine(job.errors) +
                                          " (see 'tarnel registry dump' for the handlers; 'tarnel install' "
                                          "registers tarnel's own again)"
                                    : "cannot start a process for " + job.path;
        } else if (!error.empty()) {
            job.out.Discard();
            ++tally.setUp;
            if (setUpFault.empty())
                setUpFault = error + " (check the thumbnail cache's owner and free space)";
        } else {
            job.out.Discard();
            ++problems;
            ++tally.noPicture;
            const bool told = exited && outcome.code == kChildToldWhy;
            std::string why =
                told ? FirstLine(job.errors) : NoPictureReason(job.path.c_str(), outcome, timeout, memoryMiB);
            if (const size_t colon = why.rfind(": "); told && colon != std::string::npos)
                why.erase(0, colon + 2); // "no picture for PATH: why"
            if (why.empty())
                why = "the extractor failed";
            OutputFile record;
            const std::vector<PngText> texts = {{"Thumb::URI", job.uri},
                                                {"Thumb::MTime", std::to_string(job.st.st_mtime)},
                                                {"Software", kSoftware}};
            if (record.Open(failPath, 0600, error) && WriteMarkerPng(record.fd(), texts, error))
                record.Commit(error);
            progress.Report(("no picture (" + why + ")").c_str(), job.path, true);
        }
        running.erase(it);
    };

    // The handler of each extension, looked up once: routed, not routed (skipped), or a broken registry.
    struct Route {
        bool routed;
        ModuleChoice choice;
        std::string fault;
    };
    std::map<std::wstring, Route> routes;
    auto routeOf = [&](const std::string& path) -> const Route& {
        const std::wstring extension = ExtensionOf(WidenFileName(path));
        std::wstring key = extension;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](wchar_t c) { return wchar_t(std::towlower(c)); });
        auto found = routes.find(key);
        if (found != routes.end())
            return found->second;
        Route route{false, choice, {}};
        if (!choice.module.empty()) {
            route.routed = FindSuiteFormat(path) != nullptr; // the module serves the suite's formats
        } else {
            ThumbnailHandler handler;
            std::string error;
            bool notRouted = false;
            if (FindThumbnailHandler(WidenFileName(path), handler, error, &notRouted)) {
                route.routed = true;
                route.choice.module = handler.module;
                route.choice.clsid = handler.clsid;
            } else if (!notRouted || FindSuiteFormat(path) != nullptr) {
                // The suite's own files unrouted mean that tarnel is not installed for this user.
                route.fault = error + (notRouted ? "; run 'tarnel install' first" : "");
            }
        }
        return routes.emplace(key, route).first->second;
    };

    long next = 0;
    for (const Request& request : files) {
        if (!setUpFault.empty())
            break;
        const std::string& path = request.path;
        auto job = std::make_unique<Job>();
        job->path = path;
        if (::stat(path.c_str(), &job->st) != 0 || !S_ISREG(job->st.st_mode) ||
            !UriOf(path, job->uri, job->md5)) {
            progress.Report("skipped (unreadable)", path);
            ++tally.skipped;
            ++problems;
            continue;
        }
        const Route& route = routeOf(path);
        if (!route.fault.empty()) {
            setUpFault = route.fault;
            ++tally.setUp;
            break;
        }
        if (!route.routed) {
            progress.Report("skipped (no thumbnail handler for this type)", path);
            ++tally.skipped;
            continue;
        }
        const Stamp studies = NewestStudy(path, limits);
        const std::string target = (folder / (job->md5 + ".png")).string();
        if (IsCurrent(target, *job, studies, nullptr)) {
            progress.Report("up to date", path);
            ++tally.current;
            continue;
        }
        if (!request.named && !retryFailed &&
            IsCurrent((failFolder / (job->md5 + ".png")).string(), *job, studies, kSoftware)) {
            progress.Report("no picture (recorded earlier; --retry-failed tries again)", path);
            ++tally.noPicture;
            ++problems;
            continue;
        }
        while (pool.Running() >= size_t(jobs))
            finish(pool.WaitOne());
        if (!setUpFault.empty())
            break;
        std::string error;
        if (!job->out.Open(target, 0600, error)) {
            if (job->out.refused()) { // something that is no file stands at the entry's name: this file only
                progress.Report(("skipped (" + error + ")").c_str(), path);
                ++tally.skipped;
                ++problems;
                continue;
            }
            setUpFault = error + " (check the thumbnail cache's owner and permissions)";
            ++tally.setUp;
            break;
        }
        int errors[2];
        if (::pipe2(errors, O_CLOEXEC) != 0) {
            setUpFault = std::string("cannot make a pipe: ") + std::strerror(errno);
            break;
        }
        job->errors = errors[0];
        const std::vector<PngText> texts = {{"Thumb::URI", job->uri},
                                            {"Thumb::MTime", std::to_string(job->st.st_mtime)},
                                            {"Thumb::Size", std::to_string(job->st.st_size)},
                                            {"Software", kSoftware}};
        const int fd = job->out.fd();
        const long id = next++;
        running.emplace(id, std::move(job));
        const ModuleChoice routed = route.choice;
        auto work = [&] {
            // The child's messages go to the parent, which shows the one that matters on its own line.
            ::dup2(errors[1], STDERR_FILENO);
            return ExtractPng(path.c_str(), size, routed, false, false, fd, texts);
        };
        const bool started = pool.Start(id, work, {fd, errors[1]});
        ::close(errors[1]);
        ::fcntl(errors[0], F_SETFL, O_NONBLOCK);
        if (!started)
            finish({ChildOutcome::NotStarted, -1, id});
    }
    while (pool.Running() > 0)
        finish(pool.WaitOne());
    if (!setUpFault.empty())
        progress.Note("tarnel cache: stopped: " + setUpFault);
    progress.Note("tarnel cache: " + std::to_string(tally.made) + " made, " + std::to_string(tally.current) +
                  " up to date, " + std::to_string(tally.noPicture) + " no picture, " +
                  std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.setUp) +
                  " failed set-up");
    return problems == 0 && setUpFault.empty() ? 0 : 1;
}
