#include "platform/tarnel/regscript.h"
#include "platform/tarnel/reghive.h"

namespace tarnel::reg {

namespace {

constexpr size_t kMaxDepth = 64;
constexpr std::wstring_view kRootNames[] = {
    L"HKCR", L"HKCU", L"HKLM", L"HKEY_CLASSES_ROOT", L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE"};

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

struct Token {
    std::wstring text;
    bool quoted = false;
};

class Tokenizer {
public:
    explicit Tokenizer(std::wstring_view text) : m_text(text) {}

    // False at the end of the text, and on a quote that is never closed (then `error` is set).
    bool Next(Token& token) {
        if (m_hasPeeked) {
            m_hasPeeked = false;
            token = std::move(m_peeked);
            return true;
        }
        return Read(token);
    }
    const Token* Peek() {
        if (!m_hasPeeked)
            m_hasPeeked = Read(m_peeked);
        return m_hasPeeked ? &m_peeked : nullptr;
    }

    bool error = false;

private:
    bool Read(Token& token) {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos]))
            ++m_pos;
        if (m_pos >= m_text.size())
            return false;
        token.text.clear();
        token.quoted = m_text[m_pos] == L'\'';
        if (!token.quoted) {
            while (m_pos < m_text.size() && !IsSpace(m_text[m_pos]))
                token.text += m_text[m_pos++];
            return true;
        }
        for (++m_pos; m_pos < m_text.size(); ++m_pos) {
            if (m_text[m_pos] == L'\'') {
                if (m_pos + 1 >= m_text.size() || m_text[m_pos + 1] != L'\'') {
                    ++m_pos;
                    return true;
                }
                ++m_pos; // a doubled quote stands for one
            }
            token.text += m_text[m_pos];
        }
        error = true;
        return false;
    }

    std::wstring_view m_text;
    size_t m_pos = 0;
    Token m_peeked;
    bool m_hasPeeked = false;
};

bool IsWord(const Token& t, std::wstring_view word) {
    return !t.quoted && NamesEqual(t.text, word);
}

bool IsPunctuation(const Token& t) {
    return !t.quoted && (t.text == L"{" || t.text == L"}" || t.text == L"=");
}

// TYPE DATUM, after the `=`.
bool ParseTypedDatum(Tokenizer& tokens, RegScriptValue& value) {
    Token type, datum;
    if (!tokens.Next(type) || type.quoted || type.text.size() != 1 || !tokens.Next(datum) ||
        IsPunctuation(datum))
        return false;
    const wchar_t letter =
        type.text[0] >= L'A' && type.text[0] <= L'Z' ? wchar_t(type.text[0] + 32) : type.text[0];
    DWORD number = 0;
    if (letter != L's' && (letter != L'd' || !ParseRegistrationNumber(datum.text, number)))
        return false;
    value.type = letter;
    value.datum = std::move(datum.text);
    return true;
}

bool ParseItems(Tokenizer& tokens, std::vector<RegScriptKey::Item>& items, size_t depth, bool allowValues);

bool ParseKey(Tokenizer& tokens, Token first, RegScriptKey& key, size_t depth) {
    const bool noRemove = IsWord(first, L"NoRemove"), forceRemove = IsWord(first, L"ForceRemove");
    if (noRemove || forceRemove) {
        key.flag = noRemove ? RegScriptKey::kNoRemove : RegScriptKey::kForceRemove;
        if (!tokens.Next(first))
            return false;
    }
    if (IsPunctuation(first) || !IsValidKeyName(first.text))
        return false;
    key.name = std::move(first.text);
    const Token* next = tokens.Peek();
    if (next != nullptr && IsWord(*next, L"=")) {
        Token equals;
        tokens.Next(equals);
        if (!ParseTypedDatum(tokens, key.defaultValue.emplace()))
            return false;
        next = tokens.Peek();
    }
    if (next != nullptr && IsWord(*next, L"{")) {
        Token open;
        tokens.Next(open);
        return depth < kMaxDepth && ParseItems(tokens, key.items, depth + 1, true);
    }
    return !tokens.error;
}

// The items of a block up to its closing brace.
bool ParseItems(Tokenizer& tokens, std::vector<RegScriptKey::Item>& items, size_t depth, bool allowValues) {
    Token t;
    while (tokens.Next(t)) {
        if (IsWord(t, L"}"))
            return true;
        RegScriptKey::Item item;
        if (IsWord(t, L"val")) {
            if (!allowValues)
                return false;
            Token name, equals;
            if (!tokens.Next(name) || IsPunctuation(name) || !IsValidValueName(name.text) ||
                !tokens.Next(equals) || !IsWord(equals, L"="))
                return false;
            item.value.emplace().name = std::move(name.text);
            if (!ParseTypedDatum(tokens, *item.value))
                return false;
        } else if (!ParseKey(tokens, std::move(t), item.key, depth)) {
            return false;
        }
        items.push_back(std::move(item));
    }
    return false;
}

void AppendQuoted(std::wstring_view s, std::wstring& out) {
    out += L'\'';
    for (wchar_t c : s) {
        if (c == L'\'')
            out += L'\'';
        out += c;
    }
    out += L'\'';
}

void AppendTyped(const RegScriptValue& v, std::wstring& out) {
    out += L" = ";
    out += v.type;
    out += L' ';
    AppendQuoted(v.datum, out);
}

void FormatKey(const RegScriptKey& key, size_t depth, std::wstring& out) {
    const std::wstring indent(depth * 4, L' ');
    out += indent;
    if (key.flag != RegScriptKey::kNone)
        out += key.flag == RegScriptKey::kNoRemove ? L"NoRemove " : L"ForceRemove ";
    AppendQuoted(key.name, out);
    if (key.defaultValue)
        AppendTyped(*key.defaultValue, out);
    out += L'\n';
    if (key.items.empty())
        return;
    out += indent + L"{\n";
    for (const RegScriptKey::Item& item : key.items) {
        if (item.value) {
            out += indent + L"    val ";
            AppendQuoted(item.value->name, out);
            AppendTyped(*item.value, out);
            out += L'\n';
        } else {
            FormatKey(item.key, depth + 1, out);
        }
    }
    out += indent + L"}\n";
}

} // namespace

bool ExpandRegistrationScript(std::wstring_view text, const RegReplacements& replacements,
                              std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out += text[i];
            continue;
        }
        const size_t close = text.find(L'%', i + 1);
        if (close == std::wstring_view::npos)
            return false;
        const std::wstring_view name = text.substr(i + 1, close - i - 1);
        if (name.empty()) {
            out += L'%';
        } else {
            bool found = false;
            for (const auto& [key, value] : replacements) {
                if (NamesEqual(key, name)) {
                    out += value;
                    found = true;
                    break;
                }
            }
            if (!found)
                return false;
        }
        i = close;
    }
    return true;
}

bool ParseRegistrationScript(std::wstring_view text, std::vector<RegScriptRoot>& roots) {
    roots.clear();
    Tokenizer tokens(text);
    Token t;
    while (tokens.Next(t)) {
        bool known = false;
        for (std::wstring_view root : kRootNames)
            known = known || IsWord(t, root);
        Token open;
        std::vector<RegScriptKey::Item> items;
        if (!known || !tokens.Next(open) || !IsWord(open, L"{") || !ParseItems(tokens, items, 1, false))
            return false;
        RegScriptRoot& root = roots.emplace_back();
        root.name = std::move(t.text);
        for (RegScriptKey::Item& item : items)
            root.keys.push_back(std::move(item.key));
    }
    return !tokens.error;
}

std::wstring FormatRegistrationScript(const std::vector<RegScriptRoot>& roots) {
    std::wstring out;
    for (const RegScriptRoot& root : roots) {
        out += root.name + L"\n{\n";
        for (const RegScriptKey& key : root.keys)
            FormatKey(key, 1, out);
        out += L"}\n";
    }
    return out;
}

bool ParseRegistrationNumber(std::wstring_view datum, DWORD& value) {
    uint64_t v = 0;
    const bool hex = datum.size() > 2 && datum[0] == L'0' && (datum[1] == L'x' || datum[1] == L'X');
    if (hex)
        datum.remove_prefix(2);
    if (datum.empty())
        return false;
    for (wchar_t c : datum) {
        int d = c >= L'0' && c <= L'9'          ? c - L'0'
                : hex && c >= L'a' && c <= L'f' ? c - L'a' + 10
                : hex && c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                : -1;
        if (d < 0 || (v = v * (hex ? 16 : 10) + uint64_t(d)) > 0xFFFFFFFFu)
            return false;
    }
    value = DWORD(v);
    return true;
}

} // namespace tarnel::reg
