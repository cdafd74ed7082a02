// What the class library's files do alike on both platforms; the operating system's side is in file.cpp
// (POSIX) and win/file.cpp (Win32).
#include "afxfile.h"

void CFileException::ThrowOsError(LONG lOsError, LPCWSTR lpszFileName) {
    throw new CFileException(OsErrorToException(lOsError), lOsError, lpszFileName);
}

CFile::CFile(LPCWSTR lpszFileName, UINT nOpenFlags) {
    CFileException error;
    if (!Open(lpszFileName, nOpenFlags, &error))
        throw new CFileException(error.m_cause, error.m_lOsError, lpszFileName);
}
