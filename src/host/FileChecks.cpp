#include "host/FileChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    const uid_t me = ::geteuid();
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
        if (st.st_uid != 0 && st.st_uid != me) {
            why = part + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
            return false;
        }
        if (othersWrite && (last || st.st_uid != 0 || (st.st_mode & S_ISVTX) == 0)) {
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
