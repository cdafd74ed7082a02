// The hive file's text: what is written reads back the same, and a damaged file is refused as a whole.
#include "platform/tarnel/reghive.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tarnel::reg;

namespace {

RegValue Value(const std::wstring& name, DWORD type, std::vector<BYTE> data) {
    return RegValue{name, type, std::move(data)};
}

RegValue Text(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
    std::vector<BYTE> data((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(data.data(), text.c_str(), data.size());
    return Value(name, type, std::move(data));
}

bool Parses(const std::string& text, size_t* line = nullptr) {
    RegistryHive hive;
    return hive.Parse(text, line);
}

TEST(RegistryHive, EveryKindOfValueReadsBackUnchanged) {
    RegistryHive hive;
    RegKeyNode& key = hive.top.Child(L"HKEY_CURRENT_USER").Child(L"Software").Child(L"K\u00e9y [x]");
    key.SetValue(Text(L"", L"default"));
    key.SetValue(Text(L"quote\"and\\backslash", L"C:\\path \"quoted\""));
    key.SetValue(Text(L"empty", L""));
    key.SetValue(Text(L"lines", L"one\ntwo\ttab"));               // not one printable line: hex(1)
    key.SetValue(Text(L"file name byte", L"/tmp/\xDCE9t\xDCE9")); // undecodable file-name bytes
    key.SetValue(Text(L"beyond the BMP", L"\U0001F600"));
    key.SetValue(Value(L"no terminator", REG_SZ, {'a', 0, 0, 0}));
    key.SetValue(Value(L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}));
    key.SetValue(Value(L"short dword", REG_DWORD, {1, 2}));
    key.SetValue(Value(L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}));
    key.SetValue(Value(L"nothing", REG_BINARY, {}));
    std::vector<BYTE> longData(300);
    for (size_t i = 0; i < longData.size(); ++i)
        longData[i] = BYTE(i);
    key.SetValue(Value(L"long binary", REG_BINARY, longData)); // wraps over several lines
    key.SetValue(Text(L"expand", L"%HOME%/x", REG_EXPAND_SZ));
    key.Child(L"empty subkey");

    const std::string text = hive.Format();
    RegistryHive back;
    size_t line = 0;
    ASSERT_TRUE(back.Parse(text, &line)) << "line " << line << "\n" << text;
    EXPECT_TRUE(back.top == hive.top) << text;
    EXPECT_EQ(back.Format(), text);
    EXPECT_NE(text.find("\"dword\"=dword:12345678\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"quote\\\"and\\\\backslash\"=\"C:\\\\path \\\"quoted\\\"\"\n"), std::string::npos);
    EXPECT_NE(text.find(",\\\n  "), std::string::npos) << "long hex data wraps";
}

TEST(RegistryHive, NamesMatchWithoutRegardToCase) {
    RegistryHive hive;
    ASSERT_TRUE(hive.Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_CURRENT_USER\\Software\\Abc]\r\n\"Name\"=\"first\"\r\n"
                           "[hkey_current_user\\SOFTWARE\\aBC\\Sub]\r\n"
                           "[HKEY_CURRENT_USER\\Software\\ABC]\r\n\"NAME\"=\"second\"\r\n"));
    const RegKeyNode* key = hive.top.Find(L"HKEY_CURRENT_USER")->Find(L"software")->Find(L"abc");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name, L"Abc") << "the first spelling stays";
    ASSERT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->values[0].name, L"Name");
    EXPECT_NE(key->Find(L"SUB"), nullptr);
    EXPECT_TRUE(Parses("")) << "an empty file is an empty hive";
}

TEST(RegistryHive, DamagedTextIsRefusedWithItsLine) {
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    const std::string key = "[HKEY_CURRENT_USER\\K]\n";
    struct Case {
        std::string text;
        size_t line;
    };
    const Case cases[] = {
        {"REGEDIT4\n\n" + key, 1},
        {"\n" + head, 1},
        {head + "\"v\"=\"before any key\"\n", 3},
        {head + "[HKEY_NOWHERE\\K]\n", 3},
        {head + "[-HKEY_CURRENT_USER\\K]\n", 3},
        {head + "[HKEY_CURRENT_USER\\\\K]\n", 3},
        {head + "[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]\n", 3},
        {head + "[HKEY_CURRENT_USER\\K\n", 3},
        {head + key + "\"v\"=\"unterminated\n", 4},
        {head + key + "\"v\"=\"bad \\n escape\"\n", 4},
        {head + key + "\"v\"=\"trailing\" junk\n", 4},
        {head + key + "\"v\"=dword:123456789\n", 4},
        {head + key + "\"v\"=dword:\n", 4},
        {head + key + "\"v\"=hex(1):41\n", 4},          // odd UTF-16
        {head + key + "\"v\"=hex(1):00,d8,41,00\n", 4}, // a high surrogate alone
        {head + key + "\"v\"=hex:01,,02\n", 4},
        {head + key + "\"v\"=hex:01,02,\\\n", 4}, // continued past the end
        {head + key + "\"v\"=hex(zz):01\n", 4},
        {head + key + "\"v\"=-\n", 4},
        {head + key + "v=\"unquoted name\"\n", 4},
        {head + key + "\"v\"=\"\xC3\x28\"\n", 4},          // not UTF-8
        {head + "[HKEY_CURRENT_USER\\\xED\xA0\x80]\n", 3}, // an encoded surrogate
    };
    for (const Case& c : cases) {
        size_t line = 0;
        EXPECT_FALSE(Parses(c.text, &line)) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
    }
    RegistryHive hive;
    hive.top.Child(L"HKEY_CURRENT_USER");
    EXPECT_FALSE(hive.Parse(head + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:1x\n"));
    EXPECT_NE(hive.top.Find(L"HKEY_CURRENT_USER"), nullptr) << "a refused text leaves the hive as it was";
}

TEST(RegistryHive, NameAndDataRules) {
    EXPECT_TRUE(IsValidKeyName(std::wstring(255, L'k')));
    EXPECT_FALSE(IsValidKeyName(std::wstring(256, L'k')));
    EXPECT_FALSE(IsValidKeyName(L""));
    EXPECT_FALSE(IsValidKeyName(L"a\\b"));
    EXPECT_FALSE(IsValidKeyName(L"a\nb"));
    EXPECT_TRUE(IsValidValueName(L""));
    EXPECT_FALSE(IsValidValueName(std::wstring(16384, L'v')));
    const wchar_t lowSurrogate[] = L"\xDC80";
    const wchar_t highSurrogate[] = L"\xD800";
    EXPECT_TRUE(IsStorableData(REG_SZ, reinterpret_cast<const BYTE*>(lowSurrogate), sizeof lowSurrogate));
    EXPECT_FALSE(IsStorableData(REG_SZ, reinterpret_cast<const BYTE*>(highSurrogate), sizeof highSurrogate));
    EXPECT_FALSE(IsStorableData(REG_MULTI_SZ, reinterpret_cast<const BYTE*>(L"ab"), 3));
    EXPECT_TRUE(IsStorableData(REG_BINARY, reinterpret_cast<const BYTE*>("ab"), 3));
}

} // namespace
