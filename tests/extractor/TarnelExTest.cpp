#include "Extractor.h"
#include "TestUtil.h"

#include "winbase.h"

#include <sys/stat.h>
#include <utime.h>

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

TEST(TarnelEx, InterfaceMapAnswersFiveInterfacesAndRefusesIPersist) {
    Extractor x;
    void* p = nullptr;
    EXPECT_EQ(x.extract->QueryInterface(IID_IPersist, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(x.extract->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(x.extract->QueryInterface(IID_IExtractImage, nullptr), E_POINTER);

    void *ei = nullptr, *ei2 = nullptr, *disp = nullptr, *tarnel = nullptr, *unk = nullptr, *pf = nullptr;
    ASSERT_EQ(x.persist->QueryInterface(IID_IExtractImage, &ei), S_OK);
    ASSERT_EQ(x.persist->QueryInterface(IID_IExtractImage2, &ei2), S_OK);
    ASSERT_EQ(x.extract->QueryInterface(IID_IDispatch, &disp), S_OK);
    ASSERT_EQ(x.extract->QueryInterface(IID_ITarnelEx, &tarnel), S_OK);
    ASSERT_EQ(x.extract->QueryInterface(IID_IUnknown, &unk), S_OK);
    ASSERT_EQ(x.extract->QueryInterface(IID_IPersistFile, &pf), S_OK);
    EXPECT_EQ(ei, ei2) << "IExtractImage and IExtractImage2 share one table";
    EXPECT_EQ(disp, tarnel) << "IDispatch is the primary table";
    EXPECT_EQ(unk, tarnel) << "IUnknown is answered with the first entry";
    EXPECT_EQ(pf, static_cast<void*>(x.persist));
    for (void* q : {ei, ei2, disp, tarnel, unk, pf})
        static_cast<IUnknown*>(q)->Release();
}

TEST(TarnelEx, EveryLiveObjectHoldsTheModule) {
    LONG before = _pAtlModule->GetLockCount();
    {
        Extractor a, b;
        EXPECT_EQ(_pAtlModule->GetLockCount(), before + 2);
    }
    EXPECT_EQ(_pAtlModule->GetLockCount(), before);
}

TEST(TarnelEx, UnimplementedPersistOperations) {
    Extractor x;
    CLSID clsid = IID_NULL;
    LPOLESTR name = nullptr;
    EXPECT_EQ(x.persist->GetClassID(&clsid), E_NOTIMPL);
    EXPECT_EQ(x.persist->GetClassID(nullptr), E_NOTIMPL);
    EXPECT_TRUE(IsEqualGUID(clsid, IID_NULL));
    EXPECT_EQ(x.persist->IsDirty(), E_NOTIMPL);
    EXPECT_EQ(x.persist->Save(L"x", TRUE), E_NOTIMPL);
    EXPECT_EQ(x.persist->Save(nullptr, FALSE), E_NOTIMPL);
    EXPECT_EQ(x.persist->SaveCompleted(nullptr), E_NOTIMPL);
    EXPECT_EQ(x.persist->GetCurFile(&name), E_NOTIMPL);
    EXPECT_EQ(x.persist->GetCurFile(nullptr), E_NOTIMPL);
    EXPECT_EQ(name, nullptr);
}

TEST(TarnelEx, GetLocationStoresTheSizeAndAnswersAsyncWithPending) {
    Extractor x;
    WCHAR buffer[8] = L"keep";
    DWORD priority = 7;
    SIZE size = {120, 96};
    DWORD flags = IEIFLAG_ASYNC;
    EXPECT_EQ(x.extract->GetLocation(buffer, 8, &priority, &size, 32, &flags), E_PENDING);
    EXPECT_STREQ(buffer, L"keep");
    EXPECT_EQ(priority, 7u);
    EXPECT_EQ(flags, DWORD(IEIFLAG_ASYNC));
    for (DWORD f : {0x0u, 0x4u, 0xFFFFFFFEu}) {
        DWORD g = f;
        EXPECT_EQ(x.extract->GetLocation(nullptr, 0, nullptr, &size, 0, &g), S_OK) << f;
        EXPECT_EQ(g, f);
    }
    EXPECT_EQ(x.extract->GetLocation(nullptr, 0, nullptr, nullptr, 0, nullptr), S_OK);
}

TEST(TarnelEx, LoadKeepsTheLastNonNullNameLowerCased) {
    TempDir dir;
    WriteFile(dir / "Plate.QZT", "no picture here");
    Extractor x;
    EXPECT_EQ(x.persist->Load(Wide(dir.path().string() + "/Plate.QZT").c_str(), STGM_READ), S_OK);
    EXPECT_EQ(x.persist->Load(nullptr, STGM_READ), S_OK);
    // The stored name is lower-cased: the stamp still finds the file through name matching.
    FILETIME ft{};
    EXPECT_EQ(x.extract->GetDateStamp(&ft), S_OK);
    EXPECT_EQ(x.persist->Load(L"C:\\Work\\Plate.QZT", 0), S_OK);
    EXPECT_EQ(x.extract->GetDateStamp(&ft), E_FAIL);
}

TEST(TarnelEx, DateStampIsLocalWallTimeWrittenAsUtc) {
    TempDir dir;
    std::string file = dir / "stamp.qzt";
    WriteFile(file, "x");
    // A folder has its time like a file; a FIFO too, read without opening it (which could wait for ever).
    std::string folder = dir / "Folder.qzt", fifo = dir / "fifo.qzt";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::setenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4", 1); // two hours east, summer time in June
    ::tzset();
    Extractor x;
    for (const std::string& path : {file, folder, fifo}) {
        // 2020-06-15 14:30:05 local (summer, UTC+3) is 11:30:05 UTC.
        struct utimbuf times = {1592220605, 1592220605};
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
        x.persist->Load(Wide(path).c_str(), 0);
        FILETIME ft = {0xDEAD, 0xBEEF};
        ASSERT_EQ(x.extract->GetDateStamp(&ft), S_OK) << path;
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(st.wHour, 14) << path;
        EXPECT_EQ(st.wMinute, 30);
        EXPECT_EQ(st.wSecond, 5);
        EXPECT_EQ(st.wMilliseconds, 0);
        ULONGLONG ticks = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        EXPECT_EQ(ticks % 10000000ULL, 0u) << "whole seconds";
    }
    ::unsetenv("TZ");
    ::tzset();

    FILETIME untouched = {1, 2};
    x.persist->Load(Wide(dir / "missing.qzt").c_str(), 0);
    EXPECT_EQ(x.extract->GetDateStamp(&untouched), E_FAIL);
    EXPECT_EQ(untouched.dwLowDateTime, 1u);
    EXPECT_EQ(x.extract->GetDateStamp(nullptr), E_FAIL);
}

TEST(TarnelEx, DispatchWithoutARegisteredTypeLibrary) {
    TempDir dir;
    testutil::ScopedEnv registry("TARNEL_REGISTRY", dir / "empty.reg"); // never the user's registry
    Extractor x;
    IDispatch* disp = nullptr;
    ASSERT_EQ(x.extract->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
    UINT count = 0;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(disp->GetTypeInfoCount(nullptr), E_POINTER);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(disp->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(disp->GetTypeInfo(0, 0, nullptr), E_POINTER);
    EXPECT_EQ(disp->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    LPOLESTR name = const_cast<LPOLESTR>(L"Anything");
    DISPID id = 0;
    EXPECT_TRUE(FAILED(disp->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)));
    EXPECT_TRUE(FAILED(disp->Invoke(1, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr)));
    disp->Release();
}

} // namespace
