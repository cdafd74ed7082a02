// The ATL pieces the system is built from: object roots with their reference counts, the interface map,
// the object forms (CComObject, CComAggObject with CComContainedObject, the cached class object), the class
// object with its creators, CComCoClass, IDispatchImpl with its shared type-information holder, and the
// module with its class table (CComModule).
#pragma once

#include "atlbase.h"

#include <climits>
#include <new>

// One entry of an interface map: the interface's identifier and how to reach its table from the object.
struct _ATL_INTMAP_ENTRY {
    const IID* piid;
    IUnknown* (*pfnCast)(void* pThis);
};

class CComObjectRootBase {
public:
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    void SetVoid(void*) {}

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
    typedef ThreadModel _ThreadModel;
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

// Type information of one dispatch interface, loaded once per module from its registered type library and
// shared by all objects of the module.
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
            if (SUCCEEDED(hr)) {
                m_pInfo = pTypeInfo;
                _pAtlModule->AddTermFunc(Cleanup, reinterpret_cast<DWORD_PTR>(this));
            }
            pTypeLib->Release();
        }
        return hr;
    }
    // At the end of the server: the type information goes back to its library.
    static void WINAPI Cleanup(DWORD_PTR dw) {
        auto* p = reinterpret_cast<CComTypeInfoHolder*>(dw);
        std::lock_guard<std::mutex> guard(*p->m_pLock);
        if (p->m_pInfo != nullptr)
            p->m_pInfo->Release();
        p->m_pInfo = nullptr;
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

// The form of a class that lives inside an outer object: reference counting and interface queries go to the
// outer object, which holds this one through the inner IUnknown of CComAggObject.
template <class Base>
class CComContainedObject : public Base {
public:
    explicit CComContainedObject(void* pv) { this->m_pOuterUnknown = static_cast<IUnknown*>(pv); }
    STDMETHOD_(ULONG, AddRef)() override { return this->OuterAddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->OuterRelease(); }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override {
        return this->OuterQueryInterface(iid, ppvObject);
    }
    IUnknown* GetControllingUnknown() { return this->m_pOuterUnknown; }
};

// The aggregated form of a class: this object's own IUnknown is the inner unknown that the outer object
// holds; the contained object answers every other interface. Every living instance holds one module lock.
template <class contained>
class CComAggObject : public IUnknown, public CComObjectRootEx<typename contained::_ThreadModel> {
public:
    explicit CComAggObject(void* pv) : m_contained(pv) { _pAtlModule->Lock(); }
    virtual ~CComAggObject() {
        this->m_dwRef = ULONG(-(LONG_MAX / 2));
        FinalRelease();
        _pAtlModule->Unlock();
    }
    HRESULT FinalConstruct() { return m_contained.FinalConstruct(); }
    void FinalRelease() { m_contained.FinalRelease(); }

    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override {
        ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override {
        if (ppvObject == nullptr)
            return E_POINTER;
        *ppvObject = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *ppvObject = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained._InternalQueryInterface(iid, ppvObject);
    }

    CComContainedObject<contained> m_contained;
};

// The form of the class object that the class table caches. The cache holds one reference of its own; an
// outside holder (a count of 2 or more) keeps the module loaded. Its count changes atomically.
template <class Base>
class CComObjectCached : public Base {
public:
    explicit CComObjectCached(void* = nullptr) {}
    ~CComObjectCached() override {
        this->m_dwRef = ULONG(-(LONG_MAX / 2));
        this->FinalRelease();
    }
    STDMETHOD_(ULONG, AddRef)() override {
        ULONG l = this->InternalAddRef();
        if (l == 2)
            _pAtlModule->Lock();
        return l;
    }
    STDMETHOD_(ULONG, Release)() override {
        ULONG l = this->InternalRelease();
        if (l == 0)
            delete this;
        else if (l == 1)
            _pAtlModule->Unlock();
        return l;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppvObject) override {
        return this->_InternalQueryInterface(iid, ppvObject);
    }
};

typedef HRESULT(WINAPI _ATL_CREATORFUNC)(void* pv, REFIID riid, LPVOID* ppv);

// Makes an object of the form T1 and asks it for riid. When it lacks that interface, the new object is
// destroyed at once and the failure returned.
template <class T1>
class CComCreator {
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        T1* p = new (std::nothrow) T1(pv);
        if (p == nullptr)
            return E_OUTOFMEMORY;
        p->SetVoid(pv);
        p->InternalAddRef();
        HRESULT hr = p->FinalConstruct();
        p->InternalRelease();
        if (SUCCEEDED(hr))
            hr = p->QueryInterface(riid, ppv);
        if (FAILED(hr))
            delete p;
        return hr;
    }
};

// The standalone form without an outer object, the aggregated form with one.
template <class T1, class T2>
class CComCreator2 {
public:
    static HRESULT WINAPI CreateInstance(void* pv, REFIID riid, LPVOID* ppv) {
        return pv == nullptr ? T1::CreateInstance(nullptr, riid, ppv) : T2::CreateInstance(pv, riid, ppv);
    }
};

// The class object: makes instances through the creator it was given, and locks the server on request.
class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComGlobalsThreadModel> {
public:
    BEGIN_COM_MAP(CComClassFactory)
    COM_INTERFACE_ENTRY_IID(IID_IClassFactory, IClassFactory)
    END_COM_MAP()

    virtual ~CComClassFactory() = default;

    // An outer object may only ask for IUnknown: the inner unknown is all it can hold.
    STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) override {
        if (ppvObj == nullptr)
            return E_POINTER;
        *ppvObj = nullptr;
        if (pUnkOuter != nullptr && !InlineIsEqualGUID(riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return m_pfnCreateInstance(pUnkOuter, riid, ppvObj);
    }
    STDMETHOD(LockServer)(BOOL fLock) override {
        if (fLock)
            _pAtlModule->Lock();
        else
            _pAtlModule->Unlock();
        return S_OK;
    }
    void SetVoid(void* pv) { m_pfnCreateInstance = reinterpret_cast<_ATL_CREATORFUNC*>(pv); }

    _ATL_CREATORFUNC* m_pfnCreateInstance = nullptr;
};

struct _ATL_CATMAP_ENTRY;

template <class T, const CLSID* pclsid>
class CComCoClass {
public:
    typedef CComCreator<CComObjectCached<CComClassFactory>> _ClassFactoryCreatorClass;
    typedef CComCreator2<CComCreator<CComObject<T>>, CComCreator<CComAggObject<T>>> _CreatorClass;
    static const CLSID& GetObjectCLSID() { return *pclsid; }
    // No component categories.
    static const _ATL_CATMAP_ENTRY* GetCategoryMap() { return nullptr; }
};

// The class's registration routine: its script resource, applied or taken back.
#define DECLARE_REGISTRY_RESOURCEID(x)                                                                       \
    static HRESULT WINAPI UpdateRegistry(BOOL bRegister) {                                                   \
        return _pAtlModule->UpdateRegistryFromResource(x, bRegister);                                        \
    }

// One entry of the class table, in this order: the class identifier, the registration routine, the
// class-object factory, the instance creator, the cached class object (empty until the first request),
// and the component categories.
struct _ATL_OBJMAP_ENTRY {
    const CLSID* pclsid;
    HRESULT(WINAPI* pfnUpdateRegistry)(BOOL bRegister);
    _ATL_CREATORFUNC* pfnGetClassObject;
    _ATL_CREATORFUNC* pfnCreateInstance;
    std::atomic<IUnknown*> pCF;
    const _ATL_CATMAP_ENTRY* (*pfnGetCategoryMap)();
};

#define BEGIN_OBJECT_MAP(x) static _ATL_OBJMAP_ENTRY x[] = {
#define OBJECT_ENTRY(clsid, cls)                                                                             \
    {&clsid,                                                                                                 \
     cls::UpdateRegistry,                                                                                    \
     cls::_ClassFactoryCreatorClass::CreateInstance,                                                         \
     cls::_CreatorClass::CreateInstance,                                                                     \
     nullptr,                                                                                                \
     cls::GetCategoryMap},
#define END_OBJECT_MAP()                                                                                     \
    { nullptr, nullptr, nullptr, nullptr, nullptr, nullptr }                                                 \
    }                                                                                                        \
    ;

// Component categories would be registered here; a class without any succeeds without touching the
// registry.
inline HRESULT AtlRegisterClassCategoriesHelper(REFCLSID, const _ATL_CATMAP_ENTRY* pCatMap, BOOL) {
    return pCatMap == nullptr ? S_OK : E_NOTIMPL;
}

// The server: its class table, the cached class objects, and the registration of its classes and type
// library.
class CComModule : public CAtlModule {
public:
    HRESULT Init(_ATL_OBJMAP_ENTRY* p, HINSTANCE hInst) {
        m_pObjMap = p;
        m_hInst = hInst;
        return S_OK;
    }

    // Ends the server: the cached class objects are released and the termination callbacks run.
    void Term() {
        for (_ATL_OBJMAP_ENTRY* p = m_pObjMap; p != nullptr && p->pclsid != nullptr; ++p)
            if (IUnknown* pCF = p->pCF.exchange(nullptr))
                pCF->Release();
        RunTermFuncs();
        m_pObjMap = nullptr;
    }

    // The class object of a class in the table, made on the first request under the class-table lock
    // (looked for again once the lock is held, so that racing threads get the same one) and kept.
    HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        for (_ATL_OBJMAP_ENTRY* p = m_pObjMap; p != nullptr && p->pclsid != nullptr; ++p) {
            if (p->pfnGetClassObject == nullptr || !InlineIsEqualGUID(rclsid, *p->pclsid))
                continue;
            HRESULT hr = S_OK;
            if (p->pCF.load(std::memory_order_acquire) == nullptr) {
                std::lock_guard<std::mutex> guard(m_csObjMap);
                if (p->pCF.load(std::memory_order_relaxed) == nullptr) {
                    IUnknown* pCF = nullptr;
                    hr = p->pfnGetClassObject(reinterpret_cast<void*>(p->pfnCreateInstance), IID_IUnknown,
                                              reinterpret_cast<void**>(&pCF));
                    if (SUCCEEDED(hr))
                        p->pCF.store(pCF, std::memory_order_release);
                }
            }
            if (IUnknown* pCF = p->pCF.load(std::memory_order_acquire))
                hr = pCF->QueryInterface(riid, ppv);
            if (*ppv != nullptr || FAILED(hr))
                return hr;
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    }

    HRESULT RegisterServer(BOOL bRegTypeLib = FALSE) {
        for (_ATL_OBJMAP_ENTRY* p = m_pObjMap; p != nullptr && p->pclsid != nullptr; ++p) {
            HRESULT hr = p->pfnUpdateRegistry(TRUE);
            if (FAILED(hr))
                return hr;
            hr = AtlRegisterClassCategoriesHelper(*p->pclsid, p->pfnGetCategoryMap(), TRUE);
            if (FAILED(hr))
                return hr;
        }
        return bRegTypeLib ? AtlRegisterTypeLib(m_hInst) : S_OK;
    }

    // The type library is unregistered only when every class was.
    HRESULT UnregisterServer(BOOL bUnRegTypeLib) {
        for (_ATL_OBJMAP_ENTRY* p = m_pObjMap; p != nullptr && p->pclsid != nullptr; ++p) {
            HRESULT hr = AtlRegisterClassCategoriesHelper(*p->pclsid, p->pfnGetCategoryMap(), FALSE);
            if (FAILED(hr))
                return hr;
            hr = p->pfnUpdateRegistry(FALSE);
            if (FAILED(hr))
                return hr;
        }
        if (bUnRegTypeLib)
            AtlUnRegisterTypeLib(m_hInst);
        return S_OK;
    }

private:
    _ATL_OBJMAP_ENTRY* m_pObjMap = nullptr;
};
