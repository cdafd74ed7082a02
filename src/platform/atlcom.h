// The ATL pieces the system is built from: object roots with their reference counts, the interface map,
// CComObject, CComCoClass, IDispatchImpl with its shared type-information holder, and the module lock.
#pragma once

#include "platform/oleauto.h"

#include <atomic>
#include <climits>
#include <mutex>
#include <new>

// The module: counts the reasons to stay loaded and guards the lazy creation of class objects.
// Each module defines its own instance and points _pAtlModule at it.
class CAtlModule {
public:
    virtual ~CAtlModule() = default;
    LONG Lock() { return ++m_nLockCnt; }
    LONG Unlock() { return --m_nLockCnt; }
    LONG GetLockCount() const { return m_nLockCnt.load(); }

    std::atomic<LONG> m_nLockCnt{0};
    std::mutex m_csObjMap; // the class-table lock
};
extern CAtlModule* _pAtlModule;

struct CComSingleThreadModel {
    static ULONG Increment(ULONG* p) { return ++(*p); }
    static ULONG Decrement(ULONG* p) { return --(*p); }
};

struct CComMultiThreadModel {
    static ULONG Increment(ULONG* p) { return std::atomic_ref<ULONG>(*p).fetch_add(1) + 1; }
    static ULONG Decrement(ULONG* p) { return std::atomic_ref<ULONG>(*p).fetch_sub(1) - 1; }
};

// One entry of an interface map: the interface's identifier and how to reach its table from the object.
struct _ATL_INTMAP_ENTRY {
    const IID* piid;
    IUnknown* (*pfnCast)(void* pThis);
};

class CComObjectRootBase {
public:
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    // Searches the map; IUnknown is answered with the first entry. The interface found is AddRef'ed.
    static HRESULT InternalQueryInterface(void* pThis, const _ATL_INTMAP_ENTRY* pEntries, REFIID iid,
                                          void** ppvObject) {
        if (ppvObject == nullptr)
            return E_POINTER;
        *ppvObject = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            IUnknown* pUnk = pEntries->pfnCast(pThis);
            pUnk->AddRef();
            *ppvObject = pUnk;
            return S_OK;
        }
        for (; pEntries->piid != nullptr; ++pEntries) {
            if (InlineIsEqualGUID(*pEntries->piid, iid)) {
                IUnknown* pUnk = pEntries->pfnCast(pThis);
                pUnk->AddRef();
                *ppvObject = pUnk;
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }

    union {
        ULONG m_dwRef;
        IUnknown* m_pOuterUnknown;
    };
    CComObjectRootBase() : m_dwRef(0) {}
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
public:
    ULONG InternalAddRef() { return ThreadModel::Increment(&m_dwRef); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&m_dwRef); }
    ULONG OuterAddRef() { return m_pOuterUnknown->AddRef(); }
    ULONG OuterRelease() { return m_pOuterUnknown->Release(); }
    HRESULT OuterQueryInterface(REFIID iid, void** ppvObject) {
        return m_pOuterUnknown->QueryInterface(iid, ppvObject);
    }
};

#define BEGIN_COM_MAP(x)                                                                                     \
public:                                                                                                      \
    typedef x _ComMapClass;                                                                                  \
    IUnknown* _GetRawUnknown() {                                                                             \
        return _GetEntries()->pfnCast(this);                                                                 \
    }                                                                                                        \
    HRESULT _InternalQueryInterface(REFIID iid, void** ppvObject) {                                          \
        return this->InternalQueryInterface(this, _GetEntries(), iid, ppvObject);                            \
    }                                                                                                        \
    static const _ATL_INTMAP_ENTRY* _GetEntries() {                                                          \
        static const _ATL_INTMAP_ENTRY _entries[] = {
#define COM_INTERFACE_ENTRY_IID(iid, x)                                                                      \
    {&iid, [](void* p) -> IUnknown* { return static_cast<x*>(static_cast<_ComMapClass*>(p)); }},
#define COM_INTERFACE_ENTRY2_IID(iid, x, x2)                                                                 \
    {&iid,                                                                                                   \
     [](void* p) -> IUnknown* { return static_cast<x*>(static_cast<x2*>(static_cast<_ComMapClass*>(p))); }},
#define END_COM_MAP()                                                                                        \
    { nullptr, nullptr }                                                                                     \
    }                                                                                                        \
    ;                                                                                                        \
    return _entries;                                                                                         \
    }

// The ordinary, standalone form of a COM class. Every living instance holds one module lock.
template <class Base>
class CComObject : public Base {
public:
    CComObject(void* = nullptr) { _pAtlModule->Lock(); }
    ~CComObject() override {
        this->m_dwRef = ULONG(-(LONG_MAX / 2));
        this->FinalRelease();
        _pAtlModule->Unlock();
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override {
        ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override {
        return this->_InternalQueryInterface(iid, ppvObject);
    }

    // Makes an instance with a reference count of 0 and runs its FinalConstruct.
    static HRESULT CreateInstance(CComObject<Base>** pp) {
        if (pp == nullptr)
            return E_POINTER;
        *pp = nullptr;
        auto* p = new (std::nothrow) CComObject<Base>();
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->InternalAddRef();
        HRESULT hr = p->FinalConstruct();
        p->InternalRelease();
        if (FAILED(hr)) {
            delete p;
            return hr;
        }
        *pp = p;
        return S_OK;
    }
};

template <class T, const CLSID* pclsid>
class CComCoClass {
public:
    static const CLSID& GetObjectCLSID() { return *pclsid; }
};

// Type information of one dispatch interface, loaded once per process from its registered type library.
class CComTypeInfoHolder {
public:
    const GUID* m_pguid;
    const GUID* m_plibid;
    WORD m_wMajor;
    WORD m_wMinor;
    ITypeInfo* m_pInfo;
    std::mutex* m_pLock;

    HRESULT GetTI(LCID lcid) {
        std::lock_guard<std::mutex> guard(*m_pLock);
        if (m_pInfo != nullptr)
            return S_OK;
        ITypeLib* pTypeLib = nullptr;
        HRESULT hr = LoadRegTypeLib(*m_plibid, m_wMajor, m_wMinor, lcid, &pTypeLib);
        if (SUCCEEDED(hr)) {
            ITypeInfo* pTypeInfo = nullptr;
            hr = pTypeLib->GetTypeInfoOfGuid(*m_pguid, &pTypeInfo);
            if (SUCCEEDED(hr))
                m_pInfo = pTypeInfo;
            pTypeLib->Release();
        }
        return hr;
    }
    HRESULT GetTypeInfo(UINT itinfo, LCID lcid, ITypeInfo** pptinfo) {
        if (itinfo != 0)
            return DISP_E_BADINDEX;
        if (pptinfo == nullptr)
            return E_POINTER;
        *pptinfo = nullptr;
        HRESULT hr = GetTI(lcid);
        if (SUCCEEDED(hr)) {
            m_pInfo->AddRef();
            *pptinfo = m_pInfo;
        }
        return hr;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgdispid) {
        HRESULT hr = GetTI(lcid);
        if (FAILED(hr))
            return hr;
        return m_pInfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
    }
    HRESULT Invoke(IDispatch* p, DISPID dispidMember, REFIID, LCID lcid, WORD wFlags, DISPPARAMS* pdispparams,
                   VARIANT* pvarResult, EXCEPINFO* pexcepinfo, UINT* puArgErr) {
        HRESULT hr = GetTI(lcid);
        if (FAILED(hr))
            return hr;
        return m_pInfo->Invoke(p, dispidMember, wFlags, pdispparams, pvarResult, pexcepinfo, puArgErr);
    }
};

template <class T, const IID* piid, const GUID* plibid, WORD wMajor = 1, WORD wMinor = 0,
          class tihclass = CComTypeInfoHolder>
class IDispatchImpl : public T {
public:
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override {
        if (pctinfo == nullptr)
            return E_POINTER;
        *pctinfo = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT itinfo, LCID lcid, ITypeInfo** pptinfo) override {
        return _tih.GetTypeInfo(itinfo, lcid, pptinfo);
    }
    STDMETHOD(GetIDsOfNames)
    (REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgdispid) override {
        return _tih.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgdispid);
    }
    STDMETHOD(Invoke)
    (DISPID dispidMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pdispparams, VARIANT* pvarResult,
     EXCEPINFO* pexcepinfo, UINT* puArgErr) override {
        return _tih.Invoke(static_cast<IDispatch*>(this), dispidMember, riid, lcid, wFlags, pdispparams,
                           pvarResult, pexcepinfo, puArgErr);
    }

    static inline std::mutex _tihLock;
    static inline tihclass _tih = {piid, plibid, wMajor, wMinor, nullptr, &_tihLock};
};
