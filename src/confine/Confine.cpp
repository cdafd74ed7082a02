#include "confine/Confine.h"

#include "confine/Private.h"
#include "confine/Sanitizer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarnel::confine {

namespace {

bool Limit(int resource, rlim_t value) {
    const rlimit limit = {value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// The threads a child may have: enough for llvmpipe's and VTK's pools on this machine, far from thousands.
long ThreadBound(long asked) {
    if (asked > 0)
        return asked;
    const long processors = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    return std::clamp(4 * processors + 32, 64L, 512L);
}

} // namespace

void CloseAllBut(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    auto closeFrom = [&](unsigned from, unsigned to) {
        if (from > to)
            return;
        if (::syscall(SYS_close_range, from, to, 0) == 0)
            return;
        // Kernels before 5.9: the descriptors that are open, as /proc lists them, else every number.
        if (DIR* fds = ::opendir("/proc/self/fd")) {
            const int own = ::dirfd(fds);
            std::vector<int> open;
            while (const dirent* e = ::readdir(fds)) {
                const int fd = std::atoi(e->d_name);
                if (e->d_name[0] >= '0' && e->d_name[0] <= '9' && fd != own && unsigned(fd) >= from &&
                    unsigned(fd) <= to)
                    open.push_back(fd);
            }
            ::closedir(fds);
            for (int fd : open)
                ::close(fd);
            return;
        }
        const long max = ::sysconf(_SC_OPEN_MAX);
        for (long fd = from; fd <= std::min<long>(to, max > 0 ? max : 65536); ++fd)
            ::close(int(fd));
    };
    unsigned from = 3;
    for (int fd : keep) {
        if (fd < int(from))
            continue;
        closeFrom(from, unsigned(fd) - 1);
        from = unsigned(fd) + 1;
    }
    closeFrom(from, ~0u);
}

void DiscardCallerStreams() {
    // Standard input and output are the caller's, never the child's: a taken-over child must not read what
    // the caller is fed, nor write into what it hands on (a file manager may read the picture from tarnel's
    // standard output), nor keep that stream open past the run. Its answers and pictures have descriptors
    // of their own.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return;
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
}

Outcome LeaveTerminal() {
    std::string detail;
    // A new session has no controlling terminal: /dev/tty opens nothing, and no terminal takes input
    // pushed into it from here.
    const bool session = ::setsid() >= 0;
    if (!session)
        detail = std::string("no session of its own (") + std::strerror(errno) + ")";
    DiscardCallerStreams();
    if (::isatty(STDERR_FILENO)) // standard error stays, unless it is a terminal
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
    return {"session", session, session ? "a session of its own, no terminal on its descriptors" : detail};
}

Outcome SetLimits(const Plan& plan, bool ownUser) {
    std::string detail, missing;
    // AddressSanitizer's shadow memory is one vast mapping: its builds run without a memory bound.
    if (plan.memoryMiB > 0 && !kAddressSanitizer) {
        if (Limit(RLIMIT_DATA, rlim_t(plan.memoryMiB) << 20))
            detail += "data " + std::to_string(plan.memoryMiB) + " MiB, ";
        else
            missing += " data";
    }
    const long threads = ThreadBound(plan.threads);
    if (ownUser) { // counted in the child's own user namespace: its threads alone
        if (Limit(RLIMIT_NPROC, rlim_t(threads)))
            detail += std::to_string(threads) + " threads, ";
        else
            missing += " threads";
    }
    if (!Limit(RLIMIT_NOFILE, rlim_t(plan.openFiles)))
        missing += " files";
    if (!Limit(RLIMIT_FSIZE, rlim_t(plan.fileSizeMiB) << 20))
        missing += " file size";
    Limit(RLIMIT_CORE, 0);
    Limit(RLIMIT_MEMLOCK, 0);
    Limit(RLIMIT_MSGQUEUE, 0);
    detail += std::to_string(plan.openFiles) + " open files, files of at most " +
              std::to_string(plan.fileSizeMiB) + " MiB, no core dumps";
    if (!ownUser)
        detail += "; threads not bounded (no user namespace of its own)";
    if (!missing.empty())
        detail += "; refused:" + missing;
    return {"limits", missing.empty(), detail};
}

std::vector<Outcome> Confine(const Plan& plan) {
    std::vector<Outcome> outcomes;
    outcomes.push_back(LeaveTerminal());
    bool ownUser = false;
    outcomes.push_back(EnterNamespaces(plan, ownUser));
    outcomes.push_back(SetLimits(plan, ownUser));
    const bool noNewPrivileges = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    outcomes.push_back(
        {"no_new_privs", noNewPrivileges,
         noNewPrivileges ? "no program it could run would gain privileges" : std::strerror(errno)});
    outcomes.push_back(RestrictWithLandlock(plan));
    outcomes.push_back(InstallFilter(plan.filter, ::getpid()));
    return outcomes;
}

} // namespace tarnel::confine
