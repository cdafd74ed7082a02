#include "platform/stdfile.h"

#include "platform/filename.h"
#include "platform/widestr.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* OpenRegularFile(const char* name, const char* mode) {
    if (mode == nullptr || mode[0] != 'r' || std::strspn(mode + 1, "bt") != std::strlen(mode + 1)) {
        errno = EINVAL;
        return nullptr;
    }
    std::string native;
    if (name == nullptr || !ResolveFileName(WidenFileName(name).c_str(), native)) {
        errno = ENOENT;
        return nullptr;
    }
    // Non-blocking, so that opening a FIFO without a writer returns at once and can be refused.
    int fd;
    do
        fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EACCES;
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* stream = ::fdopen(fd, "r");
    if (stream == nullptr) {
        int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}
