#include "host/Isolated.h"

#include "host/OutputFile.h"
#include "host/ShaderCache.h"

#include "confine/Confine.h"
#include "confine/Sanitizer.h"
#include "host/SignalSafeNames.h"
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

namespace {

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int PidFd(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

// Children and their folders, for a stop signal. A free slot's pid is 0: it is cleared before the slot is.
using ChildFolders = SignalSafeNames<512>;
ChildFolders g_folders;
volatile pid_t g_pids[ChildFolders::kSlots];

void ForgetChild(int& slot) {
    if (slot >= 0)
        g_pids[slot] = 0;
    g_folders.Forget(slot);
}

// Removes a folder and what is in it with system calls alone, as a signal handler may.
void RemoveTree(int parent, const char* name, int depth) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buffer[4096];
        long n;
        while (depth > 0 && (n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < n;) {
                struct Entry {
                    ino64_t ino;
                    off64_t off;
                    unsigned short reclen;
                    unsigned char type;
                    char name[1];
                };
                const auto* e = reinterpret_cast<const Entry*>(buffer + at);
                at += e->reclen;
                if (std::strcmp(e->name, ".") == 0 || std::strcmp(e->name, "..") == 0)
                    continue;
                if (::unlinkat(fd, e->name, 0) != 0 && errno == EISDIR)
                    RemoveTree(fd, e->name, depth - 1);
            }
        }
        ::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

void StopChildren() {
    for (int i = 0; i < ChildFolders::kSlots; ++i) {
        if (!g_folders.InUse(i))
            continue;
        if (g_pids[i] > 0) {
            ::kill(g_pids[i], SIGKILL);
            ::waitpid(g_pids[i], nullptr, 0);
        }
        RemoveTree(AT_FDCWD, g_folders.Name(i), 8);
    }
}

} // namespace

bool MemoryBoundsApply() {
    return !kAddressSanitizer;
}

bool NearMemoryBound(const ChildOutcome& outcome, long memoryMiB) {
    return memoryMiB > 0 && MemoryBoundsApply() && outcome.peakKiB * 4 >= memoryMiB * 1024 * 3;
}

std::string MemoryBoundReason(long long mebibytes, const char* how) {
    return "it needs more memory than the bound of " + std::to_string(mebibytes) + " MiB (" + how + ")";
}

namespace {

// Folders that children of a process killed outright (SIGKILL gives no chance to clean up) left in base:
// named after a process that no longer runs, and ours.
void SweepOrphans(const std::string& base) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        if (name.compare(0, 7, "tarnel-") != 0)
            continue;
        const long pid = std::strtol(name.c_str() + 7, &end, 10);
        struct stat st {};
        if (pid <= 0 || end == nullptr || std::strlen(end) != 7 || *end != '-' || pid == ::getpid() ||
            ::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(entry.path(), ec);
    }
}

} // namespace

std::string MakeChildFolder() {
    static std::string swept;
    std::vector<std::string> bases;
    for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (const char* folder = std::getenv(variable); folder != nullptr && folder[0] == '/')
            bases.push_back(folder);
    bases.push_back("/tmp");
    for (const std::string& base : bases) {
        // The parent's process id in the name tells a later run whose folder it was.
        std::string name = base + "/tarnel-" + std::to_string(::getpid()) + "-XXXXXX";
        if (::mkdtemp(name.data()) == nullptr)
            continue;
        if (swept != base) {
            SweepOrphans(base);
            swept = base;
        }
        return name;
    }
    return {};
}

ChildPool::ChildPool(const ChildLimits& limits) : m_limits(limits) {
    SetStopSignalHook(StopChildren);
}

ChildPool::~ChildPool() {
    for (Child& c : m_children) {
        ::kill(c.pid, SIGKILL);
        Finish(c, true);
    }
}

namespace {

int g_answerFd = -1; // in a child: the write end of its answer

// The children's filter, built once in the parent for all of them.
const tarnel::confine::PreparedFilter& PreparedChildFilter() {
    static const tarnel::confine::PreparedFilter filter = tarnel::confine::PrepareFilter();
    return filter;
}

} // namespace

bool SendAnswer(const ChildAnswer& answer) {
    if (g_answerFd < 0)
        return false;
    const bool sent = ::write(g_answerFd, &answer, sizeof answer) == ssize_t(sizeof answer);
    ::close(g_answerFd);
    g_answerFd = -1;
    return sent;
}

void ChildPool::Drain(Child& c) {
    char buffer[4096];
    while (c.said >= 0) {
        const ssize_t n = ::read(c.said, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;   // nothing more for now
        if (n <= 0) { // the end: every writer has gone
            ::close(c.said);
            c.said = -1;
            return;
        }
        const size_t room = kChildSaidBytes - std::min(kChildSaidBytes, c.text.size());
        c.text.append(buffer, std::min(size_t(n), room));
    }
}

ChildOutcome ChildPool::Finish(Child& c, bool killed) {
    int status = 0;
    struct rusage usage {};
    while (::wait4(c.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (c.pidfd >= 0)
        ::close(c.pidfd);
    if (c.slot >= 0) {
        const std::string folder = g_folders.Name(c.slot);
        int slot = c.slot;
        ForgetChild(slot);
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    ChildOutcome o;
    // The child has gone, and with it every write end: what is in the pipes is all there is.
    Drain(c);
    if (c.said >= 0)
        ::close(c.said);
    o.said = std::move(c.text);
    ChildAnswer answer;
    char extra;
    const ssize_t n = ::read(c.answer, &answer, sizeof answer);
    o.answered = n == ssize_t(sizeof answer) && ::read(c.answer, &extra, 1) <= 0 && IsValidAnswer(answer);
    if (o.answered)
        o.answer = answer;
    ::close(c.answer);
    o.id = c.id;
    o.peakKiB = usage.ru_maxrss;
    if (killed) {
        o.kind = ChildOutcome::TimedOut;
        o.answered = false; // an answer of a child that ran out of time is not taken
    } else if (WIFEXITED(status)) {
        o.kind = ChildOutcome::Exited;
        o.code = WEXITSTATUS(status);
        // A child that answers exits with 0: any other status (a leak report in sanitizer builds, a fault
        // after the answer) takes the answer back.
        o.answered = o.answered && o.code == 0;
    } else {
        o.kind = ChildOutcome::Crashed;
        o.code = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    return o;
}

bool ChildPool::Start(long id, const std::function<int()>& work, const std::vector<int>& keep) {
    const std::string folder = MakeChildFolder();
    if (folder.empty())
        return false;
    int said[2], answer[2];
    if (::pipe2(said, O_CLOEXEC) != 0) {
        ::rmdir(folder.c_str());
        return false;
    }
    if (::pipe2(answer, O_CLOEXEC) != 0) {
        ::close(said[0]);
        ::close(said[1]);
        ::rmdir(folder.c_str());
        return false;
    }
    int slot = g_folders.Remember(folder);
    PreparedChildFilter(); // here, once: every child after the fork finds it made
    std::fflush(nullptr);  // nothing buffered may be written twice
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ForgetChild(slot);
        ::rmdir(folder.c_str());
        for (int fd : {said[0], said[1], answer[0], answer[1]})
            ::close(fd);
        return false;
    }
    if (pid == 0) {
        // A child outlives no supervisor: a killed `tarnel` leaves no extractor running on.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        // The supervisor's clean-up on stop signals is its own; a child just stops.
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            ::signal(sig, SIG_DFL);
        ::dup2(said[1], STDERR_FILENO);
        std::vector<int> kept = keep;
        kept.push_back(answer[1]);
        tarnel::confine::CloseAllBut(kept);
        g_answerFd = answer[1];
        // Temporary pictures go to the child's own folder, which the parent removes whatever happens; so do
        // the shaders Mesa compiles, which no other process ever reads.
        ::setenv("TMPDIR", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        if (m_limits.writable.empty())
            PointChildShaders(folder);
        tarnel::confine::Plan plan;
        plan.folder = folder;
        plan.writable = m_limits.writable;
        plan.memoryMiB = m_limits.memoryMiB;
        plan.filter = &PreparedChildFilter();
        // TARNEL_UNCONFINED=1 leaves every rule but the memory bound off: for measuring what confinement
        // costs, and for telling a driver's trouble with it from another.
        const char* unconfined = std::getenv("TARNEL_UNCONFINED");
        if (unconfined != nullptr && std::strcmp(unconfined, "1") == 0) {
            if (m_limits.memoryMiB > 0 && MemoryBoundsApply()) {
                const rlimit bound = {rlim_t(m_limits.memoryMiB) << 20, rlim_t(m_limits.memoryMiB) << 20};
                ::setrlimit(RLIMIT_DATA, &bound);
            }
            if (m_limits.verbose)
                std::fprintf(stderr, "tarnel: confinement: off (TARNEL_UNCONFINED=1)\n");
        } else {
            for (const tarnel::confine::Outcome& o : tarnel::confine::Confine(plan))
                if (m_limits.verbose)
                    std::fprintf(stderr, "tarnel: confinement: %s: %s%s\n", o.rule,
                                 o.applied ? "" : "not applied: ", o.detail.c_str());
        }
        int code = 1;
        try {
            code = work();
        } catch (...) {
            code = 1;
        }
        // A normal exit, so that the child's own clean-up (and the leak checker in sanitizer builds) runs.
        std::exit(code);
    }
    if (slot >= 0)
        g_pids[slot] = pid;
    const double deadline = m_limits.seconds > 0 ? Now() + m_limits.seconds : 0;
    ::close(said[1]);
    ::close(answer[1]);
    ::fcntl(said[0], F_SETFL, O_NONBLOCK);
    ::fcntl(answer[0], F_SETFL, O_NONBLOCK);
    m_children.push_back({pid, PidFd(pid), id, deadline, slot, said[0], answer[0], {}});
    return true;
}

ChildOutcome ChildPool::WaitOne() {
    if (m_children.empty())
        return {};
    for (;;) {
        const double now = Now();
        double nearest = -1;
        for (size_t i = 0; i < m_children.size(); ++i) {
            if (m_children[i].deadline > 0 && now >= m_children[i].deadline) {
                Child c = std::move(m_children[i]);
                ::kill(c.pid, SIGKILL);
                m_children.erase(m_children.begin() + long(i));
                return Finish(c, true);
            }
            const Child& c = m_children[i];
            if (c.deadline > 0 && (nearest < 0 || c.deadline - now < nearest))
                nearest = c.deadline - now;
        }
        // Each child's pidfd, then its standard error, which is read as it comes.
        std::vector<pollfd> fds;
        for (const Child& c : m_children)
            fds.push_back({c.pidfd, POLLIN, 0});
        for (const Child& c : m_children)
            fds.push_back({c.said, POLLIN, 0});
        // Without pidfds (old kernels) the pool looks again every 50 ms.
        const bool havePidFds = m_children.front().pidfd >= 0;
        int wait = nearest < 0 ? -1 : int(std::ceil(nearest * 1000));
        if (!havePidFds && (wait < 0 || wait > 50))
            wait = 50;
        // A descriptor of -1 (no pidfd, a pipe that has ended) is passed over by poll.
        const int ready = ::poll(fds.data(), fds.size(), wait);
        if (ready < 0 && errno != EINTR)
            return {};
        const size_t count = m_children.size();
        for (size_t i = 0; i < count; ++i)
            if (ready > 0 && fds[count + i].revents != 0)
                Drain(m_children[i]);
        for (size_t i = 0; i < m_children.size(); ++i) {
            const Child& c = m_children[i];
            bool done = false;
            if (havePidFds) {
                done = ready > 0 && (fds[i].revents & POLLIN) != 0;
            } else {
                siginfo_t info{};
                done =
                    ::waitid(P_PID, id_t(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
            }
            if (done) {
                Child finished = std::move(m_children[i]);
                m_children.erase(m_children.begin() + long(i));
                return Finish(finished, false);
            }
        }
    }
}

ChildOutcome RunIsolated(const ChildLimits& limits, const std::function<int()>& work,
                         const std::vector<int>& keep) {
    ChildPool pool(limits);
    if (!pool.Start(0, work, keep))
        return {};
    return pool.WaitOne();
}
