// The module as an in-process server: its exports, the class object, the lock count that decides whether it
// may be unloaded, aggregation, the type information of ITarnelEx, and the resources its file carries.
#include "LoadedModule.h"

#include "libloaderapi.h"
#include "shobjidl.h"

#include <latch>
#include <thread>

using testutil::kClsidTarnelEx;
using testutil::kIidTarnelEx;
using testutil::LoadedModule;
using testutil::PrivateHive;

namespace {

// An outer object that aggregates an extractor: it keeps the inner unknown and answers other interfaces
// from it. It lives on the stack; its count only shows who holds it.
class Outer : public IUnknown {
public:
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return inner != nullptr ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }

    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST(Module, OnlyTheFourExportsAreVisible) {
    LoadedModule m;
    ASSERT_NE(m.handle, nullptr);
    EXPECT_NE(m.DllGetClassObject, nullptr);
    EXPECT_NE(m.DllCanUnloadNow, nullptr);
    EXPECT_NE(m.DllRegisterServer, nullptr);
    EXPECT_NE(m.DllUnregisterServer, nullptr);
    // What each module keeps for itself must stay its own when the host links the platform.
    for (const char* name :
         {"_pAtlModule", "_Module", "theApp", "_Z23AfxGetStaticModuleStatev", "CLSID_TarnelEx"})
        EXPECT_EQ(::dlsym(m.handle, name), nullptr) << name;
}

TEST(Module, HandsOutOneCachedClassObject) {
    LoadedModule m;
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(m.DllGetClassObject(kIidTarnelEx, IID_IClassFactory, &other), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(other, nullptr);
    other = reinterpret_cast<void*>(1);
    EXPECT_EQ(m.DllGetClassObject(kClsidTarnelEx, IID_IPersistFile, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(m.DllGetClassObject(kClsidTarnelEx, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* first = m.ClassObject();
    IClassFactory* second = m.ClassObject();
    EXPECT_EQ(first, second);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(m.DllGetClassObject(kClsidTarnelEx, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(first));
    for (IUnknown* p : std::initializer_list<IUnknown*>{first, second, unknown})
        p->Release();
}

TEST(Module, RacingThreadsGetTheSameClassObject) {
    LoadedModule m;
    constexpr int kThreads = 8;
    std::vector<void*> got(kThreads, nullptr);
    std::vector<HRESULT> results(kThreads, E_FAIL);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            results[i] = m.DllGetClassObject(kClsidTarnelEx, IID_IClassFactory, &got[i]);
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], S_OK);
        EXPECT_EQ(got[i], got[0]);
    }
    EXPECT_EQ(m.DllCanUnloadNow(), S_FALSE);
    for (void* p : got)
        static_cast<IUnknown*>(p)->Release();
}

TEST(Module, UnloadingFollowsObjectsServerLocksAndHoldersOfTheClassObject) {
    LoadedModule m;
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK);
    IClassFactory* cf = m.ClassObject();
    EXPECT_EQ(m.DllCanUnloadNow(), S_FALSE) << "an outside holder of the class object";
    cf->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK) << "the cache's own reference does not count";

    cf = m.ClassObject();
    EXPECT_EQ(cf->LockServer(TRUE), S_OK);
    EXPECT_EQ(cf->LockServer(TRUE), S_OK);
    EXPECT_EQ(cf->LockServer(FALSE), S_OK);
    cf->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_FALSE);
    cf = m.ClassObject();
    EXPECT_EQ(cf->LockServer(FALSE), S_OK);
    cf->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK);

    IExtractImage* a = m.Create<IExtractImage>(IID_IExtractImage);
    IPersistFile* b = m.Create<IPersistFile>(IID_IPersistFile);
    a->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_FALSE) << "an object is still alive";
    b->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK);
}

TEST(Module, CreateInstanceRefusesOrDestroysWhatItCannotHandOut) {
    LoadedModule m;
    IClassFactory* cf = m.ClassObject();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IPersist, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IExtractImage, nullptr), E_POINTER);
    Outer outer;
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(cf->CreateInstance(&outer, IID_IPersistFile, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(outer.refs, 1u);
    cf->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK) << "no object was left alive";
}

TEST(Module, AggregatedObjectsCountOnTheirOuterObject) {
    LoadedModule m;
    Outer outer;
    IClassFactory* cf = m.ClassObject();
    ASSERT_EQ(cf->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    cf->Release();
    EXPECT_EQ(m.DllCanUnloadNow(), S_FALSE);

    IExtractImage* extract = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract)), S_OK);
    EXPECT_EQ(outer.refs, 2u) << "the inner object's interfaces count on the outer object";
    SIZE size = {64, 32};
    EXPECT_EQ(extract->GetLocation(nullptr, 0, nullptr, &size, 32, nullptr), S_OK);
    IUnknown* controlling = nullptr;
    ASSERT_EQ(extract->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&controlling)), S_OK);
    EXPECT_EQ(controlling, &outer);
    controlling->Release();
    extract->Release();
    EXPECT_EQ(outer.refs, 1u);

    IUnknown* again = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, outer.inner) << "the inner unknown is its own";
    again->Release();
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(m.DllCanUnloadNow(), S_OK);
}

TEST(Module, DispatchAnswersFromTheRegisteredTypeLibrary) {
    PrivateHive hive;
    LoadedModule m;
    IDispatch* a = m.Create<IDispatch>(IID_IDispatch);
    UINT count = 0;
    EXPECT_EQ(a->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(a->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(a->GetTypeInfo(0, 0, nullptr), E_POINTER);
    EXPECT_EQ(a->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);

    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    ASSERT_EQ(a->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, kIidTarnelEx));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->cFuncs, 0);
    EXPECT_NE(attr->wTypeFlags & TYPEFLAG_FDUAL, 0);
    info->ReleaseTypeAttr(attr);

    IDispatch* b = m.Create<IDispatch>(IID_IDispatch);
    ITypeInfo* shared = nullptr;
    ASSERT_EQ(b->GetTypeInfo(0, 0x409, &shared), S_OK);
    EXPECT_EQ(shared, info) << "loaded once and shared by all objects";
    LPOLESTR name = const_cast<LPOLESTR>(L"Extract");
    DISPID id = 0;
    EXPECT_EQ(b->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(b->Invoke(1, IID_NULL, 0, INVOKE_FUNC, nullptr, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    for (IUnknown* p : std::initializer_list<IUnknown*>{shared, info, a, b})
        p->Release();
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
}

TEST(Module, FileCarriesItsResourcesAndKnowsItsPath) {
    LoadedModule m;
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(m.DllGetClassObject), &self));
    WCHAR path[1024];
    const std::wstring expected = testutil::Wide(m.path);
    EXPECT_EQ(GetModuleFileNameW(self, path, 1024), expected.size());
    EXPECT_EQ(path, expected);
    EXPECT_EQ(GetModuleFileNameW(self, path, 10), 10u) << "cut short";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(path), expected.substr(0, 9));

    EXPECT_EQ(LoadLibraryExW(expected.c_str(), nullptr, 0), nullptr) << "only as a data file";
    HMODULE data = LoadLibraryExW(expected.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(data, nullptr);
    HRSRC script = FindResourceW(data, MAKEINTRESOURCEW(2001), L"registry");
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(FindResourceW(data, L"#2001", L"REGISTRY"), script);
    EXPECT_EQ(FindResourceExW(data, L"REGISTRY", MAKEINTRESOURCEW(2001), 1033), script);
    EXPECT_EQ(FindResourceExW(data, L"REGISTRY", MAKEINTRESOURCEW(2001), 1031), nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(data, script))),
                           SizeofResource(data, script));
    EXPECT_EQ(text.substr(0, 4), "HKCR");
    EXPECT_NE(text.find("'%MODULE%'"), std::string::npos);
    EXPECT_NE(FindResourceW(data, MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
    EXPECT_EQ(FindResourceW(data, MAKEINTRESOURCEW(2), L"TYPELIB"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(data, MAKEINTRESOURCEW(1), L"ICON"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(data));
    EXPECT_FALSE(FreeLibrary(data)) << "a freed handle is refused";

    testutil::WriteFile(m.path + ".txt", "not a module");
    EXPECT_EQ(LoadLibraryExW(testutil::Wide(m.path + ".txt").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
}

} // namespace
