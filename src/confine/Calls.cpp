// The calls of the child's system-call filter: an allow list of what its real paths use (a study, a project,
// the icon fallback, a mesh through llvmpipe, measured with strace) and what GPU drivers need on a desktop
// (DRM ioctls, large mappings, threads), each with its reason. Everything else fails with ENOSYS, as a call
// this kernel lacks would, so that libraries take their fallbacks; the calls named in RefusedCalls fail with
// EPERM.
#include "confine/Confine.h"
#include "confine/Private.h"
#include "confine/Sanitizer.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel::confine {

const std::vector<Call>& AllowedCalls() {
    static const std::vector<Call> calls = [] {
        std::vector<Call> c = {
            // Memory.
            {"brk", "the heap"},
            {"munmap", "mappings"},
            {"mremap", "mappings"},
            {"mprotect", "mappings: the loader, LLVM's generated code"},
            {"madvise", "mappings: allocators give memory back"},
            {"membarrier", "threads: code that runs on several processors"},
            // Files: reading the file, its studies, icon themes, libraries; writing the child's own folder.
            {"read", "files"},
            {"write", "files: OUTPUT, temporary pictures, messages"},
            {"pread64", "files"},
            {"pwrite64", "files"},
            {"readv", "files"},
            {"writev", "files"},
            {"open", "files"},
            {"openat", "files"},
            {"close", "files"},
            {"close_range", "files"},
            {"lseek", "files"},
            {"stat", "files"},
            {"fstat", "files"},
            {"lstat", "files"},
            {"newfstatat", "files"},
            {"statx", "files"},
            {"statfs", "files"},
            {"fstatfs", "files"},
            {"access", "files"},
            {"faccessat", "files"},
            {"faccessat2", "files"},
            {"readlink", "files: the file layer's name matching, /proc/self"},
            {"readlinkat", "files"},
            {"getdents64", "files: a folder's names, matched without regard to case"},
            {"getcwd", "files: relative names"},
            {"dup", "files"},
            {"dup2", "files"},
            {"dup3", "files"},
            {"fcntl", "files: locks, flags"},
            {"flock", "Mesa's shader cache, in the child's folder"},
            {"ftruncate", "Mesa's shader cache, in the child's folder"},
            {"fallocate", "Mesa's shader cache, in the child's folder"},
            {"fsync", "files"},
            {"fdatasync", "files"},
            {"rename", "Mesa's shader cache, temporary pictures"},
            {"renameat", "Mesa's shader cache, temporary pictures"},
            {"renameat2", "Mesa's shader cache, temporary pictures"},
            {"unlink", "temporary pictures"},
            {"unlinkat", "temporary pictures"},
            {"mkdir", "Mesa's shader cache"},
            {"mkdirat", "Mesa's shader cache"},
            {"rmdir", "temporary folders"},
            {"umask", "files"},
            {"utimensat", "Mesa's shader cache"},
            // Waiting and events.
            {"pipe2", "threads' wake-ups (Mesa, GLib)"},
            {"eventfd2", "threads' wake-ups (Mesa, GLib)"},
            {"poll", "waiting"},
            {"ppoll", "waiting"},
            {"select", "waiting"},
            {"pselect6", "waiting"},
            {"epoll_create1", "waiting (GLib)"},
            {"epoll_ctl", "waiting (GLib)"},
            {"epoll_wait", "waiting (GLib)"},
            {"epoll_pwait", "waiting (GLib)"},
            {"futex", "threads"},
            {"set_robust_list", "threads"},
            {"get_robust_list", "threads"},
            {"rseq", "threads"},
            {"set_tid_address", "threads"},
            {"gettid", "threads"},
            {"sched_yield", "threads"},
            {"sched_getaffinity", "threads: llvmpipe and VTK size their pools"},
            {"sched_getscheduler", "threads"},
            {"sched_getparam", "threads"},
            {"getpriority", "threads"},
            {"nanosleep", "waiting"},
            {"clock_nanosleep", "waiting"},
            {"clock_gettime", "time"},
            {"clock_getres", "time"},
            {"gettimeofday", "time"},
            {"time", "time"},
            {"times", "time: VTK's timers"},
            {"getrusage", "time"},
            // The process itself.
            {"getpid", "identity"},
            {"getppid", "identity"},
            {"getuid", "identity"},
            {"geteuid", "identity"},
            {"getgid", "identity"},
            {"getegid", "identity"},
            {"getgroups", "identity"},
            {"getresuid", "identity"},
            {"getresgid", "identity"},
            {"getpgrp", "identity"},
            {"getsid", "identity"},
            {"uname", "the system: Mesa and LLVM ask"},
            {"sysinfo", "the system: memory, for caches' sizes"},
            {"getrandom", "random numbers: hash tables"},
            {"getrlimit", "the child's limits"},
            {"setrlimit", "the child's limits: only lowered, since soft and hard are the same"},
            {"sigaltstack", "signals"},
            {"rt_sigaction", "signals"},
            {"rt_sigprocmask", "signals"},
            {"rt_sigreturn", "signals"},
            {"rt_sigtimedwait", "signals"},
            {"rt_sigsuspend", "signals"},
            {"restart_syscall", "signals"},
            {"exit", "a thread's end"},
            {"exit_group", "the child's end"},
            {"arch_prctl", "threads' storage"},
            {"seccomp", "filters: one more can only refuse more"},
            {"landlock_create_ruleset", "Landlock: a rule more can only refuse more"},
            {"landlock_add_rule", "Landlock: a rule more can only refuse more"},
            {"landlock_restrict_self", "Landlock: a rule more can only refuse more"},
        };
        // LeakSanitizer's exit check lists and stops the threads from a helper of its own, through ptrace,
        // the old getdents and waiting: sanitizer builds allow them.
        if (kAddressSanitizer)
            for (const char* name : {"ptrace", "getdents", "wait4", "waitid"})
                c.push_back({name, "LeakSanitizer's exit check (sanitizer builds only)"});
        return c;
    }();
    return calls;
}

const std::vector<Call>& CheckedCalls() {
    static const std::vector<Call> calls = {
        {"clone", "threads only: a new process (no CLONE_THREAD) is refused. clone3, whose flags a filter "
                  "cannot read, fails with ENOSYS like every call not named here, and the C library then "
                  "uses clone"},
        {"mmap", "all but anonymous shared memory, which the memory bound would not count"},
        {"ioctl",
         "the GPU's (DRM, DMA buffers, sync files, NVIDIA's) and TCGETS; never TIOCSTI or TIOCLINUX"},
        {"prctl", "thread names and questions; never a change of the parent-death signal"},
        {"prlimit64", "the child's own limits only"},
        {"kill", "the child itself only"},
        {"tgkill", "the child's own threads only"},
        {"rt_sigqueueinfo", "the child itself only"},
        {"rt_tgsigqueueinfo", "the child's own threads only"},
        {"kcmp", "Mesa compares its own descriptors; the child's only"},
        {"setpriority", "the child's own priority only, never another process's"},
        {"sched_setscheduler", "the child's own scheduling only"},
        {"sched_setaffinity", "the child's own processors only"},
    };
    return calls;
}

const std::vector<Call>& RefusedCalls() {
    static const std::vector<Call> calls = [] {
        std::vector<Call> c = {
            {"execve", "a decoder never runs a program"},
            {"execveat", "a decoder never runs a program"},
            {"fork", "new processes: the child is the one process a file gets"},
            {"vfork", "new processes: the child is the one process a file gets"},
            {"socket", "no network and no display server: files are read, and EGL renders surfaceless"},
            {"socketpair", "no sockets of any kind"},
            {"connect", "no sockets of any kind"},
            {"bind", "no sockets of any kind"},
            {"listen", "no sockets of any kind"},
            {"accept", "no sockets of any kind"},
            {"accept4", "no sockets of any kind"},
            {"sendto", "no sockets of any kind"},
            {"sendmsg", "no sockets of any kind"},
            {"sendmmsg", "no sockets of any kind"},
            {"recvfrom", "no sockets of any kind"},
            {"recvmsg", "no sockets of any kind"},
            {"recvmmsg", "no sockets of any kind"},
            {"getsockopt", "no sockets of any kind"},
            {"setsockopt", "no sockets of any kind"},
            {"shutdown", "no sockets of any kind"},
            {"io_uring_setup", "io_uring reaches sockets and files round the filter"},
            {"io_uring_enter", "io_uring reaches sockets and files round the filter"},
            {"io_uring_register", "io_uring reaches sockets and files round the filter"},
            {"memfd_create",
             "memory the memory bound would not count; off-screen rendering shares no buffer"},
            {"memfd_secret", "memory the memory bound would not count"},
            {"shmget", "shared memory the memory bound would not count"},
            {"shmat", "shared memory the memory bound would not count"},
            {"userfaultfd", "a tool of exploits, used by nothing here"},
            {"pidfd_open", "other processes"},
            {"pidfd_send_signal", "other processes"},
            {"pidfd_getfd", "other processes"},
            {"tkill", "signals to threads of any process: tgkill serves the child's own"},
            {"process_vm_readv", "other processes' memory"},
            {"process_vm_writev", "other processes' memory"},
            {"chmod", "a file's mode is the parent's to set"},
            {"fchmod", "a file's mode is the parent's to set"},
            {"fchmodat", "a file's mode is the parent's to set"},
            {"chown", "owners"},
            {"fchown", "owners"},
            {"lchown", "owners"},
            {"fchownat", "owners"},
            {"link", "links"},
            {"linkat", "links"},
            {"symlink", "links"},
            {"symlinkat", "links"},
            {"mknod", "devices"},
            {"mknodat", "devices"},
            {"mount", "mounting"},
            {"umount2", "mounting"},
            {"pivot_root", "mounting"},
            {"chroot", "mounting"},
            {"move_mount", "mounting"},
            {"open_tree", "mounting"},
            {"fsopen", "mounting"},
            {"fsmount", "mounting"},
            {"fspick", "mounting"},
            {"mount_setattr", "mounting"},
            {"unshare", "new namespaces"},
            {"setns", "other namespaces"},
            {"keyctl", "key management"},
            {"add_key", "key management"},
            {"request_key", "key management"},
            {"bpf", "kernel programs"},
            {"perf_event_open", "kernel tracing"},
            {"init_module", "kernel modules"},
            {"finit_module", "kernel modules"},
            {"delete_module", "kernel modules"},
            {"kexec_load", "another kernel"},
            {"reboot", "the machine itself"},
            {"swapon", "the machine itself"},
            {"swapoff", "the machine itself"},
            {"setsid", "the child has its session; a new one gains nothing"},
            {"setpgid", "process groups"},
            {"setuid", "identities"},
            {"setgid", "identities"},
            {"setreuid", "identities"},
            {"setregid", "identities"},
            {"setresuid", "identities"},
            {"setresgid", "identities"},
            {"setgroups", "identities"},
            {"capset", "capabilities"},
            {"personality", "execution domains"},
        };
        // LeakSanitizer inspects the process through ptrace from a helper that shares its memory, when it
        // exits: sanitizer builds allow ptrace and waiting (AllowedCalls), and clone for that helper.
        if (!kAddressSanitizer)
            for (const Call& call :
                 {Call{"ptrace", "other processes"}, Call{"wait4", "the child starts no process to wait for"},
                  Call{"waitid", "the child starts no process to wait for"}})
                c.push_back(call);
        return c;
    }();
    return calls;
}

} // namespace tarnel::confine
