#include "platform/tarnel/typelib.h"
#include "platform/tarnel/widestr.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace tarnel::typelib {

using plat::WidenFileName;

namespace {

constexpr std::string_view kMagic = "TARNEL-TYPELIB 1";

bool SplitWords(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            word += '"'; // marks a string
            for (++i;; ++i) {
                if (i >= line.size())
                    return false;
                if (line[i] == '"')
                    break;
                if (line[i] == '\\') {
                    if (i + 1 >= line.size() || (line[i + 1] != '"' && line[i + 1] != '\\'))
                        return false;
                    ++i;
                }
                word += line[i];
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                if (line[i] == '"')
                    return false;
                word += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool IsName(const std::string& w) {
    if (w.empty() || w.size() > 255 || w[0] == '"')
        return false;
    for (char c : w)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

// Decimal, or hexadecimal with 0x where `hex` allows it.
bool ParseNumber(const std::string& w, uint32_t max, uint32_t& value, bool hex = false) {
    if (w.empty() || w.size() > 10)
        return false;
    char* end = nullptr;
    const bool isHex = hex && w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X');
    unsigned long v = std::strtoul(w.c_str(), &end, isHex ? 16 : 10);
    if (*end != '\0' || v > max || !std::isdigit(static_cast<unsigned char>(w[0])))
        return false;
    value = uint32_t(v);
    return true;
}

bool ParseGuid(const std::string& w, GUID& guid) {
    return w.size() == 38 && CLSIDFromString(WidenFileName(w).c_str(), &guid) == S_OK;
}

} // namespace

HRESULT Parse(std::string_view text, LibDesc& lib) {
    bool magicSeen = false, librarySeen = false;
    std::vector<std::string> w;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!magicSeen) {
            if (line != kMagic)
                return TYPE_E_UNSUPFORMAT;
            magicSeen = true;
            continue;
        }
        if (!SplitWords(line, w))
            return TYPE_E_INVDATAREAD;
        if (w.empty() || w[0][0] == '#')
            continue;
        const std::string& what = w[0];
        if (what == "importlib") {
            if (!librarySeen || w.size() != 2)
                return TYPE_E_INVDATAREAD;
            continue;
        }
        if (w.size() < 3 || !IsName(w[1]))
            return TYPE_E_INVDATAREAD;
        GUID guid;
        if (!ParseGuid(w[2], guid))
            return TYPE_E_INVDATAREAD;
        auto stringAfter = [&](size_t& i, std::wstring& out) {
            if (i + 1 >= w.size() || w[i + 1][0] != '"')
                return false;
            out = WidenFileName(std::string_view(w[++i]).substr(1));
            return true;
        };
        if (what == "library") {
            if (librarySeen)
                return TYPE_E_INVDATAREAD;
            librarySeen = true;
            lib.name = WidenFileName(w[1]);
            lib.guid = guid;
            for (size_t i = 3; i < w.size(); ++i) {
                uint32_t n = 0;
                if (w[i] == "version" && i + 1 < w.size()) {
                    const std::string& v = w[++i];
                    size_t dot = v.find('.');
                    uint32_t major = 0, minor = 0;
                    if (dot == std::string::npos || !ParseNumber(v.substr(0, dot), 0xFFFF, major) ||
                        !ParseNumber(v.substr(dot + 1), 0xFFFF, minor))
                        return TYPE_E_INVDATAREAD;
                    lib.major = WORD(major);
                    lib.minor = WORD(minor);
                } else if (w[i] == "lcid" && i + 1 < w.size() && ParseNumber(w[i + 1], 0xFFFFFFFF, n, true)) {
                    lib.lcid = n;
                    ++i;
                } else if (!(w[i] == "helpstring" && stringAfter(i, lib.helpString))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
            continue;
        }
        if (!librarySeen || lib.types.size() >= 0xFFFF)
            return TYPE_E_INVDATAREAD;
        TypeDesc t;
        t.name = WidenFileName(w[1]);
        t.guid = guid;
        for (const TypeDesc& other : lib.types)
            if (other.name == t.name || other.guid == guid)
                return TYPE_E_INVDATAREAD;
        if (what == "interface") {
            t.kind = TKIND_INTERFACE;
            bool dual = false, baseGiven = false;
            for (size_t i = 3; i < w.size(); ++i) {
                if (w[i] == "base" && i + 1 < w.size() &&
                    (w[i + 1] == "IUnknown" || w[i + 1] == "IDispatch")) {
                    t.dispatchBase = w[++i] == "IDispatch";
                    baseGiven = true;
                } else if (w[i] == "dual") {
                    dual = true;
                } else if (w[i] == "oleautomation") {
                    t.flags |= TYPEFLAG_FOLEAUTOMATION;
                } else if (!(w[i] == "helpstring" && stringAfter(i, t.helpString))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
            if (!baseGiven || (dual && !t.dispatchBase))
                return TYPE_E_INVDATAREAD;
            if (t.dispatchBase)
                t.flags |= TYPEFLAG_FDISPATCHABLE;
            if (dual) { // a dual interface is described by its dispatch side
                t.kind = TKIND_DISPATCH;
                t.flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
            }
        } else if (what == "coclass") {
            t.kind = TKIND_COCLASS;
            t.flags = TYPEFLAG_FCANCREATE;
            for (size_t i = 3; i < w.size(); ++i) {
                if ((w[i] == "implements" || w[i] == "default") && i + 1 < w.size()) {
                    const INT implFlags = w[i] == "default" ? IMPLTYPEFLAG_FDEFAULT : 0;
                    const std::wstring name = WidenFileName(w[++i]);
                    size_t k = 0;
                    while (k < lib.types.size() &&
                           (lib.types[k].name != name || lib.types[k].kind == TKIND_COCLASS))
                        ++k;
                    if (k == lib.types.size())
                        return TYPE_E_INVDATAREAD;
                    t.implemented.emplace_back(k, implFlags);
                } else if (!(w[i] == "helpstring" && stringAfter(i, t.helpString))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
        } else {
            return TYPE_E_INVDATAREAD;
        }
        lib.types.push_back(std::move(t));
    }
    return librarySeen ? S_OK : magicSeen ? TYPE_E_INVDATAREAD : TYPE_E_UNSUPFORMAT;
}

} // namespace tarnel::typelib
