// The class library's core: CObject, CException, CString, the growable arrays and CTime.
#pragma once

#include "windef.h"

#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

class CObject {
public:
    virtual ~CObject() = default;
};

// Exceptions are thrown as pointers and released by the catcher with Delete, as the class library does.
class CException : public CObject {
public:
    void Delete() { delete this; }
};

class CMemoryException : public CException {};

class CString {
public:
    CString() = default;
    CString(LPCWSTR psz) : m_str(psz != nullptr ? psz : L"") {}
    CString(LPCWSTR pch, int nLength) : m_str(pch, size_t(nLength > 0 ? nLength : 0)) {}
    CString(const std::wstring& s) : m_str(s) {}

    int GetLength() const { return int(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    LPCWSTR GetString() const { return m_str.c_str(); }
    operator LPCWSTR() const { return m_str.c_str(); }
    const std::wstring& str() const { return m_str; }
    WCHAR GetAt(int i) const { return m_str.at(size_t(i)); }

    // Position of the first occurrence at or after nStart, or -1.
    int Find(LPCWSTR pszSub, int nStart = 0) const {
        if (pszSub == nullptr || nStart < 0 || size_t(nStart) > m_str.size())
            return -1;
        size_t pos = m_str.find(pszSub, size_t(nStart));
        return pos == std::wstring::npos ? -1 : int(pos);
    }
    int Find(WCHAR ch, int nStart = 0) const {
        if (nStart < 0 || size_t(nStart) > m_str.size())
            return -1;
        size_t pos = m_str.find(ch, size_t(nStart));
        return pos == std::wstring::npos ? -1 : int(pos);
    }
    int ReverseFind(WCHAR ch) const {
        size_t pos = m_str.rfind(ch);
        return pos == std::wstring::npos ? -1 : int(pos);
    }
    CString Left(int nCount) const { return CString(m_str.substr(0, size_t(nCount < 0 ? 0 : nCount))); }
    CString Mid(int nFirst) const {
        return nFirst >= GetLength() ? CString() : CString(m_str.substr(size_t(nFirst < 0 ? 0 : nFirst)));
    }
    // Lower-cases by the runtime's wide-character rules for its current locale.
    CString& MakeLower() {
        for (wchar_t& c : m_str)
            c = wchar_t(std::towlower(wint_t(c)));
        return *this;
    }
    CString& MakeUpper() {
        for (wchar_t& c : m_str)
            c = wchar_t(std::towupper(wint_t(c)));
        return *this;
    }

    // A writable, terminated buffer of at least nMinBufLength characters; ReleaseBuffer ends the edit.
    LPWSTR GetBuffer(int nMinBufLength = 0) {
        if (nMinBufLength > GetLength())
            m_str.resize(size_t(nMinBufLength));
        return m_str.data();
    }
    void ReleaseBuffer(int nNewLength = -1) {
        m_str.resize(nNewLength < 0 ? std::wcslen(m_str.c_str()) : size_t(nNewLength));
    }

    CString& operator=(LPCWSTR psz) {
        m_str = psz != nullptr ? psz : L"";
        return *this;
    }
    CString& operator+=(const CString& s) {
        m_str += s.m_str;
        return *this;
    }
    CString& operator+=(LPCWSTR psz) {
        if (psz != nullptr)
            m_str += psz;
        return *this;
    }
    CString& operator+=(WCHAR ch) {
        m_str += ch;
        return *this;
    }
    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_str + b.m_str); }
    friend CString operator+(const CString& a, LPCWSTR b) { return a + CString(b); }
    friend CString operator+(LPCWSTR a, const CString& b) { return CString(a) + b; }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, LPCWSTR b) { return a.m_str == (b != nullptr ? b : L""); }

private:
    std::wstring m_str;
};

class CStringArray : public CObject {
public:
    INT GetSize() const { return INT(m_data.size()); }
    INT GetCount() const { return GetSize(); }
    const CString& GetAt(INT i) const { return m_data.at(size_t(i)); }
    const CString& operator[](INT i) const { return GetAt(i); }
    void SetAtGrow(INT i, const CString& s) {
        if (size_t(i) >= m_data.size())
            m_data.resize(size_t(i) + 1);
        m_data[size_t(i)] = s;
    }
    INT Add(const CString& s) {
        m_data.push_back(s);
        return GetSize() - 1;
    }
    void RemoveAll() { m_data.clear(); }

private:
    std::vector<CString> m_data;
};

class CByteArray : public CObject {
public:
    INT GetSize() const { return INT(m_data.size()); }
    // Setting the size to 0 frees the storage, as RemoveAll does.
    void SetSize(INT n) {
        if (n <= 0)
            RemoveAll();
        else
            m_data.resize(size_t(n));
    }
    BYTE* GetData() { return m_data.data(); }
    const BYTE* GetData() const { return m_data.data(); }
    BYTE GetAt(INT i) const { return m_data.at(size_t(i)); }
    BYTE& operator[](INT i) { return m_data.at(size_t(i)); }
    INT Add(BYTE b) {
        m_data.push_back(b);
        return GetSize() - 1;
    }
    void RemoveAll() { std::vector<BYTE>().swap(m_data); }

private:
    std::vector<BYTE> m_data;
};

// A point in time as whole seconds since 1 January 1970 00:00 UTC.
class CTime {
public:
    CTime() = default;
    explicit CTime(__time64_t t) : m_time(t) {}
    __time64_t GetTime() const { return m_time; }

private:
    __time64_t m_time = 0;
};
