// Windows-style name matching on a case-sensitive file system. The system lower-cases the paths it is
// given and names studies with backslashes (sub\plate.qzt); both must still find the files.
#pragma once

#include "platform/wintypes.h"

#include <string>

// The native name of an existing entry: the name as given if it exists; otherwise with '\' read as '/' and
// each component matched without regard to case, as the system lower-cases paths: an entry matches when
// CString::MakeLower (the current locale) makes the same of it as of the wanted name (the byte-wise smallest
// name when several match).
TARNEL_API bool ResolveFileName(LPCWSTR name, std::string& native);

// As ResolveFileName, but for a file that may not exist yet: its folder must exist; the last component is
// taken as given when no existing entry matches.
TARNEL_API bool ResolveNewFileName(LPCWSTR name, std::string& native);
