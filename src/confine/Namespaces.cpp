// Namespaces of the child's own. A user namespace takes every capability outside it away (root's too) and
// lets the child mount; in it, the private folder becomes a tmpfs whose size bounds what the child can leave
// there, all files together, and the network namespace has no route anywhere and none of the desktop's
// abstract sockets. An unprivileged user can make all of them where the kernel allows user namespaces.
#include "confine/Private.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tarnel::confine {

namespace {

bool WriteText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Gives up every capability the child holds in its namespace: it needed them only to mount.
bool DropCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capset, &header, none) == 0;
}

} // namespace

Outcome EnterNamespaces(const Plan& plan, bool& ownUser) {
    ownUser = false;
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC) != 0)
        return {"namespaces", false,
                std::string("no user namespace (") + std::strerror(errno) +
                    "): the folder's bytes and the threads are not bounded, the network is refused by "
                    "the filter alone"};
    ownUser = true;
    // The child keeps its own identity: its files are the user's.
    if (!WriteText("/proc/self/setgroups", "deny") ||
        !WriteText("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
        !WriteText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n"))
        return {"namespaces", false, std::string("cannot map the user: ") + std::strerror(errno)};
    std::string detail = "a user, mount, network and IPC namespace of its own";
    // Nothing mounted here reaches the parent's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        detail +=
            "; the folder is not bounded (mounts stay shared: " + std::string(std::strerror(errno)) + ")";
    } else {
        const std::string options = "size=" + std::to_string(plan.folderMiB) + "m,nr_inodes=4096,mode=0700";
        if (::mount("tarnel", plan.folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    options.c_str()) == 0)
            detail += "; its folder holds at most " + std::to_string(plan.folderMiB) + " MiB";
        else
            detail += "; the folder is not bounded (no tmpfs: " + std::string(std::strerror(errno)) + ")";
    }
    if (!DropCapabilities())
        detail += "; capabilities in it kept (" + std::string(std::strerror(errno)) + ")";
    return {"namespaces", true, detail};
}

} // namespace tarnel::confine
