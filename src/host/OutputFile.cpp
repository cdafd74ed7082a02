#include "host/OutputFile.h"

#include "host/Escape.h"
#include "host/PngWriter.h"
#include "host/SignalSafeNames.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Names being written, for the signal handler: each is forgotten before its file is renamed.
using WrittenNames = SignalSafeNames<512>;
WrittenNames g_names;

void (*volatile g_stopHook)() = nullptr;
void (*volatile g_summaryHook)() = nullptr;

void OnStopSignal(int sig) {
    if (g_stopHook != nullptr)
        g_stopHook();
    for (int i = 0; i < WrittenNames::kSlots; ++i)
        if (g_names.InUse(i))
            ::unlink(g_names.Name(i));
    if (g_summaryHook != nullptr)
        g_summaryHook();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

mode_t DefaultMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::string KindOf(mode_t mode) {
    if (S_ISLNK(mode))
        return "it is a symbolic link";
    if (S_ISDIR(mode))
        return "it is a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "it is a device";
    if (S_ISFIFO(mode))
        return "it is a FIFO";
    if (S_ISSOCK(mode))
        return "it is a socket";
    return "it is not a regular file";
}

} // namespace

void SetStopSignalHook(void (*hook)()) {
    g_stopHook = hook;
}

void SetStopSummaryHook(void (*hook)()) {
    g_summaryHook = hook;
}

void RemoveOutputFilesOnSignals() {
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::signal(sig, OnStopSignal);
}

bool OutputFile::Refuse(const std::string& why, std::string& error) {
    m_refused = true;
    error = "cannot write " + Printable(m_target) + ": " + why;
    return false;
}

bool OutputFile::Open(const std::string& target, int mode, std::string& error) {
    Discard();
    m_target = target;
    m_refused = false;
    m_way = Way::Temporary;
    m_fillInPlace = false;
    if (target == "-")
        return OpenStandardOutput(error);

    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty())
        return Refuse(target.empty() ? "the name is empty" : "it names a folder", error);

    // lstat, never stat: a link is refused for what it is, wherever it points (or does not).
    struct stat st {};
    const bool exists = ::lstat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        error = "cannot write " + Printable(target) + ": " + std::strerror(errno);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode))
        return Refuse(KindOf(st.st_mode), error);
    if (exists) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
    }
    const mode_t wanted = mode >= 0 ? mode_t(mode) : exists ? (st.st_mode & 0777) : DefaultMode();

    // Hidden and not ending in .png, so that nobody takes a half-written file for a picture. A name too long
    // for that is cut short rather than written in place.
    long nameMax = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (nameMax <= 0 || nameMax > NAME_MAX)
        nameMax = NAME_MAX;
    const size_t room = size_t(std::max(1L, nameMax - long(std::strlen(".") + std::strlen(".XXXXXX"))));
    size_t keep = std::min(name.size(), room);
    while (keep > 1 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
        --keep; // not inside a UTF-8 character
    std::string temp = folder + "." + name.substr(0, keep) + ".XXXXXX";
    // mkstemp fills in the name inside the handler's table, so that no moment leaves the file unknown to it.
    // Its O_EXCL never follows a link planted under the name it picks.
    int slot = g_names.Remember(temp);
    const int fd = ::mkstemp(slot >= 0 ? g_names.NameToFill(slot) : temp.data());
    const int cannotCreate = errno;
    if (slot >= 0)
        temp = g_names.Name(slot);
    if (fd < 0) {
        g_names.Forget(slot);
        // Only a folder that takes no new file is a reason to write in place, and only over a file that is
        // there already: creating one by name could race with a link put there meanwhile.
        const bool folderClosed = cannotCreate == EACCES || cannotCreate == EPERM || cannotCreate == EROFS;
        if (!exists || !folderClosed) {
            error = "cannot write " + Printable(target) + ": " + std::strerror(cannotCreate);
            return false;
        }
        return OpenInPlace(cannotCreate, error);
    }
    ::fchmod(fd, wanted);
    m_mode = wanted;
    m_temp = temp;
    m_slot = slot;
    m_fillInPlace = exists && st.st_size == 0;
    m_fd = fd;
    m_open = true;
    return true;
}

bool OutputFile::OpenStandardOutput(std::string& error) {
    // A PNG on a terminal is noise at best, and its bytes may be taken for control sequences.
    if (::isatty(STDOUT_FILENO)) {
        m_refused = true;
        error = "will not write a PNG to a terminal";
        return false;
    }
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        error = std::string("cannot write to standard output: ") +
                (flags < 0 ? std::strerror(errno) : "it is open for reading only");
        return false;
    }
    // The picture waits in memory until it is checked: what a reader gets from a pipe cannot be taken back.
    m_fd = int(::syscall(SYS_memfd_create, "tarnel-picture", MFD_CLOEXEC));
    if (m_fd < 0) {
        error = std::string("cannot keep the picture in memory: ") + std::strerror(errno);
        return false;
    }
    m_way = Way::StandardOutput;
    m_open = true;
    return true;
}

bool OutputFile::OpenInPlace(int cannotCreate, std::string& error) {
    // Whatever may have taken the target's place since lstat: O_NOFOLLOW does not follow a link, O_NONBLOCK
    // does not wait on a FIFO, and nothing is emptied before fstat says this is the regular file seen.
    // Read-write: the parent reads back the header of what the child wrote before it keeps it.
    const int fd = ::open(m_target.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        struct stat now {};
        if (::lstat(m_target.c_str(), &now) == 0 && !S_ISREG(now.st_mode))
            return Refuse(KindOf(now.st_mode), error);
        error =
            "cannot write " + Printable(m_target) + ": " + std::strerror(why == ENOENT ? cannotCreate : why);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != m_dev || st.st_ino != m_ino) {
        ::close(fd);
        if (!S_ISREG(st.st_mode))
            return Refuse(KindOf(st.st_mode), error);
        error = "cannot write " + Printable(m_target) + ": it was replaced while being opened";
        return false;
    }
    // The extractor writes plainly; a regular file never blocks anyway.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (::ftruncate(fd, 0) != 0) {
        error = "cannot write " + Printable(m_target) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_mode = st.st_mode & 0777;
    m_fd = fd;
    m_way = Way::InPlace;
    m_open = true;
    return true;
}

bool OutputFile::HoldsPicture(SIZE asked, std::string& error) const {
    uint32_t width = 0, height = 0;
    if (m_open && ReadPngHeader(m_fd, width, height) && long(width) <= asked.cx && long(height) <= asked.cy)
        return true;
    error = "the extractor wrote no PNG within " + std::to_string(asked.cx) + " x " +
            std::to_string(asked.cy) + " pixels";
    return false;
}

bool OutputFile::Commit(std::string& error) {
    if (!m_open) {
        error = "nothing was written";
        return false;
    }
    if (m_way == Way::StandardOutput) { // standard output stays open for others
        const bool copied = CopyTo(STDOUT_FILENO);
        ::close(m_fd);
        m_fd = -1;
        m_open = false;
        if (!copied)
            error = std::string("cannot write to standard output: ") + std::strerror(errno);
        return copied;
    }
    ::fchmod(m_fd, m_mode); // the mode chosen at Open, whatever a writer did meanwhile
    if (m_way == Way::InPlace) {
        const bool closed = ::close(m_fd) == 0;
        const int why = errno;
        m_fd = -1;
        m_open = false;
        if (!closed)
            error = "cannot write " + Printable(m_target) + ": " + std::strerror(why);
        return closed;
    }
    if (m_fillInPlace && FillTarget()) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(m_temp.c_str());
        g_names.Forget(m_slot);
        m_temp.clear();
        m_open = false;
        return true;
    }
    if (::close(m_fd) != 0) {
        error = "cannot write " + Printable(m_target) + ": " + std::strerror(errno);
        m_fd = -1;
        Discard();
        return false;
    }
    m_fd = -1;
    // Something other than a file or a link that took the target's place meanwhile is left alone. Between
    // this look and the rename only the folder's owners can change the name again, and rename replaces a link
    // itself, never what it points at, so nothing is written through whatever lands there.
    struct stat now {};
    if (::lstat(m_target.c_str(), &now) == 0 && !S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode)) {
        error = "cannot write " + Printable(m_target) + ": " + KindOf(now.st_mode);
        Discard();
        return false;
    }
    g_names.Forget(m_slot);
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        error = "cannot write " + Printable(m_target) + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    m_temp.clear();
    m_open = false;
    return true;
}

bool OutputFile::FillTarget() {
    // The very file Open saw, reached without following a link or waiting on a FIFO, and emptied through this
    // descriptor only: a name can be swapped under us, a descriptor cannot.
    const int to = ::open(m_target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (to < 0)
        return false;
    struct stat st {};
    if (::fstat(to, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != m_dev || st.st_ino != m_ino) {
        ::close(to);
        return false;
    }
    bool ok = ::ftruncate(to, 0) == 0 && CopyTo(to);
    if (!ok && ::ftruncate(to, 0) != 0) {
        // the rename that follows replaces it anyway
    }
    if (::close(to) != 0)
        ok = false;
    return ok;
}

bool OutputFile::CopyTo(int to) {
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(m_fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        at += n;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            done += w;
        }
    }
}

void OutputFile::Discard() {
    if (!m_open)
        return;
    switch (m_way) {
    case Way::StandardOutput: // nothing went out yet
        if (m_fd >= 0)
            ::close(m_fd);
        break;
    case Way::InPlace: // emptied through the descriptor: the name may point elsewhere by now
        if (m_fd >= 0 && ::ftruncate(m_fd, 0) != 0) {
            // it was emptied on Open already; only this run's bytes are at stake
        }
        if (m_fd >= 0)
            ::close(m_fd);
        break;
    case Way::Temporary:
        if (m_fd >= 0)
            ::close(m_fd);
        ::unlink(m_temp.c_str());
        break;
    }
    m_fd = -1;
    g_names.Forget(m_slot);
    m_temp.clear();
    m_open = false;
}
