#include "platform/tarnel/stdfile.h"

#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"
#include "winbase.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnel::plat {

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr char kCtrlZ = 0x1A;

// The runtime's text mode over a descriptor: reading ends at the first Ctrl+Z, and CR LF reads as LF (a CR
// on its own stays). Only the start of the stream can be sought, which is what rewind needs; positions
// count the bytes read as text. Nothing is allocated once it is made: it is read from inside the C
// library's stream functions, where no exception may pass.
class TextStream {
public:
    explicit TextStream(int fd) : m_fd(fd) {}
    ~TextStream() { ::close(m_fd); }

    ssize_t Read(char* out, size_t size) {
        size_t n = 0;
        while (n < size) {
            if (m_pos == m_len && !Fill())
                break;
            const char* p = m_raw + m_pos;
            const size_t avail = std::min(m_len - m_pos, size - n);
            const char* cr = static_cast<const char*>(std::memchr(p, '\r', avail));
            const size_t take = cr != nullptr ? size_t(cr - p) : avail;
            std::memcpy(out + n, p, take);
            n += take;
            m_pos += take;
            if (cr == nullptr)
                continue;
            // A CR at the end of what has been read is decided by the byte after it.
            if (m_pos + 1 == m_len)
                Fill();
            if (m_pos + 1 < m_len && m_raw[m_pos + 1] == '\n') {
                ++m_pos; // the LF follows on its own
                continue;
            }
            out[n++] = '\r';
            ++m_pos;
        }
        if (n == 0 && m_failed)
            return -1;
        m_offset += off64_t(n);
        return ssize_t(n);
    }

    int Seek(off64_t* offset, int whence) {
        if (whence == SEEK_CUR && *offset == 0) {
            *offset = m_offset;
            return 0;
        }
        if (whence != SEEK_SET || *offset != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0) {
            errno = EINVAL;
            return -1;
        }
        m_len = m_pos = 0;
        m_offset = 0;
        m_ended = m_failed = false;
        return 0;
    }

private:
    // Reads more of the file behind the bytes not yet taken; false when nothing more came.
    bool Fill() {
        if (m_ended)
            return false;
        std::memmove(m_raw, m_raw + m_pos, m_len - m_pos);
        m_len -= m_pos;
        m_pos = 0;
        const size_t kept = m_len;
        ssize_t got;
        do
            got = ::read(m_fd, m_raw + kept, sizeof m_raw - kept);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            m_ended = true;
            m_failed = got < 0;
            return false;
        }
        m_len += size_t(got);
        if (const void* z = std::memchr(m_raw + kept, kCtrlZ, size_t(got))) {
            m_len = size_t(static_cast<const char*>(z) - m_raw);
            m_ended = true;
        }
        return m_len > kept;
    }

    int m_fd;
    char m_raw[kChunk + 1]; // read from the file; the bytes from m_pos to m_len are not yet taken
    size_t m_len = 0;
    size_t m_pos = 0;
    off64_t m_offset = 0;  // text bytes handed out
    bool m_ended = false;  // the end of the file, a Ctrl+Z or a read error has been met
    bool m_failed = false; // a read error
};

FILE* OpenTextStream(int fd) {
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buf, size_t size) {
        return static_cast<TextStream*>(cookie)->Read(buf, size);
    };
    io.seek = [](void* cookie, off64_t* offset, int whence) {
        return static_cast<TextStream*>(cookie)->Seek(offset, whence);
    };
    io.close = [](void* cookie) {
        delete static_cast<TextStream*>(cookie);
        return 0;
    };
    auto* text = new (std::nothrow) TextStream(fd);
    if (text == nullptr) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    FILE* stream = ::fopencookie(text, "r", io);
    if (stream == nullptr) {
        int error = errno;
        delete text;
        errno = error;
    }
    return stream;
}

} // namespace

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
    if (std::strchr(mode, 'b') == nullptr)
        return OpenTextStream(fd);
    FILE* stream = ::fdopen(fd, "r");
    if (stream == nullptr) {
        int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

} // namespace tarnel::plat

extern "C" FILE* _fsopen(const char* filename, const char* mode, int) {
    return tarnel::plat::OpenRegularFile(filename, mode);
}
