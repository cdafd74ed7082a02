// The class library's file classes, over POSIX files on Linux and Win32 files on Windows. On Linux every name
// goes through the platform's name matching (filename.h). Only regular files are opened: a FIFO, device or
// folder (a pipe or console on Windows) is refused rather than read. A file opened with modeCreate is never
// reached through a symbolic link (or another reparse point), so a link planted under a known name cannot
// redirect what is written.
#pragma once

#include "afx.h"

#include <vector>

class CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };
    explicit CFileException(int cause = none, LONG lOsError = -1, LPCWSTR lpszFileName = nullptr)
        : m_cause(cause), m_lOsError(lOsError), m_strFileName(lpszFileName) {}

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;

    TARNEL_API static int OsErrorToException(LONG lOsError);
    [[noreturn]] TARNEL_API static void ThrowOsError(LONG lOsError, LPCWSTR lpszFileName = nullptr);
};

struct CFileStatus {
    CTime m_ctime;
    CTime m_mtime;
    CTime m_atime;
    ULONGLONG m_size = 0;
    BYTE m_attribute = 0;
    CString m_strFullName;
};

class TARNEL_API CFile : public CObject {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };
    // device: neither a regular file nor a folder (a FIFO, socket or device node); FILE_ATTRIBUTE_DEVICE's
    // value.
    enum Attribute {
        normal = 0x00,
        readOnly = 0x01,
        hidden = 0x02,
        system = 0x04,
        directory = 0x10,
        device = 0x40
    };

    CFile() = default;
    // Opens the file or throws a CFileException.
    CFile(LPCWSTR lpszFileName, UINT nOpenFlags);
    ~CFile() override;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    virtual BOOL Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    virtual UINT Read(void* lpBuf, UINT nCount);
    virtual void Write(const void* lpBuf, UINT nCount);
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    ULONGLONG SeekToEnd() { return Seek(0, end); }
    void SeekToBegin() { Seek(0, begin); }
    virtual ULONGLONG GetLength() const;
    virtual ULONGLONG GetPosition() const;
    virtual void Close();
    virtual void Abort();
    CString GetFilePath() const { return m_strFileName; }
    bool IsOpen() const;

    // Status of the open file; false when it cannot be read.
    BOOL GetStatus(CFileStatus& rStatus) const;
    // Status by name: false when no regular file of that name can be found or read.
    static BOOL GetStatus(LPCWSTR lpszFileName, CFileStatus& rStatus);
    static void Remove(LPCWSTR lpszFileName);

protected:
#ifdef _WIN32
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
#else
    int m_fd = -1;
#endif
    CString m_strFileName;
};

// Text files: read line by line. In text mode a CR LF pair reads as LF and the byte 0x1A (Ctrl+Z) ends the
// file. Bytes are read as the file-name encoding (UTF-8, with undecodable bytes kept).
class TARNEL_API CStdioFile : public CFile {
public:
    CStdioFile() = default;
    CStdioFile(LPCWSTR lpszFileName, UINT nOpenFlags);

    BOOL Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr) override;
    // The next line without its line feed; false at the end of the file. Throws on a read error.
    BOOL ReadString(CString& rString);
    void Close() override;

private:
    bool FillBuffer();
    bool m_textMode = true;
    bool m_atEnd = false;
    std::vector<char> m_buffer;
    size_t m_pos = 0;
};
