// Temporary picture files on Windows: in the user's temporary folder (GetTempPathW), each created by
// GetTempFileNameW itself, so that the name is unique and nobody else's file is taken over.
#include "dibkit/dibkit.h"

#include <mutex>
#include <set>
#include <string>

namespace {

std::mutex g_lock;
// The names made here, so that tests can count those still on disk.
std::set<std::wstring>& CreatedFiles() {
    static std::set<std::wstring> files;
    return files;
}

} // namespace

CString CImageConvertor::CreateImageName(LPCWSTR lpszExtension) {
    const std::wstring extension = lpszExtension != nullptr ? lpszExtension : L"";
    if (extension.find_first_of(L"\\/:") != std::wstring::npos)
        return CString();
    WCHAR folder[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH)
        return CString();
    // GetTempFileNameW creates "tnlXXXX.tmp"; the picture's name is that with the extension added, made
    // with CREATE_NEW, and the placeholder goes once the picture's file exists.
    for (int attempt = 0; attempt < 16; ++attempt) {
        WCHAR placeholder[MAX_PATH];
        if (::GetTempFileNameW(folder, L"tnl", 0, placeholder) == 0)
            return CString();
        std::wstring path = placeholder;
        if (extension.empty()) {
            std::lock_guard<std::mutex> guard(g_lock);
            CreatedFiles().insert(path);
            return CString(path.c_str());
        }
        path += extension;
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, nullptr);
        ::DeleteFileW(placeholder);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        ::CloseHandle(h);
        std::lock_guard<std::mutex> guard(g_lock);
        CreatedFiles().insert(path);
        return CString(path.c_str());
    }
    return CString();
}

int CImageConvertor::GetLiveImageCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    auto& files = CreatedFiles();
    for (auto it = files.begin(); it != files.end();)
        it = ::GetFileAttributesW(it->c_str()) != INVALID_FILE_ATTRIBUTES ? std::next(it) : files.erase(it);
    return int(files.size());
}
