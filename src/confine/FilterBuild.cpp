// The child's system-call filter built with libseccomp, from the calls of Calls.cpp: run once, at build time,
// by make_filter, whose program every child then installs.
#include "confine/Confine.h"
#include "confine/Private.h"
#include "confine/Sanitizer.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel::confine {

namespace {

// One comparison of a call's argument (libseccomp's SCMP_A0 and kin, with every field given).
scmp_arg_cmp Arg(unsigned int arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
    return {arg, op, a, b};
}

// Adds one rule; false with the call's name in failures when libseccomp refuses it. A call this architecture
// lacks is passed over.
bool Add(scmp_filter_ctx ctx, uint32_t action, const char* name, std::vector<std::string>& failures,
         std::initializer_list<scmp_arg_cmp> args = {}) {
    const int nr = ::seccomp_syscall_resolve_name(name);
    if (nr == __NR_SCMP_ERROR)
        return true;
    const int rc = ::seccomp_rule_add_array(ctx, action, nr, unsigned(args.size()), args.begin());
    if (rc != 0 && rc != -EEXIST)
        failures.push_back(std::string(name) + " (" + std::strerror(-rc) + ")");
    return rc == 0;
}

} // namespace

bool BuildFilter(pid_t self, PreparedFilter& out) {
    scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ERRNO(ENOSYS));
    if (ctx == nullptr) {
        out.problem = "libseccomp cannot start a filter";
        return false;
    }
    std::vector<std::string> failures;
    // A binary tree of the calls instead of a list: each call the child makes costs a few comparisons, not
    // as many as there are rules (rendering makes many, futex above all).
    ::seccomp_attr_set(ctx, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    const uint32_t allow = SCMP_ACT_ALLOW, refuse = SCMP_ACT_ERRNO(EPERM);
    for (const Call& call : AllowedCalls())
        Add(ctx, allow, call.name, failures);
    for (const Call& call : RefusedCalls())
        Add(ctx, refuse, call.name, failures);
    // Threads share the memory, the signal handlers and the thread group: anything else is a new process.
    const scmp_datum_t thread = CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD;
    Add(ctx, allow, "clone", failures, {Arg(0, SCMP_CMP_MASKED_EQ, thread, thread)});
    if (kAddressSanitizer) // LeakSanitizer's helper: the memory shared, no thread group
        Add(ctx, allow, "clone", failures, {Arg(0, SCMP_CMP_MASKED_EQ, CLONE_VM | CLONE_THREAD, CLONE_VM)});
    // Anonymous memory only private: shared anonymous memory lies outside RLIMIT_DATA.
    const scmp_datum_t type = MAP_ANONYMOUS | 0x0f; // 0x0f: the mapping type's bits
    Add(ctx, allow, "mmap", failures, {Arg(3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, 0)});
    Add(ctx, allow, "mmap", failures, {Arg(3, SCMP_CMP_MASKED_EQ, type, MAP_ANONYMOUS | MAP_PRIVATE)});
    // ioctl's request is an unsigned int, whose second byte names the driver: DRM ('d'), DMA buffers ('b')
    // and sync files ('>') are the render nodes' own, 'F' NVIDIA's driver's (Landlock lets no other device of
    // that letter open). The kernel ignores the upper half of the argument, so the filter masks it away too.
    // TCGETS only asks whether a descriptor is a terminal.
    Add(ctx, refuse, "ioctl", failures, {Arg(1, SCMP_CMP_MASKED_EQ, 0xffffffffu, TIOCSTI)});
    Add(ctx, refuse, "ioctl", failures, {Arg(1, SCMP_CMP_MASKED_EQ, 0xffffffffu, TIOCLINUX)});
    for (const scmp_datum_t driver : {'d', 'b', '>', 'F'})
        Add(ctx, allow, "ioctl", failures, {Arg(1, SCMP_CMP_MASKED_EQ, 0xff00u, driver << 8)});
    Add(ctx, allow, "ioctl", failures, {Arg(1, SCMP_CMP_MASKED_EQ, 0xffffffffu, TCGETS)});
    Add(ctx, refuse, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_SET_PDEATHSIG)});
    Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_SET_NAME)});
    Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_GET_NAME)});
    Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_GET_PDEATHSIG)});
    Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_GET_DUMPABLE)});
    Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_SET_VMA)});
    if (kAddressSanitizer) // LeakSanitizer lets its helper trace the process
        Add(ctx, allow, "prctl", failures, {Arg(0, SCMP_CMP_MASKED_EQ, 0xffffffffu, PR_SET_PTRACER)});
    // Signals and limits: the child itself (pid 0 and the child's own pid), never another process.
    const auto me = scmp_datum_t(self);
    for (const char* call : {"kill", "rt_sigqueueinfo"}) {
        Add(ctx, allow, call, failures, {Arg(0, SCMP_CMP_EQ, me)});
        Add(ctx, allow, call, failures, {Arg(0, SCMP_CMP_EQ, 0)});
    }
    for (const char* call : {"tgkill", "rt_tgsigqueueinfo"})
        Add(ctx, allow, call, failures, {Arg(0, SCMP_CMP_EQ, me)});
    Add(ctx, allow, "prlimit64", failures, {Arg(0, SCMP_CMP_EQ, 0)});
    Add(ctx, allow, "prlimit64", failures, {Arg(0, SCMP_CMP_EQ, me)});
    Add(ctx, allow, "kcmp", failures, {Arg(0, SCMP_CMP_EQ, me), Arg(1, SCMP_CMP_EQ, me)});
    // Scheduling: the calling thread (0) or the child, not the user's other processes. Mesa's threads that
    // name their own thread id are refused, and run at the child's priority.
    for (const scmp_datum_t who : {scmp_datum_t(0), me}) {
        Add(ctx, allow, "setpriority", failures,
            {Arg(0, SCMP_CMP_EQ, PRIO_PROCESS), Arg(1, SCMP_CMP_EQ, who)});
        Add(ctx, allow, "sched_setscheduler", failures, {Arg(0, SCMP_CMP_EQ, who)});
        Add(ctx, allow, "sched_setaffinity", failures, {Arg(0, SCMP_CMP_EQ, who)});
    }

    // The instructions, exported through a file in memory.
    const int fd = int(::syscall(SYS_memfd_create, "tarnel-filter", MFD_CLOEXEC));
    const int rc = fd >= 0 ? ::seccomp_export_bpf(ctx, fd) : -errno;
    ::seccomp_release(ctx);
    if (rc == 0) {
        const off_t size = ::lseek(fd, 0, SEEK_END);
        out.program.resize(size > 0 ? size_t(size) / sizeof(sock_filter) : 0);
        if (::pread(fd, out.program.data(), out.program.size() * sizeof(sock_filter), 0) !=
            ssize_t(out.program.size() * sizeof(sock_filter)))
            out.program.clear();
    }
    if (fd >= 0)
        ::close(fd);
    if (out.program.empty()) {
        out.problem = std::string("libseccomp cannot export it: ") + std::strerror(rc < 0 ? -rc : EIO);
        return false;
    }
    out.detail = std::to_string(AllowedCalls().size()) + " calls allowed, " +
                 std::to_string(CheckedCalls().size()) + " by their arguments, all else refused";
    if (!failures.empty()) {
        out.detail += "; rules not added:";
        for (const std::string& f : failures)
            out.detail += " " + f;
    }
    return true;
}

} // namespace tarnel::confine
