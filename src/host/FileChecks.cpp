#include "host/FileChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string ReadProblem(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? "not found"
               : errno == EACCES                   ? "permission denied"
                                                   : std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? "permission denied" : std::strerror(errno);
    ::close(fd);
    return {};
}

namespace {

// The user the kernel shows as the owner of a file whose real owner has no name in this user namespace.
uid_t OverflowUser() {
    uid_t uid = 65534;
    if (std::FILE* f = std::fopen("/proc/sys/kernel/overflowuid", "re")) {
        unsigned long value = 0;
        if (std::fscanf(f, "%lu", &value) == 1)
            uid = uid_t(value);
        std::fclose(f);
    }
    return uid;
}

// Whether uid has a name in this process's user namespace: some line of /proc/self/uid_map maps it. Read
// failing, every user is taken to have one (the initial namespace, where nobody is hidden).
bool IsMappedUser(uid_t uid) {
    std::FILE* f = std::fopen("/proc/self/uid_map", "re");
    if (f == nullptr)
        return true;
    bool mapped = false;
    unsigned long inside = 0, outside = 0, count = 0;
    while (!mapped && std::fscanf(f, "%lu %lu %lu", &inside, &outside, &count) == 3)
        mapped = uid >= inside && uid - inside < count;
    std::fclose(f);
    return mapped;
}

} // namespace

Ownership OwnerOf(const char* path, const struct stat& st) {
    if (st.st_uid == 0 || st.st_uid == ::geteuid())
        return Ownership::RootOrMe;
    if (st.st_uid != OverflowUser() || IsMappedUser(st.st_uid))
        return Ownership::AnotherUser;
    // The owner is outside this namespace. Nobody inside it can change what lies on a read-only mount (the
    // kernel locks a mount that a namespace inherited read-only), and whoever made the namespace chose to
    // show it: GNOME's sandbox binds /usr so, where root's files show as the overflow user.
    struct statvfs fs {};
    if (::statvfs(path, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0)
        return Ownership::HiddenReadOnly;
    return Ownership::HiddenWritable;
}

bool IsTrustworthy(const std::string& path, std::string& why) {
    if (path.empty() || path[0] != '/') {
        why = path + " is not named by an absolute path";
        return false;
    }
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) {
        if (errno == ENOENT)
            return true; // nothing there to trust or distrust: loading it says that it is missing
        why = path + ": " + std::strerror(errno);
        return false;
    }
    const std::string full = real;
    for (size_t end = 0; end != std::string::npos;) {
        end = full.find('/', end + 1);
        const std::string part = end == std::string::npos ? full : full.substr(0, end == 0 ? 1 : end);
        struct stat st {};
        if (::lstat(part.c_str(), &st) != 0) {
            why = part + ": " + std::strerror(errno);
            return false;
        }
        const bool last = end == std::string::npos;
        const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        const Ownership owner = OwnerOf(part.c_str(), st);
        if (owner == Ownership::AnotherUser) {
            why = part + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
            return false;
        }
        if (owner == Ownership::HiddenWritable) {
            why = part + " belongs to a user this user namespace does not show (uid " +
                  std::to_string(st.st_uid) + "), on a mount that may be written";
            return false;
        }
        // A folder with the sticky bit that others may write is safe only where its owner is root (or hidden
        // behind a read-only mount, as /tmp bound into a sandbox would be).
        const bool rootLike = st.st_uid == 0 || owner == Ownership::HiddenReadOnly;
        if (othersWrite && (last || !rootLike || (st.st_mode & S_ISVTX) == 0)) {
            why = part + " may be changed by other users (mode " + [&] {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
                return std::string(mode);
            }() + ")";
            return false;
        }
        if (last && !S_ISREG(st.st_mode)) {
            why = part + " is not a regular file";
            return false;
        }
    }
    return true;
}

int OpenTrustedModule(const std::string& path, std::string& realPath, std::string& why) {
    char real[PATH_MAX];
    if (path.empty() || path[0] != '/') {
        why = path + " is not named by an absolute path";
        return -1;
    }
    if (::realpath(path.c_str(), real) == nullptr) {
        why = "cannot load " + path + ": " + std::strerror(errno);
        return -1;
    }
    realPath = real;
    if (!IsTrustworthy(realPath, why))
        return -1;
    const int fd = ::open(real, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot load " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat opened {
    }, judged{};
    if (::fstat(fd, &opened) != 0 || ::lstat(real, &judged) != 0 || opened.st_dev != judged.st_dev ||
        opened.st_ino != judged.st_ino || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        why = realPath + " changed while it was checked";
        return -1;
    }
    return fd;
}
