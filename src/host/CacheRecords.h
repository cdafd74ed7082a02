// What `tarnel cache` reads that others wrote: the lists of paths it is handed, and the modification times
// that the cache's entries record.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// Adds the paths of a list file to paths; false when it cannot be read (a missing file is an empty list).
bool ReadList(const char* file, std::vector<std::string>& paths);

// Whether an entry's Thumb::MTime text names mtime, to the second.
bool SameMTime(const std::string& text, time_t mtime);
