// COM basics: result codes, GUIDs and IUnknown / IClassFactory as abstract classes whose table order is
// the one COM callers rely on.
#pragma once

#include "windef.h"

#include <cstring>

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_PENDING ((HRESULT)0x8000000AL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006L)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003L)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define TYPE_E_LIBNOTREGISTERED ((HRESULT)0x8002801DL)
#define TYPE_E_CANTLOADLIBRARY ((HRESULT)0x80029C4AL)
#define TYPE_E_REGISTRYACCESS ((HRESULT)0x8002801CL)
#define TYPE_E_ELEMENTNOTFOUND ((HRESULT)0x8002802BL)
#define TYPE_E_INVDATAREAD ((HRESULT)0x80028018L)
#define TYPE_E_UNSUPFORMAT ((HRESULT)0x80028019L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16);
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef const GUID& REFGUID;

inline bool InlineIsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return InlineIsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return InlineIsEqualGUID(a, b);
}

// Named interface identifiers of the platform.
extern "C" {
TARNEL_API extern const IID IID_IUnknown;
TARNEL_API extern const IID IID_IClassFactory;
TARNEL_API extern const IID IID_IDispatch;
TARNEL_API extern const IID IID_IPersist;
TARNEL_API extern const IID IID_IPersistFile;
TARNEL_API extern const IID IID_IExtractImage;
TARNEL_API extern const IID IID_IExtractImage2;
TARNEL_API extern const IID IID_ITypeInfo;
TARNEL_API extern const IID IID_ITypeLib;
TARNEL_API extern const IID IID_NULL;
}

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) = 0;
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;

protected:
    ~IUnknown() = default; // objects are destroyed through Release, never through an interface pointer
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    STDMETHOD(LockServer)(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};

// Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters plus the terminator).
extern "C" TARNEL_API int StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax);
extern "C" TARNEL_API HRESULT CLSIDFromString(LPCWSTR lpsz, CLSID* pclsid);
