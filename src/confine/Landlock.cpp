// Landlock, at the highest ABI this kernel has. Reading stays open where files are (a project's studies and
// the icon themes may lie anywhere), but not the devices: of /dev only the plain ones and the render nodes.
// Writing is confined to the child's folders, ioctls on devices to the GPU's; no TCP, no abstract
// Unix socket, no signal leaves the child. The constants are the kernel's; older headers lack the newer.
#include "confine/Private.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarnel::confine {

namespace {

// Filesystem rights, by ABI: 1 has up to kMakeSym, 2 adds kRefer, 3 kTruncate, 5 kIoctlDev.
constexpr uint64_t kExecute = 1u << 0, kWriteFile = 1u << 1, kReadFile = 1u << 2, kReadDir = 1u << 3,
                   kRemoveDir = 1u << 4, kRemoveFile = 1u << 5, kMakeChar = 1u << 6, kMakeDir = 1u << 7,
                   kMakeReg = 1u << 8, kMakeSock = 1u << 9, kMakeFifo = 1u << 10, kMakeBlock = 1u << 11,
                   kMakeSym = 1u << 12, kRefer = 1u << 13, kTruncate = 1u << 14, kIoctlDev = 1u << 15;
// Network rights (ABI 4) and scopes (ABI 6).
constexpr uint64_t kBindTcp = 1u << 0, kConnectTcp = 1u << 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1u << 0, kScopeSignal = 1u << 1;
constexpr uint32_t kCreateRulesetVersion = 1u << 0;
constexpr int kRulePathBeneath = 1;

struct RulesetAttr {
    uint64_t handledFs;
    uint64_t handledNet; // ABI 4
    uint64_t scoped;     // ABI 6
};
struct __attribute__((packed)) PathBeneath {
    uint64_t allowed;
    int32_t parentFd;
};

// The rights a rule on something that is no folder may carry.
constexpr uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

class Ruleset {
public:
    Ruleset(int fd, uint64_t handled) : m_fd(fd), m_handled(handled) {}
    ~Ruleset() { ::close(m_fd); }
    // Grants rights below path (or on it, for a file); a path that is missing is passed over.
    void Allow(const std::string& path, uint64_t rights) {
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            PathBeneath rule{rights & m_handled & (S_ISDIR(st.st_mode) ? ~uint64_t(0) : kFileRights), fd};
            if (rule.allowed != 0 && ::syscall(SYS_landlock_add_rule, m_fd, kRulePathBeneath, &rule, 0) != 0)
                ++m_failed;
        }
        ::close(fd);
    }
    int fd() const { return m_fd; }
    int failed() const { return m_failed; }

private:
    int m_fd;
    uint64_t m_handled;
    int m_failed = 0;
};

} // namespace

int LandlockAbi() {
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    return abi > 0 ? int(abi) : 0;
}

Outcome RestrictWithLandlock(const Plan& plan) {
    const int abi = LandlockAbi();
    if (abi < 1)
        return {"landlock", false, "this kernel has no Landlock: reads and writes are not confined"};
    const uint64_t writes = kWriteFile | kRemoveDir | kRemoveFile | kMakeChar | kMakeDir | kMakeReg |
                            kMakeSock | kMakeFifo | kMakeBlock | kMakeSym | (abi >= 2 ? kRefer : 0) |
                            (abi >= 3 ? kTruncate : 0);
    const uint64_t reads = kReadFile | kReadDir;
    RulesetAttr attr{kExecute | reads | writes | (abi >= 5 ? kIoctlDev : 0), 0, 0};
    size_t size = sizeof attr.handledFs;
    if (abi >= 4) {
        attr.handledNet = kBindTcp | kConnectTcp; // and no rule grants either
        size = offsetof(RulesetAttr, scoped);
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
        size = sizeof attr;
    }
    const int fd = int(::syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (fd < 0)
        return {"landlock", false, std::string("no ruleset: ") + std::strerror(errno)};
    Ruleset rules(fd, attr.handledFs);

    // Folders may be listed everywhere; files read everywhere but below /dev.
    rules.Allow("/", kReadDir);
    if (DIR* root = ::opendir("/")) {
        while (const dirent* e = ::readdir(root))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
                std::strcmp(e->d_name, "dev") != 0)
                rules.Allow(std::string("/") + e->d_name, kReadFile);
        ::closedir(root);
    }
    for (const char* device : {"/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"})
        rules.Allow(device, kReadFile);
    rules.Allow("/dev/null", kReadFile | kWriteFile | (abi >= 3 ? kTruncate : 0));
    // The render nodes: GPU drivers open them read-write and speak to them through ioctls; NVIDIA's own
    // driver has devices of its own (/dev/nvidiactl, /dev/nvidia0, ...).
    rules.Allow("/dev/dri", reads | kWriteFile | kIoctlDev);
    if (DIR* dev = ::opendir("/dev")) {
        while (const dirent* e = ::readdir(dev))
            if (std::strncmp(e->d_name, "nvidia", 6) == 0)
                rules.Allow(std::string("/dev/") + e->d_name, kReadFile | kWriteFile | kIoctlDev);
        ::closedir(dev);
    }
    // The child's own folder, and any the caller names.
    rules.Allow(plan.folder, reads | writes);
    for (const std::string& folder : plan.writable)
        rules.Allow(folder, reads | writes);

    if (::syscall(SYS_landlock_restrict_self, rules.fd(), 0) != 0)
        return {"landlock", false, std::string("cannot restrict: ") + std::strerror(errno)};
    std::string detail = "ABI " + std::to_string(abi) + ": writes only in the child's folders";
    detail += abi >= 5 ? ", device ioctls only on render nodes" : ", device ioctls not confined (ABI 5)";
    detail += abi >= 4 ? ", no TCP" : ", TCP not confined (ABI 4)";
    detail += abi >= 6 ? ", no abstract Unix socket or signal out of the child"
                       : ", abstract sockets and signals not scoped (ABI 6)";
    if (rules.failed() > 0)
        detail += "; " + std::to_string(rules.failed()) + " rules not added";
    return {"landlock", true, detail};
}

} // namespace tarnel::confine
