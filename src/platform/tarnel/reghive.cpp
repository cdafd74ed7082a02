#include "platform/tarnel/reghive.h"

#include <cstdio>
#include <cstring>

namespace tarnel::reg {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::wstring_view kRootNames[] = {L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE",
                                            L"HKEY_USERS", L"HKEY_CURRENT_CONFIG"};
// Hex data wraps after this many columns, with a backslash at the end of the line, as regedit writes it.
constexpr size_t kWrapColumn = 76;

wchar_t Fold(wchar_t c) {
    return c >= L'a' && c <= L'z' ? wchar_t(c - (L'a' - L'A')) : c;
}

bool IsSurrogate(uint32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsPrintable(uint32_t c) {
    return c >= 0x20 && c != 0x7F && !IsSurrogate(c) && c < 0x110000;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool DecodeUtf8(std::string_view s, std::wstring& out) {
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    out.clear();
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || len > s.size() - i)
            return false;
        uint32_t c = len == 1 ? b : len == 2 ? (b & 0x1Fu) : len == 3 ? (b & 0x0Fu) : (b & 0x07u);
        for (size_t k = 1; k < len; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (t & 0x3Fu);
        }
        if (c < kSmallest[len] || IsSurrogate(c) || c >= 0x110000)
            return false;
        out += wchar_t(c);
        i += len;
    }
    return true;
}

void EncodeUtf8(std::wstring_view w, std::string& out) {
    for (wchar_t wc : w) {
        auto c = uint32_t(wc);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
}

std::vector<BYTE> WcharBytes(std::wstring_view s) {
    std::vector<BYTE> data(s.size() * sizeof(WCHAR));
    if (!s.empty())
        std::memcpy(data.data(), s.data(), data.size());
    return data;
}

std::wstring BytesAsWchars(const std::vector<BYTE>& data) {
    std::wstring s(data.size() / sizeof(WCHAR), L'\0');
    if (!s.empty())
        std::memcpy(s.data(), data.data(), s.size() * sizeof(WCHAR));
    return s;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// 1 to maxDigits hex digits, the whole of s.
bool ParseHex(std::string_view s, size_t maxDigits, uint32_t& value) {
    if (s.empty() || s.size() > maxDigits)
        return false;
    value = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        value = (value << 4) | uint32_t(d);
    }
    return true;
}

// A double-quoted string starting at s[start] (just after the opening quote); `after` is the position after
// the closing quote.
bool ReadQuoted(std::string_view s, size_t start, std::wstring& out, size_t& after) {
    std::string raw;
    for (size_t i = start; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            after = i + 1;
            return DecodeUtf8(raw, out);
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                return false;
            c = s[++i];
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
        raw += c;
    }
    return false;
}

bool ParseHexBytes(std::string_view s, std::vector<BYTE>& bytes) {
    s = Trim(s);
    if (s.empty())
        return true;
    for (;;) {
        size_t comma = s.find(',');
        uint32_t b = 0;
        if (!ParseHex(Trim(s.substr(0, comma)), 2, b))
            return false;
        bytes.push_back(BYTE(b));
        if (comma == std::string_view::npos)
            return true;
        s.remove_prefix(comma + 1);
    }
}

// UTF-16LE as regedit writes strings in hex form; a high surrogate must be followed by a low one.
bool Utf16ToWchars(const std::vector<BYTE>& bytes, std::wstring& out) {
    if (bytes.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t u = bytes[i] | uint32_t(bytes[i + 1]) << 8;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 3 >= bytes.size())
                return false;
            uint32_t low = bytes[i + 2] | uint32_t(bytes[i + 3]) << 8;
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        out += wchar_t(u);
    }
    return true;
}

std::vector<BYTE> WcharsToUtf16(std::wstring_view s) {
    std::vector<BYTE> out;
    auto put = [&](uint32_t u) {
        out.push_back(BYTE(u));
        out.push_back(BYTE(u >> 8));
    };
    for (wchar_t wc : s) {
        auto c = uint32_t(wc);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

// A REG_SZ that reads back the same from its quoted form: printable text and one terminator at the end.
bool IsQuotable(const RegValue& v) {
    if (v.type != REG_SZ || v.data.size() % sizeof(WCHAR) != 0 || v.data.empty())
        return false;
    std::wstring s = BytesAsWchars(v.data);
    if (s.back() != L'\0')
        return false;
    s.pop_back();
    for (wchar_t c : s)
        if (!IsPrintable(uint32_t(c)))
            return false;
    return true;
}

void AppendQuoted(std::wstring_view s, std::string& out) {
    out += '"';
    for (wchar_t c : s) {
        if (c == L'\\' || c == L'"')
            out += '\\';
        EncodeUtf8(std::wstring_view(&c, 1), out);
    }
    out += '"';
}

void FormatValue(const RegValue& v, std::string& out) {
    const size_t lineStart = out.size();
    if (v.name.empty())
        out += '@';
    else
        AppendQuoted(v.name, out);
    out += '=';
    char buf[32];
    if (IsQuotable(v)) {
        std::wstring s = BytesAsWchars(v.data);
        s.pop_back();
        AppendQuoted(s, out);
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t d =
            v.data[0] | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        out += buf;
    } else {
        if (v.type == REG_BINARY) {
            out += "hex:";
        } else {
            std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
            out += buf;
        }
        const bool utf16 = IsStringType(v.type) && IsStorableData(v.type, v.data.data(), v.data.size());
        const std::vector<BYTE> bytes = utf16 ? WcharsToUtf16(BytesAsWchars(v.data)) : v.data;
        size_t column = out.size() - lineStart;
        for (size_t i = 0; i < bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
            out += buf;
            column += 2;
            if (i + 1 < bytes.size()) {
                out += ',';
                if (++column >= kWrapColumn) {
                    out += "\\\n  ";
                    column = 2;
                }
            }
        }
    }
    out += '\n';
}

void FormatKey(const RegKeyNode& key, const std::wstring& path, std::string& out) {
    out += '[';
    EncodeUtf8(path, out);
    out += "]\n";
    for (const RegValue& v : key.values)
        FormatValue(v, out);
    out += '\n';
    for (const auto& [name, sub] : key.subkeys)
        FormatKey(*sub, path + L"\\" + sub->name, out);
}

} // namespace

bool NamesEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    return true;
}

bool NameLess::operator()(const std::wstring& a, const std::wstring& b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = Fold(a[i]), y = Fold(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool IsValidKeyName(std::wstring_view name) {
    if (name.empty() || name.size() > kRegMaxKeyNameLength)
        return false;
    for (wchar_t c : name)
        if (c == L'\\' || !IsPrintable(uint32_t(c)))
            return false;
    return true;
}

bool IsValidValueName(std::wstring_view name) {
    if (name.size() > kRegMaxValueNameLength)
        return false;
    for (wchar_t c : name)
        if (!IsPrintable(uint32_t(c)))
            return false;
    return true;
}

bool IsStorableData(DWORD type, const BYTE* data, size_t size) {
    if (!IsStringType(type))
        return true;
    if (size % sizeof(WCHAR) != 0)
        return false;
    for (size_t i = 0; i < size; i += sizeof(WCHAR)) {
        uint32_t c;
        std::memcpy(&c, data + i, sizeof c);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDBFF))
            return false;
    }
    return true;
}

RegKeyNode* RegKeyNode::Find(std::wstring_view subkey) const {
    auto it = subkeys.find(std::wstring(subkey));
    return it == subkeys.end() ? nullptr : it->second.get();
}

RegKeyNode& RegKeyNode::Child(const std::wstring& subkey) {
    auto& slot = subkeys[subkey];
    if (!slot) {
        slot = std::make_unique<RegKeyNode>();
        slot->name = subkey;
    }
    return *slot;
}

const RegValue* RegKeyNode::FindValue(std::wstring_view valueName) const {
    for (const RegValue& v : values)
        if (NamesEqual(v.name, valueName))
            return &v;
    return nullptr;
}

void RegKeyNode::SetValue(RegValue value) {
    for (RegValue& v : values) {
        if (NamesEqual(v.name, value.name)) {
            v.type = value.type;
            v.data = std::move(value.data);
            return;
        }
    }
    values.push_back(std::move(value));
}

bool RegKeyNode::DeleteValue(std::wstring_view valueName) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (NamesEqual(it->name, valueName)) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

bool RegKeyNode::operator==(const RegKeyNode& other) const {
    if (name != other.name || values != other.values || subkeys.size() != other.subkeys.size())
        return false;
    for (auto a = subkeys.begin(), b = other.subkeys.begin(); a != subkeys.end(); ++a, ++b)
        if (!(*a->second == *b->second))
            return false;
    return true;
}

bool RegistryHive::Parse(std::string_view text, size_t* errorLine) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    RegKeyNode result;
    size_t pos = 0, lineNo = 0;
    auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size())
            return false;
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        return true;
    };
    auto fail = [&] {
        if (errorLine != nullptr)
            *errorLine = lineNo;
        return false;
    };

    std::string_view line;
    if (nextLine(line) && line != kHeader)
        return fail();
    RegKeyNode* current = nullptr;
    std::wstring wide;
    while (nextLine(line)) {
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.size() < 3 || line.back() != ']' || line[1] == '-' ||
                !DecodeUtf8(line.substr(1, line.size() - 2), wide))
                return fail();
            current = &result;
            size_t depth = 0;
            for (size_t start = 0;;) {
                size_t slash = wide.find(L'\\', start);
                std::wstring part =
                    wide.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
                if (!IsValidKeyName(part) || ++depth > kRegMaxKeyDepth + 1)
                    return fail();
                if (depth == 1) {
                    bool known = false;
                    for (std::wstring_view root : kRootNames)
                        known = known || NamesEqual(part, root);
                    if (!known)
                        return fail();
                }
                current = &current->Child(part);
                if (slash == std::wstring::npos)
                    break;
                start = slash + 1;
            }
            continue;
        }
        if (current == nullptr)
            return fail();

        RegValue v;
        size_t i = 1;
        if (line[0] == '"') {
            if (!ReadQuoted(line, 1, v.name, i) || !IsValidValueName(v.name))
                return fail();
        } else if (line[0] != '@') {
            return fail();
        }
        std::string_view data = Trim(line.substr(i));
        if (data.empty() || data[0] != '=')
            return fail();
        data = Trim(data.substr(1));
        if (!data.empty() && data[0] == '"') {
            std::wstring s;
            size_t after = 0;
            if (!ReadQuoted(data, 1, s, after) || after != data.size())
                return fail();
            v.type = REG_SZ;
            v.data = WcharBytes(s + L'\0');
        } else if (data.substr(0, 6) == "dword:") {
            uint32_t d = 0;
            if (!ParseHex(data.substr(6), 8, d))
                return fail();
            v.type = REG_DWORD;
            v.data = {BYTE(d), BYTE(d >> 8), BYTE(d >> 16), BYTE(d >> 24)};
        } else if (data.substr(0, 3) == "hex") {
            data.remove_prefix(3);
            uint32_t type = REG_BINARY;
            if (!data.empty() && data[0] == '(') {
                size_t close = data.find(')');
                if (close == std::string_view::npos || !ParseHex(data.substr(1, close - 1), 8, type))
                    return fail();
                data.remove_prefix(close + 1);
            }
            if (data.empty() || data[0] != ':')
                return fail();
            std::string bytesText(data.substr(1));
            while (!bytesText.empty() && bytesText.back() == '\\') {
                bytesText.pop_back();
                std::string_view more;
                if (!nextLine(more))
                    return fail();
                bytesText += more;
            }
            std::vector<BYTE> bytes;
            if (!ParseHexBytes(bytesText, bytes))
                return fail();
            v.type = type;
            if (IsStringType(type)) {
                std::wstring s;
                if (!Utf16ToWchars(bytes, s))
                    return fail();
                v.data = WcharBytes(s);
            } else {
                v.data = std::move(bytes);
            }
        } else {
            return fail();
        }
        current->SetValue(std::move(v));
    }
    top = std::move(result);
    return true;
}

std::string RegistryHive::Format() const {
    std::string out(kHeader);
    out += "\n\n";
    for (const auto& [name, root] : top.subkeys)
        FormatKey(*root, root->name, out);
    return out;
}

} // namespace tarnel::reg
