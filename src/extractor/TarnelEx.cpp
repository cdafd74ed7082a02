#include "extractor/TarnelEx.h"

#include "afxfile.h"
#include "module/comexcept.h"
#include "winbase.h"

STDMETHODIMP CTarnelEx::GetClassID(CLSID*) {
    return E_NOTIMPL;
}

STDMETHODIMP CTarnelEx::IsDirty() {
    return E_NOTIMPL;
}

STDMETHODIMP CTarnelEx::Load(LPCOLESTR pszFileName, DWORD) {
    // A null name is not an error: the shell may load an object again without a name, and the object then
    // keeps the file it was bound to. Nothing is opened here, so there is nothing to fail.
    if (pszFileName == nullptr)
        return S_OK;
    try {
        m_strPath = pszFileName;
        m_strPath.MakeLower();
    } catch (...) {
        return HResultFromCaughtException();
    }
    return S_OK;
}

STDMETHODIMP CTarnelEx::Save(LPCOLESTR, BOOL) {
    return E_NOTIMPL;
}

STDMETHODIMP CTarnelEx::SaveCompleted(LPCOLESTR) {
    return E_NOTIMPL;
}

STDMETHODIMP CTarnelEx::GetCurFile(LPOLESTR*) {
    return E_NOTIMPL;
}

STDMETHODIMP CTarnelEx::GetLocation(LPWSTR, DWORD, DWORD*, const SIZE* prgSize, DWORD, DWORD* pdwFlags) {
    if (prgSize != nullptr)
        m_size = *prgSize;
    if (pdwFlags != nullptr && (*pdwFlags & IEIFLAG_ASYNC) != 0)
        return E_PENDING;
    return S_OK;
}

// The stamp is the local wall-clock time of the last change, to the second, written as if it were UTC.
STDMETHODIMP CTarnelEx::GetDateStamp(FILETIME* pDateStamp) {
    if (pDateStamp == nullptr)
        return E_FAIL;
    try {
        CFileStatus status;
        status.m_ctime = status.m_atime = status.m_mtime = CTime();
        if (!CFile::GetStatus(m_strPath, status))
            return E_FAIL;
        __time64_t modified = status.m_mtime.GetTime();
        struct tm local = {};
        SYSTEMTIME st = {}; // stays zero when the time cannot be converted
        if (_localtime64_s(&local, &modified) == 0) {
            st.wYear = WORD(local.tm_year + 1900);
            st.wMonth = WORD(local.tm_mon + 1);
            st.wDayOfWeek = WORD(local.tm_wday);
            st.wDay = WORD(local.tm_mday);
            st.wHour = WORD(local.tm_hour);
            st.wMinute = WORD(local.tm_min);
            st.wSecond = WORD(local.tm_sec);
            st.wMilliseconds = 0;
        }
        // A time that has no FILETIME form (before 1601, or not convertible) is stamped 0.
        if (!SystemTimeToFileTime(&st, pDateStamp))
            *pDateStamp = FILETIME{0, 0};
        return S_OK;
    } catch (...) { // a file error while the status is read gives E_FAIL like any other
        return HResultFromCaughtException();
    }
}
