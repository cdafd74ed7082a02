#include "platform/tarnel/filename.h"

#include "afx.h"
#include "platform/tarnel/widestr.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>

namespace tarnel::plat {

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// A name as the system's own lower-casing leaves it (CString::MakeLower, by the current locale). A path
// that the system lower-cased and the entry it came from fold alike, whatever locale the caller has set;
// bytes that are not UTF-8 stay as they are.
std::wstring Folded(std::string_view bytes) {
    CString name(WidenFileName(bytes));
    return name.MakeLower().str();
}

thread_local FileNameScanScope* t_scope = nullptr;

// Every entry of folder dir by its lower-cased name, the byte-wise smallest name where several fold alike.
bool ReadFolder(const std::string& dir, std::map<std::wstring, std::string>& entries) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return false;
    while (dirent* e = ::readdir(d)) {
        auto [at, added] = entries.emplace(Folded(e->d_name), e->d_name);
        if (!added && at->second.compare(e->d_name) > 0)
            at->second = e->d_name;
    }
    ::closedir(d);
    return true;
}

// The entry of folder dir whose name matches component without regard to case.
bool MatchInFolder(const std::string& dir, const std::string& component, std::string& found) {
    const std::wstring wanted = Folded(component);
    if (t_scope != nullptr) {
        const auto& entries = t_scope->Entries(dir);
        auto at = entries.find(wanted);
        if (at == entries.end())
            return false;
        found = at->second;
        return true;
    }
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return false;
    bool any = false;
    while (dirent* e = ::readdir(d)) {
        if ((!any || found.compare(e->d_name) > 0) && Folded(e->d_name) == wanted) {
            found = e->d_name;
            any = true;
        }
    }
    ::closedir(d);
    return any;
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Walks the components of a '/'-separated path from the root or the current folder.
bool Walk(const std::string& path, std::string& native, bool lastMayBeNew) {
    std::string current = path[0] == '/' ? "/" : "";
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        std::string component = path.substr(pos, next - pos);
        pos = next + 1;
        if (component.empty())
            continue;
        std::string candidate = Join(current, component);
        if (!Exists(candidate)) {
            std::string found;
            if (MatchInFolder(current, component, found))
                candidate = Join(current, found);
            else if (!(lastMayBeNew && next >= path.size()))
                return false;
        }
        current = std::move(candidate);
    }
    if (current.empty())
        return false;
    native = std::move(current);
    return true;
}

bool Resolve(LPCWSTR name, std::string& native, bool lastMayBeNew) {
    if (name == nullptr || *name == 0)
        return false;
    std::string bytes = NarrowFileName(name);
    if (bytes.find('\0') != std::string::npos)
        return false;
    if (Exists(bytes)) {
        native = std::move(bytes);
        return true;
    }
    std::replace(bytes.begin(), bytes.end(), '\\', '/');
    return Walk(bytes, native, lastMayBeNew);
}

} // namespace

FileNameScanScope::FileNameScanScope() : m_outer(t_scope) {
    t_scope = this;
}

FileNameScanScope::~FileNameScanScope() {
    t_scope = m_outer;
}

const std::map<std::wstring, std::string>& FileNameScanScope::Entries(const std::string& dir) {
    auto [at, added] = m_folders.try_emplace(dir);
    if (added) {
        ++m_scans;
        ReadFolder(dir, at->second);
    }
    return at->second;
}

bool ResolveFileName(LPCWSTR name, std::string& native) {
    return Resolve(name, native, false);
}

bool ResolveNewFileName(LPCWSTR name, std::string& native) {
    return Resolve(name, native, true);
}

} // namespace tarnel::plat
