// The registration-script language: what a script says, its placeholders, and the scripts it refuses.
#include "platform/tarnel/regscript.h"

#include <gtest/gtest.h>

using namespace tarnel::reg;

namespace {

TEST(RegistrationScript, ReadsKeysFlagsAndValuesInTheirOrder) {
    const wchar_t* script = L"HKCR\n{\n"
                            L"  noremove CLSID\n  {\n"
                            L"    FORCEREMOVE {3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38} = s 'It''s a class'\n"
                            L"    {\n      'val' = s x\n      val ThreadingModel = s 'Apartment'\n"
                            L"      val '' = d '0x10'\n      Empty { }\n    }\n  }\n"
                            L"  .stl { val Treatment = D 4294967295 }\n}\n"
                            L"HKEY_LOCAL_MACHINE { Software }";
    std::vector<RegScriptRoot> roots;
    ASSERT_TRUE(ParseRegistrationScript(script, roots));
    ASSERT_EQ(roots.size(), 2u);
    ASSERT_EQ(roots[0].keys.size(), 2u);
    const RegScriptKey& clsid = roots[0].keys[0];
    EXPECT_EQ(clsid.flag, RegScriptKey::kNoRemove);
    ASSERT_EQ(clsid.items.size(), 1u);
    const RegScriptKey& cls = clsid.items[0].key;
    EXPECT_EQ(cls.flag, RegScriptKey::kForceRemove);
    ASSERT_TRUE(cls.defaultValue);
    EXPECT_EQ(cls.defaultValue->datum, L"It's a class");
    ASSERT_EQ(cls.items.size(), 4u);
    EXPECT_FALSE(cls.items[0].value) << "a quoted 'val' is a key name";
    EXPECT_EQ(cls.items[0].key.name, L"val");
    EXPECT_EQ(cls.items[0].key.defaultValue->datum, L"x");
    EXPECT_EQ(cls.items[1].value->name, L"ThreadingModel");
    EXPECT_EQ(cls.items[2].value->name, L"");
    EXPECT_EQ(cls.items[2].value->type, L'd');
    EXPECT_TRUE(cls.items[3].key.items.empty());
    EXPECT_EQ(roots[0].keys[1].items[0].value->type, L'd');
    DWORD n = 0;
    EXPECT_TRUE(ParseRegistrationNumber(roots[0].keys[1].items[0].value->datum, n));
    EXPECT_EQ(n, 0xFFFFFFFFu);

    const std::wstring formatted = FormatRegistrationScript(roots);
    std::vector<RegScriptRoot> again;
    ASSERT_TRUE(ParseRegistrationScript(formatted, again)) << formatted.size();
    EXPECT_EQ(FormatRegistrationScript(again), formatted);
}

TEST(RegistrationScript, RefusesWhatDoesNotFollowTheGrammar) {
    const wchar_t* bad[] = {
        L"HKU { A }",                   // a root the registry here does not keep
        L"HKCR A",                      // no block
        L"HKCR { A ",                   // never closed
        L"HKCR { A = s 'open }",        // quote never closed
        L"HKCR { A = x 'y' }",          // no such type
        L"HKCR { A = d '4294967296' }", // too big for 32 bits
        L"HKCR { A = d '-1' }",         //
        L"HKCR { A = d '' }",           //
        L"HKCR { 'a\\b' }",             // a key name cannot hold a backslash
        L"HKCR { val X = s 'y' }",      // values belong to a key
        L"HKCR { A { val X s 'y' } }",  // no '='
        L"HKCR { A { val = s 'y' } }",  //
        L"HKCR { NoRemove }",           // a flag without its key
        L"HKCR { A = s }",              // no datum
        L"HKCR { } }",                  //
        L"{ A }",                       //
    };
    std::vector<RegScriptRoot> roots;
    for (const wchar_t* script : bad)
        EXPECT_FALSE(ParseRegistrationScript(script, roots)) << testing::PrintToString(std::wstring(script));

    std::wstring deep = L"HKCR {", closing;
    for (int i = 0; i < 63; ++i)
        deep += L" K {";
    for (int i = 0; i < 64; ++i)
        closing += L" }";
    EXPECT_TRUE(ParseRegistrationScript(deep + closing, roots));
    EXPECT_FALSE(ParseRegistrationScript(deep + L" K { }" + closing, roots)) << "65 blocks deep";
}

TEST(RegistrationScript, Placeholders) {
    const RegReplacements replacements = {{L"Module", L"/opt/it''s/libtarnel.so"}};
    std::wstring out;
    ASSERT_TRUE(ExpandRegistrationScript(L"A = s '%MODULE%' 100%% %module%", replacements, out));
    EXPECT_EQ(out, L"A = s '/opt/it''s/libtarnel.so' 100% /opt/it''s/libtarnel.so");
    EXPECT_FALSE(ExpandRegistrationScript(L"%OTHER%", replacements, out));
    EXPECT_FALSE(ExpandRegistrationScript(L"50% off", replacements, out));

    std::vector<RegScriptRoot> roots;
    ASSERT_TRUE(ExpandRegistrationScript(L"HKCR { S = s '%MODULE%' }", replacements, out));
    ASSERT_TRUE(ParseRegistrationScript(out, roots));
    EXPECT_EQ(roots[0].keys[0].defaultValue->datum, L"/opt/it's/libtarnel.so")
        << "the doubled quote reads back as one";
}

} // namespace
