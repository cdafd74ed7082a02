#include "host/Isolated.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int PidFd(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

ChildOutcome Reap(pid_t pid, long id, bool killed) {
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    ChildOutcome o;
    o.id = id;
    o.peakKiB = usage.ru_maxrss;
    if (killed) {
        o.kind = ChildOutcome::TimedOut;
    } else if (WIFEXITED(status)) {
        o.kind = ChildOutcome::Exited;
        o.code = WEXITSTATUS(status);
    } else {
        o.kind = ChildOutcome::Crashed;
        o.code = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    return o;
}

} // namespace

bool MemoryBoundsApply() {
#if defined(__SANITIZE_ADDRESS__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return false;
#else
    return true;
#endif
#else
    return true;
#endif
}

ChildPool::~ChildPool() {
    for (const Child& c : m_children) {
        ::kill(c.pid, SIGKILL);
        Reap(c.pid, c.id, true);
        if (c.pidfd >= 0)
            ::close(c.pidfd);
    }
}

bool ChildPool::Start(long id, const std::function<int()>& work) {
    std::fflush(nullptr); // nothing buffered may be written twice
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // A child outlives no supervisor: a killed `tarnel` leaves no extractor running on.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        // The supervisor's clean-up on stop signals is its own; a child just stops.
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            ::signal(sig, SIG_DFL);
        if (m_memoryMiB > 0 && MemoryBoundsApply()) {
            const rlim_t bytes = rlim_t(m_memoryMiB) << 20;
            const rlimit limit = {bytes, bytes};
            ::setrlimit(RLIMIT_DATA, &limit);
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
    const double deadline = m_seconds > 0 ? Now() + m_seconds : 0;
    m_children.push_back({pid, PidFd(pid), id, deadline});
    return true;
}

ChildOutcome ChildPool::WaitOne() {
    if (m_children.empty())
        return {};
    for (;;) {
        const double now = Now();
        double nearest = -1;
        for (size_t i = 0; i < m_children.size(); ++i) {
            const Child c = m_children[i];
            if (c.deadline > 0 && now >= c.deadline) {
                ::kill(c.pid, SIGKILL);
                m_children.erase(m_children.begin() + long(i));
                if (c.pidfd >= 0)
                    ::close(c.pidfd);
                return Reap(c.pid, c.id, true);
            }
            if (c.deadline > 0 && (nearest < 0 || c.deadline - now < nearest))
                nearest = c.deadline - now;
        }
        std::vector<pollfd> fds;
        for (const Child& c : m_children)
            fds.push_back({c.pidfd, POLLIN, 0});
        // Without pidfds (old kernels) the pool looks again every 50 ms.
        const bool havePidFds = m_children.front().pidfd >= 0;
        int wait = nearest < 0 ? -1 : int(std::ceil(nearest * 1000));
        if (!havePidFds && (wait < 0 || wait > 50))
            wait = 50;
        int ready = havePidFds ? ::poll(fds.data(), fds.size(), wait) : (::poll(nullptr, 0, wait), 0);
        if (ready < 0 && errno != EINTR)
            return {};
        for (size_t i = 0; i < m_children.size(); ++i) {
            const Child c = m_children[i];
            bool done = false;
            if (havePidFds) {
                done = ready > 0 && (fds[i].revents & POLLIN) != 0;
            } else {
                siginfo_t info{};
                done =
                    ::waitid(P_PID, id_t(c.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
            }
            if (done) {
                m_children.erase(m_children.begin() + long(i));
                if (c.pidfd >= 0)
                    ::close(c.pidfd);
                return Reap(c.pid, c.id, false);
            }
        }
    }
}

ChildOutcome RunIsolated(double seconds, const std::function<int()>& work, long memoryMiB) {
    ChildPool pool(seconds, memoryMiB);
    if (!pool.Start(0, work))
        return {};
    return pool.WaitOne();
}
