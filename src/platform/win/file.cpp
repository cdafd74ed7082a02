// The class library's files over Win32 files.
#include "afxfile.h"

#include <climits>

namespace {

constexpr __time64_t kSecondsFrom1601To1970 = 11644473600LL;

__time64_t ToTime(const FILETIME& ft) {
    const ULONGLONG ticks = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return __time64_t(ticks / 10'000'000) - kSecondsFrom1601To1970;
}

void FillStatus(const FILETIME& created, const FILETIME& accessed, const FILETIME& written, DWORD attributes,
                ULONGLONG size, LPCWSTR lpszName, CFileStatus& rStatus) {
    rStatus.m_ctime = CTime(ToTime(created));
    rStatus.m_atime = CTime(ToTime(accessed));
    rStatus.m_mtime = CTime(ToTime(written));
    rStatus.m_size = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : size;
    // The class library keeps the low byte of the attributes: read-only, hidden, system, folder, device.
    rStatus.m_attribute = BYTE(attributes & 0xFF);
    rStatus.m_strFullName = lpszName;
}

DWORD ShareMode(UINT nOpenFlags) {
    switch (nOpenFlags & 0x70) {
    case CFile::shareDenyWrite:
        return FILE_SHARE_READ;
    case CFile::shareDenyRead:
        return FILE_SHARE_WRITE;
    case CFile::shareDenyNone:
        return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    default: // exclusive, and the compatibility mode that means the same here
        return 0;
    }
}

} // namespace

int CFileException::OsErrorToException(LONG lOsError) {
    switch (lOsError) {
    case ERROR_SUCCESS:
        return none;
    case ERROR_FILE_NOT_FOUND:
        return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
        return badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
        return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return accessDenied;
    case ERROR_INVALID_HANDLE:
        return invalidFile;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK:
        return badSeek;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_CRC:
        return hardIO;
    case ERROR_SHARING_VIOLATION:
        return sharingViolation;
    case ERROR_LOCK_VIOLATION:
        return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return diskFull;
    case ERROR_HANDLE_EOF:
        return endOfFile;
    default:
        return genericException;
    }
}

bool CFile::IsOpen() const {
    return m_hFile != INVALID_HANDLE_VALUE;
}

CFile::~CFile() {
    if (IsOpen())
        ::CloseHandle(m_hFile);
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
    if (IsOpen())
        Close();
    if (lpszFileName == nullptr || *lpszFileName == 0)
        return fail(CFileException::badPath, ERROR_BAD_PATHNAME);
    DWORD access = GENERIC_READ;
    if ((nOpenFlags & 3) == modeWrite)
        access = GENERIC_WRITE;
    else if ((nOpenFlags & 3) == modeReadWrite)
        access = GENERIC_READ | GENERIC_WRITE;
    const bool create = (nOpenFlags & modeCreate) != 0;
    const DWORD disposition = !create                         ? OPEN_EXISTING
                              : (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS
                                                              : CREATE_ALWAYS;
    // A file that is made or truncated is opened as what the name itself is: a link there is not followed.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (create ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, (nOpenFlags & modeNoInherit) == 0};
    HANDLE h =
        ::CreateFileW(lpszFileName, access, ShareMode(nOpenFlags), &security, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const LONG err = LONG(::GetLastError());
        return fail(CFileException::OsErrorToException(err), err);
    }
    // Only files on a disk: reading a pipe, a console or a device could block for ever.
    BY_HANDLE_FILE_INFORMATION info = {};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        ::CloseHandle(h);
        return fail(CFileException::accessDenied, ERROR_ACCESS_DENIED);
    }
    m_hFile = h;
    m_strFileName = lpszFileName;
    return TRUE;
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
    if (!IsOpen())
        CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        DWORD n = 0;
        if (!::ReadFile(m_hFile, static_cast<char*>(lpBuf) + done, nCount - done, &n, nullptr))
            CFileException::ThrowOsError(LONG(::GetLastError()), m_strFileName);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void CFile::Write(const void* lpBuf, UINT nCount) {
    if (!IsOpen())
        CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
    UINT done = 0;
    while (done < nCount) {
        DWORD n = 0;
        if (!::WriteFile(m_hFile, static_cast<const char*>(lpBuf) + done, nCount - done, &n, nullptr))
            CFileException::ThrowOsError(LONG(::GetLastError()), m_strFileName);
        if (n == 0)
            CFileException::ThrowOsError(ERROR_DISK_FULL, m_strFileName);
        done += n;
    }
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    if (!IsOpen())
        CFileException::ThrowOsError(ERROR_INVALID_HANDLE, m_strFileName);
    const DWORD method = nFrom == current ? FILE_CURRENT : nFrom == end ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER distance, position;
    distance.QuadPart = lOff;
    if (!::SetFilePointerEx(m_hFile, distance, &position, method))
        throw new CFileException(CFileException::badSeek, LONG(::GetLastError()), m_strFileName);
    return ULONGLONG(position.QuadPart);
}

ULONGLONG CFile::GetLength() const {
    LARGE_INTEGER size;
    if (!IsOpen() || !::GetFileSizeEx(m_hFile, &size))
        CFileException::ThrowOsError(IsOpen() ? LONG(::GetLastError()) : ERROR_INVALID_HANDLE, m_strFileName);
    return ULONGLONG(size.QuadPart);
}

ULONGLONG CFile::GetPosition() const {
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    if (!IsOpen() || !::SetFilePointerEx(m_hFile, zero, &position, FILE_CURRENT))
        CFileException::ThrowOsError(IsOpen() ? LONG(::GetLastError()) : ERROR_INVALID_HANDLE, m_strFileName);
    return ULONGLONG(position.QuadPart);
}

void CFile::Close() {
    if (!IsOpen())
        return;
    HANDLE h = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(h))
        CFileException::ThrowOsError(LONG(::GetLastError()), m_strFileName);
}

void CFile::Abort() {
    if (IsOpen())
        ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

BOOL CFile::GetStatus(CFileStatus& rStatus) const {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!IsOpen() || !::GetFileInformationByHandle(m_hFile, &info))
        return FALSE;
    FillStatus(info.ftCreationTime, info.ftLastAccessTime, info.ftLastWriteTime, info.dwFileAttributes,
               (ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow, m_strFileName, rStatus);
    return TRUE;
}

// Any existing path has a status, folders included; asking never opens the file, so a pipe or a device is
// safe to ask about. A name that is no file on a disk (a device such as CON, a pipe) counts as a device.
BOOL CFile::GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus) {
    if (lpszFileName == nullptr || *lpszFileName == 0)
        return FALSE;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(lpszFileName, GetFileExInfoStandard, &data))
        return FALSE;
    FillStatus(data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime, data.dwFileAttributes,
               (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow, lpszFileName, rStatus);
    return TRUE;
}

void CFile::Remove(LPCWSTR lpszFileName) {
    if (!::DeleteFileW(lpszFileName))
        CFileException::ThrowOsError(LONG(::GetLastError()), lpszFileName);
}
