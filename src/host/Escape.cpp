#include "host/Escape.h"

namespace {

constexpr std::string_view kCut = "...";

// The length of the valid UTF-8 sequence that starts at text[i], with its code point; 0 when none starts
// there.
size_t SequenceAt(std::string_view text, size_t i, char32_t& code) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) { // 0xC0 and 0xC1 lead only overlong forms
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

// Characters that a terminal obeys, or that change how the rest of the line reads.
bool Obeyed(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string Shown(std::string_view text, size_t maxBytes, bool escapeBackslash) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() < maxBytes ? text.size() : maxBytes);
    const size_t room = maxBytes > kCut.size() ? maxBytes - kCut.size() : 0;
    size_t fits = 0; // where to cut: out's length at the last boundary that leaves room for kCut
    for (size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t code = byte;
        size_t length = byte >= 0x20 && byte < 0x7F ? 1 : SequenceAt(text, i, code);
        const bool escaped = length == 0 || Obeyed(code);
        const bool backslash = byte == '\\' && escapeBackslash;
        length = length == 0 ? 1 : length;
        const size_t adds = escaped ? 4 * length : backslash ? 2 : length;
        if (out.size() + adds > maxBytes) {
            out.resize(fits);
            out += kCut;
            return out;
        }
        if (escaped) {
            for (size_t k = 0; k < length; ++k) {
                const unsigned char b = static_cast<unsigned char>(text[i + k]);
                out += {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
            }
        } else if (backslash) {
            out += "\\\\";
        } else {
            out.append(text, i, length);
        }
        i += length;
        if (out.size() <= room)
            fits = out.size();
    }
    return out;
}

} // namespace

std::string Printable(std::string_view text) {
    return Shown(text, std::string::npos, true);
}

std::string Printable(std::string_view text, size_t maxBytes) {
    return Shown(text, maxBytes, true);
}

std::string PrintableRelayed(std::string_view text, size_t maxBytes) {
    return Shown(text, maxBytes, false);
}
