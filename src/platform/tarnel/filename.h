// Windows-style name matching on a case-sensitive file system. The system lower-cases the paths it is
// given and names studies with backslashes (sub\plate.qzt); both must still find the files.
#pragma once

#include "platform/tarnel/own.h"

#include <map>
#include <string>

namespace tarnel::plat {

// The native name of an existing entry: the name as given if it exists; otherwise with '\' read as '/' and
// each component matched without regard to case, as the system lower-cases paths: an entry matches when
// CString::MakeLower (the current locale) makes the same of it as of the wanted name (the byte-wise smallest
// name when several match).
TARNEL_API bool ResolveFileName(LPCWSTR name, std::string& native);

// As ResolveFileName, but for a file that may not exist yet: its folder must exist; the last component is
// taken as given when no existing entry matches.
TARNEL_API bool ResolveNewFileName(LPCWSTR name, std::string& native);

// While one lives, the folders that name matching reads are read once each on this thread: each folder's
// entries are kept, by their lower-cased names, until the scope ends. For callers that resolve many names
// in few folders (a project's studies): without it every name that does not exist as given reads its
// folder again.
class TARNEL_API FileNameScanScope {
public:
    FileNameScanScope();
    ~FileNameScanScope();
    FileNameScanScope(const FileNameScanScope&) = delete;
    FileNameScanScope& operator=(const FileNameScanScope&) = delete;

    // The folder's entries by lower-cased name, the byte-wise smallest name for each; read on first use.
    const std::map<std::wstring, std::string>& Entries(const std::string& dir);
    // How many folders were read: tests count them.
    size_t Scans() const { return m_scans; }

private:
    FileNameScanScope* m_outer;
    std::map<std::string, std::map<std::wstring, std::string>> m_folders;
    size_t m_scans = 0;
};

} // namespace tarnel::plat
