#include "dibkit/dibkit.h"

#include "stringapiset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

std::mutex g_lock;
// The names made here, so that tests can count those still on disk. An object of the module's own, so that
// unloading the module frees it.
std::set<std::string>& CreatedFiles() {
    static std::set<std::string> files;
    return files;
}

// A folder we may create files in: it exists, is a folder, and is writable and searchable by us.
bool Usable(const char* folder) {
    struct stat st;
    return folder != nullptr && *folder == '/' && ::stat(folder, &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(folder, W_OK | X_OK) == 0;
}

// A name in the file-name encoding (CP_THREAD_ACP), and back: every name round-trips.
std::string NarrowName(LPCWSTR wide) {
    const int n = ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(n), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, bytes.data(), n, nullptr, nullptr);
    bytes.resize(n > 0 ? size_t(n) - 1 : 0); // without the terminator
    return bytes;
}

CString WideName(const std::string& bytes) {
    const int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.c_str(), -1, nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.c_str(), -1, wide.data(), n);
    wide.resize(n > 0 ? size_t(n) - 1 : 0);
    return CString(wide.c_str());
}

} // namespace

CString CImageConvertor::CreateImageName(LPCWSTR lpszExtension) {
    const char* candidates[] = {std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), "/tmp"};
    const std::string extension = NarrowName(lpszExtension != nullptr ? lpszExtension : L"");
    if (extension.find('/') != std::string::npos)
        return CString();
    for (const char* folder : candidates) {
        if (!Usable(folder))
            continue;
        std::string path = std::string(folder) + (folder[std::strlen(folder) - 1] == '/' ? "" : "/") +
                           "tarnel-XXXXXX" + extension;
        // mkstemps creates the file with O_EXCL and mode 0600: the name cannot be taken over by a link.
        int fd = ::mkstemps(path.data(), int(extension.size()));
        if (fd < 0)
            continue;
        ::close(fd);
        std::lock_guard<std::mutex> guard(g_lock);
        CreatedFiles().insert(path);
        return WideName(path);
    }
    return CString();
}

int CImageConvertor::GetLiveImageCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& files = CreatedFiles();
    for (auto it = files.begin(); it != files.end();) {
        struct stat st;
        it = ::lstat(it->c_str(), &st) == 0 ? std::next(it) : files.erase(it);
    }
    return int(files.size());
}
