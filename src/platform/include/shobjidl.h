// The shell's thumbnail interfaces: IPersist, IPersistFile, IExtractImage and IExtractImage2.
#pragma once

#include "oleauto.h"

#define IEIFLAG_ASYNC 0x0001
#define IEIFLAG_CACHE 0x0002
#define IEIFLAG_ASPECT 0x0004
#define IEIFLAG_OFFLINE 0x0008
#define IEIFLAG_SCREEN 0x0020
#define IEIFLAG_ORIGSIZE 0x0040
#define IEIT_PRIORITY_NORMAL 0x10000000
#define STGM_READ 0x00000000

struct IPersist : IUnknown {
    STDMETHOD(GetClassID)(CLSID* pClassID) = 0;

protected:
    ~IPersist() = default;
};

struct IPersistFile : IPersist {
    STDMETHOD(IsDirty)() = 0;
    STDMETHOD(Load)(LPCOLESTR pszFileName, DWORD dwMode) = 0;
    STDMETHOD(Save)(LPCOLESTR pszFileName, BOOL fRemember) = 0;
    STDMETHOD(SaveCompleted)(LPCOLESTR pszFileName) = 0;
    STDMETHOD(GetCurFile)(LPOLESTR* ppszFileName) = 0;

protected:
    ~IPersistFile() = default;
};

struct IExtractImage : IUnknown {
    STDMETHOD(GetLocation)
    (LPWSTR pszPathBuffer, DWORD cch, DWORD* pdwPriority, const SIZE* prgSize, DWORD dwRecClrDepth,
     DWORD* pdwFlags) = 0;
    STDMETHOD(Extract)(HBITMAP* phBmpImage) = 0;

protected:
    ~IExtractImage() = default;
};

struct IExtractImage2 : IExtractImage {
    STDMETHOD(GetDateStamp)(FILETIME* pDateStamp) = 0;

protected:
    ~IExtractImage2() = default;
};
