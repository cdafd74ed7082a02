// `tarnel cache`: fills the desktop's shared thumbnail cache, from outside the sandbox that GNOME runs
// thumbnailers in (a project's studies are invisible there). Each file is made in a child process of its own
// with a bounded run time, so a file that crashes or hangs costs only itself.
#include "host/CacheRecords.h"
#include "host/ChildAnswer.h"
#include "host/Escape.h"
#include "host/Formats.h"
#include "host/HeapPolicy.h"
#include "host/Host.h"
#include "host/InfoLibrary.h"
#include "host/Isolated.h"
#include "host/OutputFile.h"
#include "host/PngWriter.h"
#include "host/Settings.h"
#include "host/WarmChildren.h"

#include "platform/tarnel/desktop.h"
#include "platform/tarnel/widestr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

const char kSoftware[] = "tarnel";
// GNOME reads failures of its own factory from here; a record there keeps it from trying the file again.
const char kFailFolder[] = "fail/gnome-thumbnail-factory";

struct Job {
    std::string path; // absolute
    std::string uri;
    std::string md5;
    struct stat st {};
    OutputFile out;
    const CheckedHandler* handler = nullptr; // its route's
};

// A file to make, and whether it was named itself (then it is tried again even when it failed before).
struct Request {
    std::string path;
    bool named;
};

// Modification times to the nanosecond: a study saved in the same second as the entry was made still counts.
using Stamp = std::pair<time_t, long>;

// The newest modification time among a project's studies ({0, 0} for another file or one that names none),
// as the info library finds the studies. A project file may be anything anyone made, so it is read in a child
// under the same bounds as an extraction; the info library leaves a project over the size limit unread.
Stamp NewestStudy(const std::string& path, const ChildLimits& limits) {
    const SuiteFormat* format = FindSuiteFormat(path);
    if (format == nullptr || format->kind != FileKind::Project)
        return {0, 0};
    const ChildOutcome outcome = RunIsolated(limits, [&] {
        const InfoLibrary& info = GetInfoLibrary();
        if (info.newestStudy == nullptr)
            return 1;
        long long seconds = 0;
        long nanoseconds = 0;
        info.newestStudy(path.c_str(), &seconds, &nanoseconds);
        ChildAnswer answer;
        answer.kind = AnswerKind::Facts;
        answer.numbers[0] = seconds;
        answer.numbers[1] = nanoseconds;
        return SendAnswer(answer) ? 0 : 1;
    });
    // A stamp is all it may say: seconds and nanoseconds in their ranges, or nothing is taken.
    const ChildAnswer& a = outcome.answer;
    if (outcome.kind != ChildOutcome::Exited || !outcome.answered || a.kind != AnswerKind::Facts ||
        a.numbers[0] < 0 || a.numbers[1] < 0 || a.numbers[1] >= 1000000000)
        return {0, 0};
    return {time_t(a.numbers[0]), long(a.numbers[1])};
}

// Whether the entry at png describes this very version of the file. With software set, only records that it
// wrote count.
bool IsCurrent(const std::string& png, const Job& job, Stamp studies, const char* software) {
    const CacheRecordFacts facts = ReadCacheRecord(png, job.uri, job.st.st_mtime, studies);
    return facts.current && (software == nullptr || facts.software == software);
}

// The suite's files in the folder and below it, in order.
std::vector<std::string> SuiteFilesIn(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && FindSuiteFormat(it->path().string()) != nullptr)
            found.push_back(it->path().string());
    std::sort(found.begin(), found.end());
    return found;
}

// The files of one PATH: the file itself, or the suite's files in the folder and below it.
void Collect(const std::string& arg, bool named, std::vector<Request>& files, int& problems) {
    std::error_code ec;
    const fs::path path = fs::absolute(arg, ec).lexically_normal();
    if (fs::is_directory(path, ec)) {
        for (std::string& f : SuiteFilesIn(path))
            files.push_back({std::move(f), false});
    } else if (fs::is_regular_file(path, ec)) {
        files.push_back({path.string(), named});
    } else {
        std::fprintf(stderr, "tarnel cache: %s: %s\n", Printable(arg).c_str(),
                     fs::exists(path, ec) ? "not a regular file or folder" : "not found");
        ++problems;
    }
}

// What the run did, for its last line.
// Counts that a stop signal's handler reads too (lock-free atomics, as a handler may read them).
struct Tally {
    std::atomic<size_t> made = 0, current = 0, noPicture = 0, skipped = 0, setUp = 0;
};
static_assert(std::atomic<size_t>::is_always_lock_free);

// The summary line, made with system calls alone: a stop signal's handler writes it.
const Tally* volatile g_tally = nullptr;

void PutNumber(char*& at, size_t n) {
    char digits[24];
    int k = 0;
    do
        digits[k++] = char('0' + n % 10);
    while ((n /= 10) != 0);
    while (k > 0)
        *at++ = digits[--k];
}

void PutText(char*& at, const char* text) {
    while (*text != 0)
        *at++ = *text++;
}

void WriteInterruptedSummary() {
    const Tally* t = g_tally;
    if (t == nullptr)
        return;
    char line[256];
    char* at = line;
    PutText(at, "\ntarnel cache: stopped by a signal: ");
    PutNumber(at, t->made.load());
    PutText(at, " made, ");
    PutNumber(at, t->current.load());
    PutText(at, " up to date, ");
    PutNumber(at, t->noPicture.load());
    PutText(at, " no picture, ");
    PutNumber(at, t->skipped.load());
    PutText(at, " skipped, ");
    PutNumber(at, t->setUp.load());
    PutText(at, " failed set-up; the rest not looked at\n");
    ssize_t ignored = ::write(STDERR_FILENO, line, size_t(at - line));
    (void)ignored;
}

// What a file's line tells: something made or removed, a file left as it was, or one that went wrong.
enum class Line { Changed, Unchanged, Problem };

class Progress {
public:
    Progress(size_t total, int verbosity)
        : m_total(total), m_verbosity(verbosity), m_terminal(::isatty(STDOUT_FILENO) != 0) {}
    ~Progress() { EndLine(); }
    // One line per file. On a terminal the line is overwritten by the next, unless it went wrong. Elsewhere
    // (a timer's journal, a log) only what changed or went wrong is written. --quiet keeps only what went
    // wrong; --verbose writes every file's line, each on its own. The path is shown escaped: a file's name
    // may be anything.
    void Report(const char* what, const std::string& path, Line line) {
        ++m_done;
        if ((m_verbosity < 0 && line != Line::Problem) ||
            (m_verbosity == 0 && !m_terminal && line == Line::Unchanged))
            return;
        const std::string shown = Printable(path);
        if (m_terminal && m_verbosity == 0) {
            std::printf("\r\033[K[%zu/%zu] %s %s", m_done, m_total, what, shown.c_str());
            m_shown = line != Line::Problem;
            if (line == Line::Problem)
                std::printf("\n");
        } else {
            EndLine();
            std::printf("%s %s\n", what, shown.c_str());
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
    int m_verbosity;
    bool m_terminal, m_shown = false;

    void EndLine() {
        if (m_terminal && m_shown)
            std::printf("\r\033[K");
        std::fflush(stdout);
        m_shown = false;
    }
};

// Makes the folders below cache, one in the other, without following a link on the way: a link planted at
// "thumbnails" must not have the cache's writes, or its mode, go elsewhere. The cache is private (0700):
// thumbnails show what the files contain. False with the reason in why.
bool MakeCacheFolders(const fs::path& cache, const std::vector<std::string>& names, std::string& why) {
    int at = ::open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) {
        why = Printable(cache.string()) + ": " + std::strerror(errno);
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
            why = Printable(path.string()) + (errno == ELOOP || errno == ENOTDIR
                                                  ? ": not a folder (a link or a file stands there)"
                                                  : std::string(": ") + std::strerror(errno));
            ok = false;
            break;
        }
        if (st.st_uid != ::geteuid()) {
            why = Printable(path.string()) + " belongs to another user";
            ok = false;
            break;
        }
        if (name == "thumbnails")
            ::fchmod(at, 0700);
        if (::faccessat(at, ".", W_OK | X_OK, AT_EACCESS) != 0) {
            why = Printable(path.string()) + ": " + std::strerror(errno);
            ok = false;
            break;
        }
    }
    if (at >= 0)
        ::close(at);
    return ok;
}

// The cache's folders for a run: the size's and the failure records', made and checked.
struct CacheFolders {
    fs::path entries, failures;
};

// Finds the cache and makes its folders. -1 when the run goes on; else its exit status, after the message.
int PrepareCacheFolders(const CommandLine& line, const char* sizeName, CacheFolders& folders) {
    const std::string thumbnails = ThumbnailCacheFolder();
    if (thumbnails.empty())
        return UsageError(line, "neither XDG_CACHE_HOME nor HOME names a folder");
    const fs::path cache = fs::path(thumbnails).parent_path();
    folders.entries = cache / "thumbnails" / sizeName;
    folders.failures = cache / "thumbnails" / kFailFolder;
    std::error_code ec;
    fs::create_directories(cache, ec);
    std::string why;
    if (!MakeCacheFolders(cache, {"thumbnails", sizeName}, why) ||
        !MakeCacheFolders(cache, {"thumbnails", "fail", "gnome-thumbnail-factory"}, why)) {
        std::fprintf(stderr,
                     "tarnel cache: cannot write the thumbnail cache: %s (check that folder's owner and "
                     "permissions, or set XDG_CACHE_HOME)\n",
                     why.c_str());
        return kExitSetUp;
    }
    return -1;
}

// The files to make: those named, those in the folders named and those of the lists, each once. A file named
// twice (or inside a folder named too) is made once, and counts as named when it was named once.
std::vector<Request> CollectFiles(const CacheRequest& request, const std::vector<std::string>& listed,
                                  int& problems) {
    std::vector<Request> files;
    for (const char* a : request.paths)
        Collect(a, true, files, problems);
    for (const std::string& a : listed)
        Collect(a, false, files, problems);
    std::vector<Request> unique;
    for (Request& f : files) {
        auto same =
            std::find_if(unique.begin(), unique.end(), [&](const Request& u) { return u.path == f.path; });
        if (same == unique.end())
            unique.push_back(std::move(f));
        else
            same->named = same->named || f.named;
    }
    return unique;
}

// One run of `tarnel cache` over its files: each looked at, then made in a child of the pool, its outcome
// taken as the child ends.
class CacheRun {
public:
    // problems: those met before the run (paths that name nothing).
    CacheRun(const CacheRequest& request, const CacheFolders& folders, size_t files, int problems)
        : m_problems(problems), m_request(request), m_folders(folders), m_progress(files, request.verbosity),
          m_limits(Limits(request)), m_pool(m_limits),
          m_jobs(Jobs(request)), m_size{LONG(request.pixels), LONG(request.pixels)} {
        g_tally = &m_tally;
    }
    ~CacheRun() { g_tally = nullptr; }

    // Makes the files, stopping at the first fault of the set-up.
    void MakeAll(const std::vector<Request>& files) {
        for (const Request& request : files) {
            if (!m_setUpFault.empty())
                break;
            Make(request);
        }
        while (m_pool.Running() > 0)
            Finish(m_pool.WaitOne());
    }

    // The last lines, and the exit status: 0 when every file has its picture or was skipped.
    int Summarise() {
        if (!m_setUpFault.empty())
            m_progress.Note("tarnel cache: stopped: " + m_setUpFault);
        m_progress.Note("tarnel cache: " + std::to_string(m_tally.made) + " made, " +
                        std::to_string(m_tally.current) + " up to date, " +
                        std::to_string(m_tally.noPicture) + " no picture, " +
                        std::to_string(m_tally.skipped) + " skipped, " + std::to_string(m_tally.setUp) +
                        " failed set-up");
        if (!m_setUpFault.empty())
            return kExitSetUp;
        return m_problems == 0 ? kExitPicture : kExitNoPicture;
    }

private:
    // The handler of each extension, looked up once: routed, not routed (skipped), or a broken registry.
    struct Route {
        bool routed = false;
        CheckedHandler handler; // the module, opened once for every child of its files
        std::string fault;
    };

    int m_problems;
    const CacheRequest& m_request;
    const CacheFolders& m_folders;
    Progress m_progress;
    ChildLimits m_limits;
    ChildPool m_pool;
    bool m_warmTried = false;
    long m_jobs;
    SIZE m_size;
    std::map<long, std::unique_ptr<Job>> m_running;
    std::map<std::wstring, Route> m_routes;
    Tally m_tally;
    std::string m_setUpFault; // the first fault of the set-up: the run stops there
    long m_next = 0;

    static ChildLimits Limits(const CacheRequest& request) {
        ChildLimits limits;
        limits.seconds = request.timeout;
        limits.memoryMiB = request.memoryMiB;
        return limits;
    }

    // Each child is bounded, and so is their sum: no more children at once than half the machine's memory
    // holds at their bound, so that a folder of hostile files cannot take the machine's memory together.
    static long Jobs(const CacheRequest& request) {
        long jobs = request.jobs > 0 ? request.jobs : std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
        if (request.memoryMiB > 0) {
            const long long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
            const long long budgetMiB = pages > 0 && pageSize > 0 ? pages * pageSize / 2 / (1 << 20) : 0;
            if (budgetMiB > 0)
                jobs = std::max(1L, std::min(jobs, long(budgetMiB / request.memoryMiB)));
        }
        return jobs;
    }

    std::string FailurePath(const Job& job) const {
        return (m_folders.failures / (job.md5 + ".png")).string();
    }

    const Route& RouteOf(const std::string& path) {
        std::wstring key = ExtensionOf(WidenFileName(path));
        std::transform(key.begin(), key.end(), key.begin(),
                       [](wchar_t c) { return wchar_t(std::towlower(c)); });
        auto found = m_routes.find(key);
        if (found != m_routes.end())
            return found->second;
        Route route;
        ModuleChoice choice = m_request.choice;
        if (!choice.module.empty()) {
            route.routed = FindSuiteFormat(path) != nullptr; // the module serves the suite's formats
        } else {
            ThumbnailHandler handler;
            std::string error;
            bool notRouted = false;
            if (FindThumbnailHandler(WidenFileName(path), handler, error, &notRouted)) {
                route.routed = true;
                choice.module = handler.module;
                choice.clsid = handler.clsid;
            } else if (!notRouted || FindSuiteFormat(path) != nullptr) {
                // The suite's own files unrouted mean that tarnel is not installed for this user.
                route.fault = error + (notRouted ? "; run 'tarnel install' first" : "");
            }
        }
        // The module is judged here, by the parent, which loads nothing: a child's word never stops the run.
        if (std::string error; route.routed && !CheckHandler(path.c_str(), choice, route.handler, error))
            route.fault = error + " (see 'tarnel registry dump' for the handlers; 'tarnel install' registers "
                                  "tarnel's own again)";
        return m_routes.emplace(key, std::move(route)).first->second;
    }

    // Looks at one file: skipped, up to date, failed before, or made in a child.
    void Make(const Request& request) {
        const std::string& path = request.path;
        auto job = std::make_unique<Job>();
        job->path = path;
        if (::stat(path.c_str(), &job->st) != 0 || !S_ISREG(job->st.st_mode) ||
            !tarnel::plat::FileUriAndDigest(path, job->uri, job->md5)) {
            m_progress.Report("skipped (unreadable)", path, Line::Problem);
            ++m_tally.skipped;
            ++m_problems;
            return;
        }
        if (const SuiteFormat* format = FindSuiteFormat(path);
            format != nullptr && !tarnel::settings::Serves(format->extension)) {
            m_progress.Report("skipped (left to other thumbnailers by the settings' Formats)", path,
                              Line::Unchanged);
            ++m_tally.skipped;
            return;
        }
        const Route& route = RouteOf(path);
        if (!route.fault.empty()) {
            m_setUpFault = route.fault;
            ++m_tally.setUp;
            return;
        }
        if (!route.routed) {
            m_progress.Report("skipped (no thumbnail handler for this type)", path, Line::Unchanged);
            ++m_tally.skipped;
            return;
        }
        const Stamp studies = NewestStudy(path, m_limits);
        const std::string target = (m_folders.entries / (job->md5 + ".png")).string();
        if (IsCurrent(target, *job, studies, nullptr)) {
            m_progress.Report("up to date", path, Line::Unchanged);
            ++m_tally.current;
            return;
        }
        if (!request.named && !m_request.retryFailed &&
            IsCurrent(FailurePath(*job), *job, studies, kSoftware)) {
            m_progress.Report("no picture (recorded earlier; --retry-failed tries again)", path,
                              Line::Unchanged);
            ++m_tally.noPicture;
            ++m_problems;
            return;
        }
        while (m_pool.Running() >= size_t(m_jobs))
            Finish(m_pool.WaitOne());
        if (m_setUpFault.empty())
            Start(std::move(job), target, route.handler);
    }

    // Opens the entry and starts the child that makes it.
    void Start(std::unique_ptr<Job> job, const std::string& target, const CheckedHandler& handler) {
        std::string error;
        if (!job->out.Open(target, 0600, error)) {
            if (job->out.refused()) { // something that is no file stands at the entry's name: this file only
                m_progress.Report(("skipped (" + error + ")").c_str(), job->path, Line::Problem);
                ++m_tally.skipped;
                ++m_problems;
                return;
            }
            m_setUpFault = error + " (check the thumbnail cache's owner and permissions)";
            ++m_tally.setUp;
            return;
        }
        const std::vector<PngText> texts = {{"Thumb::URI", job->uri},
                                            {"Thumb::MTime", std::to_string(job->st.st_mtime)},
                                            {"Thumb::Size", std::to_string(job->st.st_size)},
                                            {"Software", kSoftware}};
        job->handler = &handler;
        const int fd = job->out.fd();
        const long id = m_next++;
        const std::string path = job->path;
        m_running.emplace(id, std::move(job));
        // A mesh's child comes from the warm parent, which has loaded the first handler's module and what
        // meshes need; without one, and for every other file, the child is forked from here, which is
        // cheaper for the files that need no VTK: there is less to copy.
        const bool mesh = IsMeshPath(path);
        if (mesh && !m_warmTried) {
            m_warmTried = true;
            StartWarmParent(handler);
        }
        const WarmJob warm = {path, handler.module, handler.clsid, texts};
        auto work = [&] { return ExtractPng(path.c_str(), m_size, handler, false, false, fd, texts); };
        const bool started = (mesh && m_pool.StartWarm(id, EncodeWarmJob(warm), {fd, handler.fd})) ||
                             m_pool.Start(id, work, {fd, handler.fd});
        if (!started) {
            ChildOutcome none;
            none.id = id;
            Finish(none);
        }
    }

    void StartWarmParent(const CheckedHandler& handler) {
        if (std::getenv("TARNEL_COLD_CHILDREN") != nullptr) // for measuring what the warm parent saves
            return;
        const SIZE size = m_size;
        m_pool.StartWarmParent([&handler] { return PreloadForChildren(handler); },
                               [size](const std::string& record, const std::vector<int>& fds) {
                                   WarmJob job;
                                   if (fds.size() != 2 || !DecodeWarmJob(record, job))
                                       return 1;
                                   CheckedHandler checked;
                                   checked.clsid = job.clsid;
                                   checked.module = job.module;
                                   checked.fd = fds[1];
                                   return ExtractPng(job.path.c_str(), size, checked, false, false, fds[0],
                                                     job.texts);
                               },
                               {handler.fd});
    }

    // Takes the outcome of one child: the picture put in place, a failure recorded, or the set-up's fault.
    void Finish(const ChildOutcome& outcome) {
        auto it = m_running.find(outcome.id);
        if (it == m_running.end())
            return;
        Job& job = *it->second;
        std::string error;
        const std::string failPath = FailurePath(job);
        const bool pictured = outcome.kind == ChildOutcome::Exited && outcome.answered &&
                              outcome.answer.kind == AnswerKind::Picture &&
                              job.out.HoldsPicture(m_size, error);
        if (pictured && job.out.Commit(error)) {
            ::unlink(failPath.c_str()); // a picture now: whoever failed on it may show it
            ++m_tally.made;
            m_progress.Report("cached", job.path, Line::Changed);
        } else if (pictured) { // the cache itself refused it: the set-up's fault, found by the parent
            job.out.Discard();
            ++m_tally.setUp;
            if (m_setUpFault.empty())
                m_setUpFault = error + " (check the thumbnail cache's owner and free space)";
        } else if (outcome.kind == ChildOutcome::NotStarted) {
            job.out.Discard();
            ++m_tally.setUp;
            if (m_setUpFault.empty())
                m_setUpFault = "cannot start a process for " + Printable(job.path);
        } else {
            job.out.Discard();
            RecordFailure(job, outcome, failPath, error);
        }
        m_running.erase(it);
    }

    // A file the handler ran on and that gave no picture: said why, and recorded where GNOME looks. What the
    // child calls a fault of the set-up (a module that will not load, no rendering here) is only its word:
    // the file counts as failed and no record is written, so that a set-up put right tries it again, and
    // the run goes on.
    void RecordFailure(const Job& job, const ChildOutcome& outcome, const std::string& failPath,
                       const std::string& written) {
        ++m_problems;
        bool setUp = false;
        const std::string why = !written.empty() ? written
                                                 : NoPictureReason(*job.handler, outcome, m_request.timeout,
                                                                   m_request.memoryMiB, &setUp);
        if (setUp) {
            ++m_tally.setUp;
            m_progress.Report(("failed (" + why + ")").c_str(), job.path, Line::Problem);
            return;
        }
        ++m_tally.noPicture;
        OutputFile record;
        std::string error;
        const std::vector<PngText> texts = {{"Thumb::URI", job.uri},
                                            {"Thumb::MTime", std::to_string(job.st.st_mtime)},
                                            {"Software", kSoftware}};
        if (record.Open(failPath, 0600, error) && WriteMarkerPng(record.fd(), texts, error))
            record.Commit(error);
        m_progress.Report(("no picture (" + why + ")").c_str(), job.path, Line::Problem);
    }
};

// Removes the cache file at png when tarnel wrote it (its Software text says so): never another program's,
// never anything but a regular file. Prints what it removed; false when it could not be removed.
bool RemoveIfOurs(const std::string& png, size_t& removed) {
    if (ReadCacheRecord(png, {}, 0, {}).software != kSoftware)
        return true;
    if (::unlink(png.c_str()) != 0) {
        std::fprintf(stderr, "tarnel: cannot remove %s: %s\n", Printable(png).c_str(), std::strerror(errno));
        return false;
    }
    std::printf("removed %s\n", Printable(png).c_str());
    ++removed;
    return true;
}

// `tarnel cache --forget`: tarnel's records of each file, of every size, go.
int Forget(const CacheRequest& request, const std::vector<std::string>& listed) {
    const std::string thumbnails = ThumbnailCacheFolder();
    if (thumbnails.empty())
        return UsageError(request.line, "neither XDG_CACHE_HOME nor HOME names a folder");
    std::vector<std::string> paths(request.paths.begin(), request.paths.end());
    paths.insert(paths.end(), listed.begin(), listed.end());
    std::vector<std::string> files;
    for (const std::string& p : paths) {
        std::error_code ec;
        const fs::path path = fs::absolute(p, ec).lexically_normal();
        if (fs::is_directory(path, ec)) {
            const std::vector<std::string> found = SuiteFilesIn(path);
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(path.string()); // a file that has gone is forgotten too
        }
    }
    const std::vector<CacheRecordFolder> folders = CacheRecordFolders(thumbnails);
    size_t removed = 0;
    bool ok = true;
    for (const std::string& file : files) {
        std::string uri, md5;
        if (!tarnel::plat::FileUriAndDigest(file, uri, md5))
            continue;
        for (const CacheRecordFolder& folder : folders)
            ok = RemoveIfOurs(folder.path + "/" + md5 + ".png", removed) && ok;
    }
    std::fprintf(stderr, "tarnel cache: %zu removed for %zu files\n", removed, files.size());
    return ok ? kExitPicture : kExitSetUp;
}

} // namespace

std::string ThumbnailCacheFolder() {
    if (const char* c = std::getenv("XDG_CACHE_HOME"); c != nullptr && c[0] == '/')
        return (fs::path(c) / "thumbnails").string();
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return (fs::path(home) / ".cache/thumbnails").string();
    return {};
}

std::vector<CacheRecordFolder> CacheRecordFolders(const std::string& thumbnails) {
    std::vector<CacheRecordFolder> folders;
    for (const char* size : {"normal", "large", "x-large", "xx-large"})
        folders.push_back({(fs::path(thumbnails) / size).string(), size, false});
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(thumbnails) / "fail", ec))
        if (e.is_directory(ec) && !e.is_symlink(ec))
            folders.push_back({e.path().string(), e.path().filename().string(), true});
    return folders;
}

CacheRecordFacts ReadCacheRecord(const std::string& png, const std::string& uri, time_t mtime,
                                 std::pair<time_t, long> studies) {
    CacheRecordFacts facts;
    std::vector<PngText> texts;
    struct stat st {};
    if (::lstat(png.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ReadPngTexts(png, texts)) {
        facts.stale = "not a PNG that can be read";
        return facts;
    }
    facts.written = st.st_mtime;
    facts.software = PngTextValue(texts, "Software");
    if (PngTextValue(texts, "Thumb::URI") != uri)
        facts.stale = "made for another file of the same digest";
    else if (!SameMTime(PngTextValue(texts, "Thumb::MTime"), mtime))
        facts.stale = "made for another version of the file (it changed since)";
    else if (Stamp(st.st_mtim.tv_sec, st.st_mtim.tv_nsec) <= studies)
        facts.stale = "a study of the project changed since";
    else
        facts.current = true;
    return facts;
}

bool PurgeCache(size_t& removed) {
    removed = 0;
    const std::string thumbnails = ThumbnailCacheFolder();
    if (thumbnails.empty())
        return true;
    bool ok = true;
    for (const CacheRecordFolder& folder : CacheRecordFolders(thumbnails)) {
        std::error_code ec;
        std::vector<std::string> pngs;
        for (const auto& e : fs::directory_iterator(folder.path, ec))
            if (e.path().extension() == ".png")
                pngs.push_back(e.path().string());
        for (const std::string& png : pngs)
            ok = RemoveIfOurs(png, removed) && ok;
    }
    return ok;
}

int RunCache(int argc, char** argv) {
    CacheRequest request;
    if (const int status = ReadArguments(ParseCacheArguments, argc, argv, request); status >= 0)
        return status;
    RunWithHugePageHeap(); // for the children that read and draw meshes
    std::vector<std::string> listed;
    for (const char* list : request.lists)
        if (!ReadList(list, listed))
            return UsageError(request.line, "cannot read the list " + Printable(list));
    if (request.forget)
        return Forget(request, listed);
    CacheFolders folders;
    if (const int status = PrepareCacheFolders(request.line, request.sizeName, folders); status >= 0)
        return status;
    int problems = 0;
    const std::vector<Request> files = CollectFiles(request, listed, problems);
    RemoveOutputFilesOnSignals();
    CacheRun run(request, folders, files.size(), problems);
    SetStopSummaryHook(WriteInterruptedSummary);
    run.MakeAll(files);
    return run.Summarise();
}
