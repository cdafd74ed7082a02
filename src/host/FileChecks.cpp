#include "host/FileChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
