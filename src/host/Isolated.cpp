#include "host/Isolated.h"

#include "host/OutputFile.h"
#include "host/ShaderCache.h"

#include "confine/Confine.h"
#include "confine/Sanitizer.h"
#include "host/SignalSafeNames.h"
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
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

// Ends a child and every process of its group: a confined child leads a session of its own, and what it
// started without our knowledge (a sanitizer's leak checker clones a tracer at exit, which no parent's death
// ends) goes with it. Before the child has left our group only the child itself is named. System calls
// alone, as a signal handler may.
void KillChild(pid_t pid) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
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

// Waits for the child to end, at most about a second: a stop signal is not to hang on a child that the
// kernel is slow to take down (its folder is then removed while it goes).
void AwaitKilled(pid_t pid) {
    for (int tries = 0; tries < 100; ++tries) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        if (done != 0) // ended, or not (or no longer) a child of this process
            return;
        const timespec pause = {0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

void StopChildren() {
    for (int i = 0; i < ChildFolders::kSlots; ++i)
        if (g_folders.InUse(i) && g_pids[i] > 0)
            KillChild(g_pids[i]);
    for (int i = 0; i < ChildFolders::kSlots; ++i) {
        if (!g_folders.InUse(i))
            continue;
        if (g_pids[i] > 0)
            AwaitKilled(g_pids[i]);
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
    StopWarmParent();
    for (Child& c : m_children) {
        KillChild(c.pid);
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

namespace {

// In a new child: its standard error and answer, its folder, its confinement, then the work; never returns.
// parent is the process that supervises it, whose end is the child's too.
[[noreturn]] void RunChild(const ChildLimits& limits, const std::string& folder, pid_t parent, int said,
                           int answer, std::vector<int> kept, const std::function<int()>& work) {
    // A child outlives no supervisor: a killed `tarnel` leaves no extractor running on.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(1);
    // The supervisor's clean-up on stop signals is its own; a child just stops.
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::signal(sig, SIG_DFL);
    ::dup2(said, STDERR_FILENO);
    kept.push_back(answer);
    tarnel::confine::CloseAllBut(kept);
    g_answerFd = answer;
    // Temporary pictures go to the child's own folder, which the parent removes whatever happens; so do
    // the shaders Mesa compiles, which no other process ever reads.
    ::setenv("TMPDIR", folder.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    if (limits.writable.empty())
        PointChildShaders(folder);
    tarnel::confine::Plan plan;
    plan.folder = folder;
    plan.writable = limits.writable;
    plan.memoryMiB = limits.memoryMiB;
    plan.filter = &PreparedChildFilter();
    // TARNEL_UNCONFINED=1 leaves every rule but the memory bound off: for measuring what confinement
    // costs, and for telling a driver's trouble with it from another.
    const char* unconfined = std::getenv("TARNEL_UNCONFINED");
    if (unconfined != nullptr && std::strcmp(unconfined, "1") == 0) {
        if (limits.memoryMiB > 0 && MemoryBoundsApply()) {
            const rlimit bound = {rlim_t(limits.memoryMiB) << 20, rlim_t(limits.memoryMiB) << 20};
            ::setrlimit(RLIMIT_DATA, &bound);
        }
        if (limits.verbose)
            std::fprintf(stderr, "tarnel: confinement: off (TARNEL_UNCONFINED=1)\n");
    } else {
        for (const tarnel::confine::Outcome& o : tarnel::confine::Confine(plan))
            if (limits.verbose)
                std::fprintf(stderr, "tarnel: confinement: %s: %s%s\n", o.rule,
                             o.applied ? "" : "not applied: ", o.detail.c_str());
    }
    int code = 1;
    try {
        code = work();
    } catch (...) {
        code = 1;
    }
    // Sanitizer builds end normally, so that the leak checker sees what the work left; the others end at
    // once: the answer is sent and the folder is the parent's to remove, and the libraries' clean-up at
    // exit (VTK's, Mesa's) would only cost time.
    if (kAddressSanitizer)
        std::exit(code);
    std::fflush(nullptr);
    ::_exit(code);
}

} // namespace

bool ChildPool::Prepare(Prepared& p) {
    p.folder = MakeChildFolder();
    if (p.folder.empty())
        return false;
    if (::pipe2(p.said, O_CLOEXEC) != 0) {
        ::rmdir(p.folder.c_str());
        return false;
    }
    if (::pipe2(p.answer, O_CLOEXEC) != 0) {
        ::close(p.said[0]);
        ::close(p.said[1]);
        ::rmdir(p.folder.c_str());
        return false;
    }
    p.slot = g_folders.Remember(p.folder);
    return true;
}

void ChildPool::Abandon(Prepared& p) {
    ForgetChild(p.slot);
    ::rmdir(p.folder.c_str());
    for (int fd : {p.said[0], p.said[1], p.answer[0], p.answer[1]})
        ::close(fd);
}

void ChildPool::Register(long id, pid_t pid, Prepared& p) {
    if (p.slot >= 0)
        g_pids[p.slot] = pid;
    const double deadline = m_limits.seconds > 0 ? Now() + m_limits.seconds : 0;
    ::close(p.said[1]);
    ::close(p.answer[1]);
    ::fcntl(p.said[0], F_SETFL, O_NONBLOCK);
    ::fcntl(p.answer[0], F_SETFL, O_NONBLOCK);
    m_children.push_back({pid, PidFd(pid), id, deadline, p.slot, p.said[0], p.answer[0], {}});
}

bool ChildPool::Start(long id, const std::function<int()>& work, const std::vector<int>& keep) {
    Prepared p;
    if (!Prepare(p))
        return false;
    PreparedChildFilter(); // here, once: every child after the fork finds it made
    std::fflush(nullptr);  // nothing buffered may be written twice
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        Abandon(p);
        return false;
    }
    if (pid == 0)
        RunChild(m_limits, p.folder, parent, p.said[1], p.answer[1], keep, work);
    Register(id, pid, p);
    return true;
}

namespace {

// What passes between the pool and its warm parent, over a socket of datagrams: a request with its
// descriptors (the child's standard error and answer first, then the work's), and a reply with the child's
// process id (0 when none was made).
struct WarmRequestHeader {
    uint32_t folderBytes;
    uint32_t requestBytes;
};
struct WarmReply {
    int32_t pid;
};
constexpr size_t kWarmMaxDescriptors = 8;
constexpr size_t kWarmMaxBytes = 64 * 1024;

bool SendWithDescriptors(int socket, const void* data, size_t size, const std::vector<int>& fds) {
    iovec io = {const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kWarmMaxDescriptors)] = {};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    if (!fds.empty()) {
        if (fds.size() > kWarmMaxDescriptors)
            return false;
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    while ((n = ::sendmsg(socket, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == ssize_t(size);
}

// One request; false at the end of the socket or for a message that is not whole.
bool ReceiveRequest(int socket, std::string& folder, std::string& request, std::vector<int>& fds) {
    std::vector<char> buffer(kWarmMaxBytes);
    iovec io = {buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kWarmMaxDescriptors)] = {};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    fds.clear();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
            for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
    WarmRequestHeader header{};
    const bool whole = n >= ssize_t(sizeof header) && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                       (std::memcpy(&header, buffer.data(), sizeof header), true) &&
                       size_t(n) == sizeof header + size_t(header.folderBytes) + header.requestBytes &&
                       fds.size() >= 2;
    if (!whole) {
        for (int fd : fds)
            ::close(fd);
        fds.clear();
        return n > 0; // a message of no use is passed over; the end of the socket ends the loop
    }
    folder.assign(buffer.data() + sizeof header, header.folderBytes);
    request.assign(buffer.data() + sizeof header + header.folderBytes, header.requestBytes);
    return true;
}

size_t ThreadCount() {
    size_t threads = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++threads;
    return threads;
}

} // namespace

bool ChildPool::StartWarmParent(const std::function<bool()>& preload, WarmWork work,
                                const std::vector<int>& keep) {
    if (m_warm >= 0)
        return true;
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        return false;
    PreparedChildFilter(); // every child of the warm parent finds it made too
    std::fflush(nullptr);
    const pid_t supervisor = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(sockets[0]);
        ::close(sockets[1]);
        return false;
    }
    if (pid == 0) {
        // The warm parent: it reads no file, writes nothing but its replies, and ends with its supervisor or
        // when the supervisor closes the socket.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != supervisor)
            ::_exit(1);
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            ::signal(sig, SIG_DFL);
        const int socket = sockets[1];
        std::vector<int> kept = keep;
        kept.push_back(socket);
        kept.push_back(STDERR_FILENO);
        tarnel::confine::CloseAllBut(kept);
        tarnel::confine::DiscardCallerStreams(); // nor its children's, which it passes on
        // What it loads must start no thread: a thread would not be in the children, and what it held
        // would stay held there.
        if (!preload() || ThreadCount() != 1)
            ::_exit(1);
        std::string folder, request;
        std::vector<int> fds;
        while (ReceiveRequest(socket, folder, request, fds)) {
            if (fds.empty())
                continue;
            // The child is the supervisor's own (CLONE_PARENT): it waits for it, bounds its time and reads
            // its peak memory as for any other. A clone call of its own, as fork() offers no such flag; this
            // process runs no thread and holds no lock that the child would find held.
            const long child =
                ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
            if (child == 0) {
                ::close(socket);
                const std::vector<int> own(fds.begin() + 2, fds.end());
                RunChild(m_limits, folder, supervisor, fds[0], fds[1], own,
                         [&] { return work(request, own); });
            }
            for (int fd : fds)
                ::close(fd);
            const WarmReply reply = {child > 0 ? int32_t(child) : 0};
            if (!SendWithDescriptors(socket, &reply, sizeof reply, {}))
                break;
        }
        ::_exit(0);
    }
    ::close(sockets[1]);
    // Its replies come at once; one that does not come within seconds means it is stuck, and the children
    // are made cold from then on.
    const timeval patience = {5, 0};
    ::setsockopt(sockets[0], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    m_warm = sockets[0];
    m_warmPid = pid;
    return true;
}

bool ChildPool::StartWarm(long id, const std::string& request, const std::vector<int>& fds) {
    if (m_warm < 0)
        return false;
    Prepared p;
    if (!Prepare(p))
        return false;
    std::string message(sizeof(WarmRequestHeader), '\0');
    const WarmRequestHeader header = {uint32_t(p.folder.size()), uint32_t(request.size())};
    std::memcpy(message.data(), &header, sizeof header);
    message += p.folder;
    message += request;
    std::vector<int> all = {p.said[1], p.answer[1]};
    all.insert(all.end(), fds.begin(), fds.end());
    WarmReply reply{};
    bool made =
        message.size() <= kWarmMaxBytes && SendWithDescriptors(m_warm, message.data(), message.size(), all);
    if (made) {
        ssize_t n;
        while ((n = ::recv(m_warm, &reply, sizeof reply, 0)) < 0 && errno == EINTR) {
        }
        made = n == ssize_t(sizeof reply) && reply.pid > 0;
    }
    if (!made) { // the warm parent has gone or could not fork: the children are made cold from now on
        Abandon(p);
        StopWarmParent();
        return false;
    }
    Register(id, pid_t(reply.pid), p);
    return true;
}

void ChildPool::StopWarmParent() {
    if (m_warm < 0)
        return;
    ::close(m_warm);
    m_warm = -1;
    ::kill(m_warmPid, SIGKILL); // it has nothing to finish: its children are this process's
    int status;
    while (::waitpid(m_warmPid, &status, 0) < 0 && errno == EINTR) {
    }
    m_warmPid = -1;
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
                KillChild(c.pid);
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
