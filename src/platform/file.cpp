#include "afxfile.h"
#include "platform/tarnel/filename.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tarnel::plat;

int CFileException::OsErrorToException(LONG lOsError) {
    switch (lOsError) {
    case 0:
        return none;
    case ENOENT:
        return fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return badPath;
    case EMFILE:
    case ENFILE:
        return tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return accessDenied;
    case EBADF:
        return invalidFile;
    case ESPIPE:
    case EOVERFLOW:
        return badSeek;
    case EIO:
        return hardIO;
    case ETXTBSY:
    case EBUSY:
        return sharingViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return diskFull;
    default:
        return genericException;
    }
}

bool CFile::IsOpen() const {
    return m_fd >= 0;
}

CFile::~CFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

BOOL CFile::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
    auto fail = [&](int cause, LONG err) {
        if (pError != nullptr) {
            pError->m_cause = cause;
            pError->m_lOsError = err;
            pError->m_strFileName = lpszFileName;
        }
        return FALSE;
    };
    if (m_fd >= 0)
        Close();
    const bool create = (nOpenFlags & modeCreate) != 0;
    std::string native;
    if (!(create ? ResolveNewFileName(lpszFileName, native) : ResolveFileName(lpszFileName, native)))
        return fail(lpszFileName == nullptr || *lpszFileName == 0 ? CFileException::badPath
                                                                  : CFileException::fileNotFound,
                    ENOENT);
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (nOpenFlags & 3) {
    case modeWrite:
        flags |= O_WRONLY;
        break;
    case modeReadWrite:
        flags |= O_RDWR;
        break;
    default:
        flags |= O_RDONLY;
        break;
    }
    if (create)
        flags |= O_CREAT | O_NOFOLLOW | ((nOpenFlags & modeNoTruncate) ? 0 : O_TRUNC);
    int fd;
    do
        fd = ::open(native.c_str(), flags, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(CFileException::OsErrorToException(errno), errno);
    // Only regular files: reading a FIFO or a device could block for ever, and a folder has no content.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(CFileException::accessDenied, EACCES);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_strFileName = lpszFileName;
    return TRUE;
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
    if (m_fd < 0)
        CFileException::ThrowOsError(EBADF, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        ssize_t n = ::read(m_fd, static_cast<char*>(lpBuf) + done, nCount - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            CFileException::ThrowOsError(errno, m_strFileName);
        if (n == 0)
            break;
        done += UINT(n);
    }
    return done;
}

void CFile::Write(const void* lpBuf, UINT nCount) {
    if (m_fd < 0)
        CFileException::ThrowOsError(EBADF, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        ssize_t n = ::write(m_fd, static_cast<const char*>(lpBuf) + done, nCount - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            CFileException::ThrowOsError(n < 0 ? errno : ENOSPC, m_strFileName);
        done += UINT(n);
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    if (m_fd < 0)
        CFileException::ThrowOsError(EBADF, m_strFileName);
    int whence = nFrom == current ? SEEK_CUR : nFrom == end ? SEEK_END : SEEK_SET;
    off_t pos = ::lseek(m_fd, off_t(lOff), whence);
    if (pos < 0)
        throw new CFileException(CFileException::badSeek, errno, m_strFileName);
    return ULONGLONG(pos);
}

ULONGLONG CFile::GetLength() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        CFileException::ThrowOsError(m_fd < 0 ? EBADF : errno, m_strFileName);
    return ULONGLONG(st.st_size);
}

ULONGLONG CFile::GetPosition() const {
    off_t pos = m_fd < 0 ? -1 : ::lseek(m_fd, 0, SEEK_CUR);
    if (pos < 0)
        CFileException::ThrowOsError(m_fd < 0 ? EBADF : errno, m_strFileName);
    return ULONGLONG(pos);
}

void CFile::Close() {
    if (m_fd < 0)
        return;
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR)
        CFileException::ThrowOsError(errno, m_strFileName);
}

void CFile::Abort() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

namespace {
void FillStatus(const struct stat& st, BYTE attribute, LPCWSTR lpszName, CFileStatus& rStatus) {
    rStatus.m_ctime = CTime(st.st_ctim.tv_sec);
    rStatus.m_mtime = CTime(st.st_mtim.tv_sec);
    rStatus.m_atime = CTime(st.st_atim.tv_sec);
    rStatus.m_size = S_ISREG(st.st_mode) ? ULONGLONG(st.st_size) : 0; // only a file has a length of its own
    rStatus.m_attribute = attribute;
    rStatus.m_strFullName = lpszName;
}
} // namespace

BOOL CFile::GetStatus(CFileStatus& rStatus) const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return FALSE;
    FillStatus(st, (st.st_mode & 0222) != 0 ? normal : readOnly, m_strFileName, rStatus);
    return TRUE;
}

// Any existing path has a status, folders included; reading one never opens it, so a FIFO or a device is
// safe to ask about. Only opening is kept to regular files.
BOOL CFile::GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus) {
    std::string native;
    struct stat st;
    if (!ResolveFileName(lpszFileName, native) || ::stat(native.c_str(), &st) != 0)
        return FALSE;
    BYTE attribute = ::access(native.c_str(), W_OK) == 0 ? normal : readOnly;
    if (S_ISDIR(st.st_mode))
        attribute |= directory;
    else if (!S_ISREG(st.st_mode))
        attribute |= device;
    FillStatus(st, attribute, lpszFileName, rStatus);
    return TRUE;
}

void CFile::Remove(LPCWSTR lpszFileName) {
    std::string native;
    if (!ResolveFileName(lpszFileName, native))
        CFileException::ThrowOsError(ENOENT, lpszFileName);
    if (::unlink(native.c_str()) != 0)
        CFileException::ThrowOsError(errno, lpszFileName);
}
