#include "host/Formats.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return lower;
}

} // namespace

const SuiteFormat* FindSuiteFormat(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string name = Lower(slash == std::string_view::npos ? path : path.substr(slash + 1));
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return nullptr;
    for (const SuiteFormat& format : kSuiteFormats)
        if (name.compare(dot, std::string::npos, format.extension) == 0)
            return &format;
    return nullptr;
}

bool IsMeshPath(std::string_view path) {
    const std::string lower = Lower(path);
    for (const SuiteFormat& format : kSuiteFormats)
        if (format.kind == FileKind::Mesh && lower.find(format.extension) != std::string::npos)
            return true;
    return false;
}
