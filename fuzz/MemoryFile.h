// Fuzz inputs as files: the bytes in an anonymous in-memory file, reached through its /proc name, so that
// the code under test opens it by name as it opens any file.
#pragma once

#include "platform/tarnel/widestr.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

class MemoryFile {
public:
    MemoryFile(const char* name, const uint8_t* data, size_t size) : m_fd(::memfd_create(name, MFD_CLOEXEC)) {
        if (m_fd >= 0 && size > 0 && ::write(m_fd, data, size) != ssize_t(size)) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~MemoryFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    std::wstring path() const { return tarnel::plat::WidenFileName("/proc/self/fd/" + std::to_string(m_fd)); }
    // The same name as the C library takes it.
    std::string narrowPath() const { return "/proc/self/fd/" + std::to_string(m_fd); }

private:
    int m_fd;
};
