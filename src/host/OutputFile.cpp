#include "host/OutputFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Names being written, for the signal handler: a slot is filled before it is marked in use and marked free
// before its file is renamed, so the handler never reads half a name.
constexpr int kSlots = 512;
constexpr size_t kNameMax = 4096;
char g_names[kSlots][kNameMax];
volatile sig_atomic_t g_inUse[kSlots];

int Remember(const std::string& name) {
    if (name.size() >= kNameMax)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (!g_inUse[i]) {
            std::memcpy(g_names[i], name.c_str(), name.size() + 1);
            g_inUse[i] = 1;
            return i;
        }
    }
    return -1;
}

void Forget(int& slot) {
    if (slot >= 0)
        g_inUse[slot] = 0;
    slot = -1;
}

void OnStopSignal(int sig) {
    for (int i = 0; i < kSlots; ++i)
        if (g_inUse[i])
            ::unlink(g_names[i]);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

mode_t DefaultMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

void RemoveOutputFilesOnSignals() {
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::signal(sig, OnStopSignal);
}

bool OutputFile::Open(const std::string& target, int mode, std::string& error) {
    Discard();
    m_target = target;
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        error = "cannot write " + target + ": it is a folder";
        return false;
    }
    const mode_t wanted = mode >= 0 ? mode_t(mode) : exists ? (st.st_mode & 0777) : DefaultMode();

    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    // Hidden and not ending in .png, so that nobody takes a half-written file for a picture.
    std::string temp = folder + "." + name + ".XXXXXX";
    // mkstemp fills in the name inside the handler's table, so that no moment leaves the file unknown to it.
    int slot = Remember(temp);
    int fd = ::mkstemp(slot >= 0 ? g_names[slot] : temp.data());
    if (slot >= 0)
        temp = g_names[slot];
    if (fd >= 0) {
        ::fchmod(fd, wanted);
        m_temp = temp;
        m_slot = slot;
        m_fillInPlace = exists && S_ISREG(st.st_mode) && st.st_size == 0;
    } else {
        Forget(slot);
        fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, wanted);
        if (fd < 0) {
            error = "cannot write " + target + ": " + std::strerror(errno);
            return false;
        }
    }
    m_fd = fd;
    m_open = true;
    return true;
}

bool OutputFile::Commit(std::string& error) {
    if (!m_open) {
        error = "nothing was written";
        return false;
    }
    if (::close(m_fd) != 0) {
        error = "cannot write " + m_target + ": " + std::strerror(errno);
        m_fd = -1;
        Discard();
        return false;
    }
    m_fd = -1;
    if (m_fillInPlace && FillTarget()) {
        ::unlink(m_temp.c_str());
        Forget(m_slot);
        m_temp.clear();
        m_open = false;
        return true;
    }
    Forget(m_slot);
    if (!m_temp.empty() && ::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        error = "cannot write " + m_target + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    m_temp.clear();
    m_open = false;
    return true;
}

bool OutputFile::FillTarget() {
    const int from = ::open(m_temp.c_str(), O_RDONLY | O_CLOEXEC);
    const int to = from < 0 ? -1 : ::open(m_target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    bool ok = from >= 0 && to >= 0;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = ::write(to, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
    }
    if (to >= 0 && ::close(to) != 0)
        ok = false;
    if (from >= 0)
        ::close(from);
    if (!ok && to >= 0 && ::truncate(m_target.c_str(), 0) != 0) {
        // the rename that follows replaces it anyway
    }
    return ok;
}

void OutputFile::Discard() {
    if (!m_open)
        return;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_temp.empty())
        ::unlink(m_temp.c_str());
    else if (::truncate(m_target.c_str(), 0) != 0) {
        // the target was opened for truncation already; nothing more to undo
    }
    Forget(m_slot);
    m_temp.clear();
    m_open = false;
}
