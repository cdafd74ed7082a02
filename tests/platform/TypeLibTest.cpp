// Type libraries: the text form, what ITypeLib and ITypeInfo answer from it, and their registration.
#include "RegistryTestUtil.h"

#include "oleauto.h"

using tarnel::plat::NarrowFileName;

using testutil::Entries;
using testutil::PrivateHive;
using testutil::PutString;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

typedef std::set<std::string> Lines;

const GUID kLibId = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const IID kDual = {0xAAAAAAAA, 0x0001, 0x0001, {1, 1, 1, 1, 1, 1, 1, 1}};
const CLSID kClass = {0xCCCCCCCC, 0x0001, 0x0001, {1, 1, 1, 1, 1, 1, 1, 1}};

const char kLibrary[] =
    "TARNEL-TYPELIB 1\n"
    "# a comment\n"
    "library SampleLib {11111111-2222-3333-4444-555555555555} version 1.2 lcid 0x409 "
    "helpstring \"Sample \\\"1.2\\\" Library\"\n"
    "importlib stdole2.tlb\n"
    "interface IDual {AAAAAAAA-0001-0001-0101-010101010101} base IDispatch dual "
    "helpstring \"IDual Interface\"\n"
    "interface IPlain {BBBBBBBB-0001-0001-0101-010101010101} base IUnknown oleautomation\n"
    "interface IInner {DDDDDDDD-0001-0001-0101-010101010101} base IUnknown\n"
    "coclass Sample {CCCCCCCC-0001-0001-0101-010101010101} implements IPlain default IDual\n";

std::string Text(BSTR b) {
    std::string s = b != nullptr ? NarrowFileName(std::wstring(b, SysStringLen(b))) : "(null)";
    SysFreeString(b);
    return s;
}

TEST(TypeLib, AnswersFromTheTextForm) {
    TempDir dir;
    WriteFile(dir / "sample.tlb", kLibrary);
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLib(testutil::Wide(dir / "sample.tlb").c_str(), &lib), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 4u);
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, kLibId));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 2);
    EXPECT_EQ(attr->lcid, 0x409u);
    lib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "SampleLib");
    EXPECT_EQ(Text(doc), "Sample \"1.2\" Library");

    ITypeInfo* dual = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kDual, &dual), S_OK);
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kClass, &coclass), S_OK);
    lib->Release(); // the descriptions keep their library alive

    TYPEATTR* ta = nullptr;
    ASSERT_EQ(dual->GetTypeAttr(&ta), S_OK);
    EXPECT_EQ(ta->typekind, TKIND_DISPATCH) << "a dual interface is described by its dispatch side";
    EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(ta->cFuncs, 0);
    dual->ReleaseTypeAttr(ta);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"QueryInterface"), const_cast<LPOLESTR>(L"Anything")};
    MEMBERID ids[2] = {1, 2};
    EXPECT_EQ(dual->GetIDsOfNames(names, 2, ids), DISP_E_UNKNOWNNAME) << "no members, no names";
    EXPECT_EQ(ids[0], MEMBERID_NIL);
    EXPECT_EQ(ids[1], MEMBERID_NIL);
    EXPECT_EQ(dual->Invoke(nullptr, 0, INVOKE_FUNC, nullptr, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(dual->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Text(name), "IDual");
    EXPECT_EQ(dual->GetDocumentation(0, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    ASSERT_EQ(coclass->GetTypeAttr(&ta), S_OK);
    EXPECT_EQ(ta->typekind, TKIND_COCLASS);
    EXPECT_EQ(ta->cImplTypes, 2);
    EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FCANCREATE);
    coclass->ReleaseTypeAttr(ta);
    HREFTYPE ref = 0;
    INT flags = -1;
    ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
    ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    ITypeInfo* viaRef = nullptr;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, &viaRef), S_OK);
    EXPECT_EQ(viaRef, dual);
    EXPECT_EQ(coclass->GetRefTypeOfImplType(2, &ref), TYPE_E_ELEMENTNOTFOUND);
    for (ITypeInfo* info : {viaRef, coclass, dual})
        info->Release();
}

TEST(TypeLib, RefusesWhatIsNoTypeLibrary) {
    TempDir dir;
    const std::string lib = kLibrary;
    struct Case {
        std::string text;
        HRESULT hr;
    };
    const Case cases[] = {
        {"", TYPE_E_UNSUPFORMAT},
        {"MSFT\x02\x00\x01", TYPE_E_UNSUPFORMAT},
        {"TARNEL-TYPELIB 1\n", TYPE_E_INVDATAREAD},
        {"TARNEL-TYPELIB 1\ninterface I {AAAAAAAA-0001-0001-0101-010101010101} base IUnknown\n",
         TYPE_E_INVDATAREAD},
        {lib + "coclass Other {EEEEEEEE-0001-0001-0101-010101010101} default INowhere\n", TYPE_E_INVDATAREAD},
        {lib + "interface IDual {EEEEEEEE-0001-0001-0101-010101010101} base IUnknown\n", TYPE_E_INVDATAREAD},
        {lib + "interface IX {EEEEEEEE-0001-0001-0101-010101010101} base IUnknown dual\n",
         TYPE_E_INVDATAREAD},
        {lib + "interface IX {EEEEEEEE-0001-0001-0101-010101010101} base IUnknown helpstring \"open\n",
         TYPE_E_INVDATAREAD},
        {lib + "interface IX {not-a-guid} base IUnknown\n", TYPE_E_INVDATAREAD},
        {lib + "library Again {EEEEEEEE-0001-0001-0101-010101010101}\n", TYPE_E_INVDATAREAD},
    };
    ITypeLib* out = reinterpret_cast<ITypeLib*>(1);
    for (const Case& c : cases) {
        WriteFile(dir / "x.tlb", c.text);
        EXPECT_EQ(LoadTypeLib(testutil::Wide(dir / "x.tlb").c_str(), &out), c.hr) << c.text;
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(LoadTypeLib(testutil::Wide(dir / "missing.tlb").c_str(), &out), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(testutil::Wide(dir.path().string()).c_str(), &out), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(L"/proc/self/exe", &out), TYPE_E_CANTLOADLIBRARY)
        << "a module without the resource";
}

TEST(TypeLib, RegistrationIsFoundAndTakenBack) {
    PrivateHive hive;
    WriteFile(hive.Dir() / "sample.tlb", kLibrary);
    const std::wstring path = testutil::Wide(hive.Dir() / "sample.tlb");
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLib(path.c_str(), &lib), S_OK);
    ITypeLib* found = reinterpret_cast<ITypeLib*>(1);
    EXPECT_EQ(LoadRegTypeLib(kLibId, 1, 2, 0x409, &found), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(found, nullptr);
    // Someone else's interface stays through all of it.
    PutString(HKEY_CLASSES_ROOT, L"Interface\\{EEEEEEEE-0001-0001-0101-010101010101}\\TypeLib", L"",
              L"{99999999-2222-3333-4444-555555555555}");

    ASSERT_EQ(RegisterTypeLib(lib, path.c_str(), nullptr), S_OK);
    lib->Release();
    const std::string libKey = "TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.2";
    const std::string dual = "Interface\\{AAAAAAAA-0001-0001-0101-010101010101}";
    const std::string plain = "Interface\\{BBBBBBBB-0001-0001-0101-010101010101}";
    const std::string foreign = "Interface\\{EEEEEEEE-0001-0001-0101-010101010101}";
    const std::string psoa = "{00020424-0000-0000-C000-000000000046}";
    Lines expected = {"TypeLib",
                      "TypeLib\\{11111111-2222-3333-4444-555555555555}",
                      libKey,
                      libKey + "|@=sz:Sample \"1.2\" Library",
                      libKey + "\\FLAGS",
                      libKey + "\\FLAGS|@=sz:0",
                      libKey + "\\HELPDIR",
                      libKey + "\\HELPDIR|@=sz:",
                      libKey + "\\409",
                      libKey + "\\409\\win64",
                      libKey + "\\409\\win64|@=sz:" + hive.Dir() / "sample.tlb",
                      "Interface",
                      foreign,
                      foreign + "\\TypeLib",
                      foreign + "\\TypeLib|@=sz:{99999999-2222-3333-4444-555555555555}"};
    for (const auto& [key, name] : {std::pair{dual, "IDual"}, std::pair{plain, "IPlain"}}) {
        for (const std::string& line :
             {key, key + "|@=sz:" + name, key + "\\ProxyStubClsid", key + "\\ProxyStubClsid|@=sz:" + psoa,
              key + "\\ProxyStubClsid32", key + "\\ProxyStubClsid32|@=sz:" + psoa, key + "\\TypeLib",
              key + "\\TypeLib|@=sz:{11111111-2222-3333-4444-555555555555}",
              key + "\\TypeLib|Version=sz:1.2"})
            expected.insert(line);
    }
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), expected);

    // The version asked for or a higher minor one; any way of asking for the default locale.
    for (auto [major, minor, lcid, hr] :
         {std::tuple{1, 0, 0x409u, S_OK}, std::tuple{1, 2, 0u, S_OK},
          std::tuple{1, 2, LCID(LOCALE_USER_DEFAULT), S_OK}, std::tuple{1, 2, 0x809u, S_OK},
          std::tuple{1, 3, 0x409u, TYPE_E_LIBNOTREGISTERED},
          std::tuple{2, 0, 0x409u, TYPE_E_LIBNOTREGISTERED}}) {
        EXPECT_EQ(LoadRegTypeLib(kLibId, WORD(major), WORD(minor), lcid, &found), hr)
            << major << "." << minor;
        if (found != nullptr)
            found->Release();
    }

    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 2, 0x409, SYS_WIN64), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT),
              (Lines{"TypeLib", "Interface", foreign, foreign + "\\TypeLib",
                     foreign + "\\TypeLib|@=sz:{99999999-2222-3333-4444-555555555555}"}));
    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 2, 0x409, SYS_WIN64), TYPE_E_REGISTRYACCESS);

    // A registration that points at a file holding another library finds nothing.
    PutString(HKEY_CLASSES_ROOT, L"TypeLib\\{11111111-2222-3333-4444-555555555555}\\1.2\\0\\win64", L"",
              testutil::Wide(hive.Dir() / "elsewhere.tlb"));
    WriteFile(hive.Dir() / "elsewhere.tlb",
              "TARNEL-TYPELIB 1\nlibrary Other {99999999-2222-3333-4444-555555555555} version 1.2\n");
    EXPECT_EQ(LoadRegTypeLib(kLibId, 1, 2, 0, &found), TYPE_E_LIBNOTREGISTERED);
}

} // namespace
