// The built module, loaded the way a host loads it: with dlopen, used through its four exports.
#pragma once

#include "RegistryTestUtil.h"

#include "oleauto.h"

#include <dlfcn.h>

#include <filesystem>

namespace testutil {

// The identifiers the module is known by.
inline const CLSID kClsidTarnelEx = {
    0x3D7A91C2, 0x58E4, 0x4B1F, {0xA2, 0xC6, 0x7E, 0x90, 0xB4, 0x1D, 0x5F, 0x38}};
inline const IID kIidTarnelEx = {
    0xC41F8E25, 0x7B90, 0x4D36, {0x9E, 0x1A, 0x5F, 0x2B, 0x8C, 0x0D, 0x7A, 0x94}};

// Each LoadedModule loads a copy of the built file of its own (or the file it is given), so that every test
// starts with a module that has nothing cached. When it goes, nothing may be left alive in it: it answers
// DllCanUnloadNow with S_OK and is unloaded.
class LoadedModule {
public:
    explicit LoadedModule(std::string file = std::string()) {
        if (file.empty()) {
            file = m_dir / "libtarnel.so";
            std::filesystem::copy_file(TARNEL_MODULE, file);
        }
        path = file;
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle, nullptr) << ::dlerror();
        if (handle == nullptr)
            return;
        DllGetClassObject =
            reinterpret_cast<decltype(DllGetClassObject)>(::dlsym(handle, "DllGetClassObject"));
        DllCanUnloadNow = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllCanUnloadNow"));
        DllRegisterServer = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllRegisterServer"));
        DllUnregisterServer = reinterpret_cast<HRESULT (*)()>(::dlsym(handle, "DllUnregisterServer"));
    }
    ~LoadedModule() {
        if (handle == nullptr)
            return;
        EXPECT_EQ(DllCanUnloadNow(), S_OK) << "something of the module is still alive";
        ::dlclose(handle);
        EXPECT_EQ(::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module stayed loaded";
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // The class object, or null.
    IClassFactory* ClassObject() {
        IClassFactory* cf = nullptr;
        EXPECT_EQ(DllGetClassObject(kClsidTarnelEx, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
        return cf;
    }
    // A new extractor, asked for riid.
    template <class I>
    I* Create(REFIID riid) {
        IClassFactory* cf = ClassObject();
        I* p = nullptr;
        EXPECT_EQ(cf->CreateInstance(nullptr, riid, reinterpret_cast<void**>(&p)), S_OK);
        cf->Release();
        return p;
    }

    std::string path;
    void* handle = nullptr;
    HRESULT (*DllGetClassObject)(REFCLSID, REFIID, LPVOID*) = nullptr;
    HRESULT (*DllCanUnloadNow)() = nullptr;
    HRESULT (*DllRegisterServer)() = nullptr;
    HRESULT (*DllUnregisterServer)() = nullptr;

private:
    TempDir m_dir;
};

} // namespace testutil
