#include "host/Confine.h"

#include "host/Sanitizer.h"
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void Limit(int resource, rlim_t value) {
    const rlimit limit = {value, value};
    ::setrlimit(resource, &limit);
}

// The seccomp filter: allow by default, refuse the table's calls with EPERM, refuse clone3 with ENOSYS (its
// flags cannot be read by a filter; the C library then falls back to clone), and allow clone only for
// threads and for vfork-like children that share the memory (a child that shares the memory can do nothing
// the process cannot, and exec is refused).
std::string InstallFilter() {
    scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ALLOW);
    if (ctx == nullptr)
        return "no system-call filter: libseccomp cannot start one";
    // The kernel would otherwise also switch speculative store bypass off for the child (a defence for
    // sandboxes that run code of others, such as JavaScript). The child runs only its own code, and that
    // switch slows every part of it.
    int rc = ::seccomp_attr_set(ctx, SCMP_FLTATR_CTL_SSB, 1);
    for (const RefusedCall& call : RefusedCalls()) {
        const int nr = ::seccomp_syscall_resolve_name(call.name);
        if (nr == __NR_SCMP_ERROR)
            continue; // not a call of this architecture
        rc = rc != 0 ? rc : ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), nr, 0);
    }
    rc = rc != 0 ? rc : ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    rc = rc != 0 ? rc
                 : ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                      SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_VM | CLONE_THREAD, 0));
    rc = rc != 0 ? rc : ::seccomp_load(ctx);
    ::seccomp_release(ctx);
    return rc == 0 ? "" : std::string("no system-call filter: ") + std::strerror(-rc);
}

// Landlock: the write rights that this kernel knows are handled, and given back below the folders named.
std::string RestrictWrites(const std::vector<std::string>& folders) {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return "no Landlock on this kernel: writes are not confined to the child's folders";
    __u64 writes = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                   LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                   LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                   LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
#ifdef LANDLOCK_ACCESS_FS_REFER
    if (abi >= 2)
        writes |= LANDLOCK_ACCESS_FS_REFER;
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
    if (abi >= 3)
        writes |= LANDLOCK_ACCESS_FS_TRUNCATE;
#else
    if (abi >= 3)
        writes |= 1ULL << 14; // LANDLOCK_ACCESS_FS_TRUNCATE, newer than these headers
#endif
    landlock_ruleset_attr attr{};
    attr.handled_access_fs = writes;
    const int ruleset = int(::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
    if (ruleset < 0)
        return std::string("no Landlock ruleset: ") + std::strerror(errno);
    for (const std::string& folder : folders) {
        const int fd = ::open(folder.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        landlock_path_beneath_attr beneath{};
        // A device (the render nodes) takes only the rights of a file.
        beneath.allowed_access = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)
                                     ? writes & (LANDLOCK_ACCESS_FS_WRITE_FILE | (abi >= 3 ? 1ULL << 14 : 0))
                                     : writes;
        beneath.parent_fd = fd;
        ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0);
        ::close(fd);
    }
    const long rc = ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(ruleset);
    return rc == 0 ? "" : std::string("no Landlock: ") + std::strerror(errno);
}

} // namespace

const std::vector<RefusedCall>& RefusedCalls() {
    static const std::vector<RefusedCall> calls = [] {
        std::vector<RefusedCall> c = {
            {"execve", "a decoder never runs a program"},
            {"execveat", "a decoder never runs a program"},
            {"fork", "new processes: the child is the one process a file gets"},
            {"vfork", "new processes: the child is the one process a file gets"},
            {"socket", "no network and no display server: files are read, and EGL renders surfaceless"},
            {"mount", "mounting"},
            {"umount2", "mounting"},
            {"pivot_root", "mounting"},
            {"chroot", "mounting"},
            {"move_mount", "mounting"},
            {"open_tree", "mounting"},
            {"fsopen", "mounting"},
            {"fsmount", "mounting"},
            {"fspick", "mounting"},
            {"unshare", "new namespaces"},
            {"setns", "other namespaces"},
            {"keyctl", "key management"},
            {"add_key", "key management"},
            {"request_key", "key management"},
            {"process_vm_readv", "other processes' memory"},
            {"process_vm_writev", "other processes' memory"},
            {"bpf", "kernel programs"},
            {"perf_event_open", "kernel tracing"},
            {"init_module", "kernel modules"},
            {"finit_module", "kernel modules"},
            {"delete_module", "kernel modules"},
            {"kexec_load", "another kernel"},
            {"reboot", "the machine itself"},
            {"swapon", "the machine itself"},
            {"swapoff", "the machine itself"},
        };
        // LeakSanitizer inspects the process through ptrace when it exits, so sanitizer builds keep it.
        if (!kAddressSanitizer)
            c.push_back({"ptrace", "other processes"});
        return c;
    }();
    return calls;
}

std::vector<std::string> WritableFolders(const std::string& temporaryFolder) {
    std::vector<std::string> folders = {temporaryFolder, "/dev/null", "/dev/dri"};
    // Mesa's shader cache, where Mesa keeps it: the run's choice, or the user's cache folder.
    if (const char* mesa = std::getenv("MESA_SHADER_CACHE_DIR"); mesa != nullptr && mesa[0] == '/') {
        folders.push_back(mesa);
    } else {
        std::string cache;
        if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/')
            cache = xdg;
        else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
            cache = std::string(home) + "/.cache";
        if (!cache.empty()) {
            // Mesa makes its folder when it first writes; with writes confined it could not, so it is made
            // here, where the user's cache folder exists.
            const std::string shaders = cache + "/mesa_shader_cache";
            struct stat st {};
            if (::stat(cache.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                ::mkdir(shaders.c_str(), 0700);
            folders.push_back(shaders);
        }
    }
    return folders;
}

std::vector<std::string> Confine(const std::string& temporaryFolder, const ConfinementLimits& limits) {
    std::vector<std::string> missing;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing.push_back(std::string("no_new_privs: ") + std::strerror(errno));
    // AddressSanitizer's shadow memory is one vast mapping: its builds run without a memory bound.
    if (limits.memoryMiB > 0 && !kAddressSanitizer)
        Limit(RLIMIT_DATA, rlim_t(limits.memoryMiB) << 20);
    Limit(RLIMIT_NOFILE, rlim_t(limits.openFiles));
    Limit(RLIMIT_FSIZE, rlim_t(limits.fileSizeMiB) << 20);
    Limit(RLIMIT_CORE, 0);
    if (std::string problem = RestrictWrites(WritableFolders(temporaryFolder)); !problem.empty())
        missing.push_back(problem);
    if (std::string problem = InstallFilter(); !problem.empty())
        missing.push_back(problem);
    return missing;
}
