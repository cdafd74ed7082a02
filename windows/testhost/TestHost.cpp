// A Windows test host that asks for a thumbnail as Explorer does: the handler registered for the file's
// extension (HKCR\.ext\shellex\{BB2E617C-...}), created through COM, bound to the file with
// IPersistFile::Load, asked GetLocation first with IEIFLAG_ASYNC (which must answer E_PENDING) and then
// without, Extract called from a second thread as Explorer's extraction threads do and again on this one,
// GetDateStamp, everything released, and then the server must agree to be unloaded.
//
//   testhost [--size WxH] FILE [OUT.bmp]
//
// The picture goes to OUT.bmp as a 32-bit top-down BMP. The exit status is the answer: 0 the file's own
// picture; 3 the icon (Extract's 0xFFFFFFFF); 1 no picture (a failure code); 5 no handler registered for
// the extension; 4 the handler broke the protocol (what it did is on stderr); 2 bad usage.
#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum Exit { kPicture = 0, kNoPicture = 1, kUsage = 2, kIcon = 3, kProtocol = 4, kNoHandler = 5 };

const wchar_t kThumbnailHandler[] = L"{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";

int Broke(const char* what, HRESULT hr) {
    std::fprintf(stderr, "testhost: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return kProtocol;
}

std::wstring ReadDefault(HKEY root, const std::wstring& key) {
    wchar_t value[512];
    DWORD bytes = sizeof value;
    if (::RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
        return {};
    return value;
}

bool WriteBmp(HBITMAP hBitmap, const wchar_t* path) {
    BITMAP bm = {};
    if (::GetObjectW(hBitmap, sizeof bm, &bm) == 0 || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return false;
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = bm.bmWidth;
    header.biHeight = -bm.bmHeight; // top row first
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    std::vector<BYTE> bits(size_t(bm.bmWidth) * size_t(bm.bmHeight) * 4);
    HDC hdc = ::GetDC(nullptr);
    const int rows = ::GetDIBits(hdc, hBitmap, 0, UINT(bm.bmHeight), bits.data(),
                                 reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, hdc);
    if (rows != bm.bmHeight)
        return false;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = DWORD(file.bfOffBits + bits.size());
    FILE* out = ::_wfopen(path, L"wb");
    if (out == nullptr)
        return false;
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&header, sizeof header, 1, out) == 1 &&
              std::fwrite(bits.data(), 1, bits.size(), out) == bits.size();
    return std::fclose(out) == 0 && ok;
}

bool SamePicture(HBITMAP a, HBITMAP b) {
    BITMAP ba = {}, bb = {};
    if (::GetObjectW(a, sizeof ba, &ba) == 0 || ::GetObjectW(b, sizeof bb, &bb) == 0)
        return false;
    if (ba.bmWidth != bb.bmWidth || ba.bmHeight != bb.bmHeight)
        return false;
    BITMAPINFOHEADER header = {sizeof header, ba.bmWidth, -ba.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<BYTE> pa(size_t(ba.bmWidth) * size_t(ba.bmHeight) * 4), pb(pa.size());
    HDC hdc = ::GetDC(nullptr);
    ::GetDIBits(hdc, a, 0, UINT(ba.bmHeight), pa.data(), reinterpret_cast<BITMAPINFO*>(&header),
                DIB_RGB_COLORS);
    ::GetDIBits(hdc, b, 0, UINT(bb.bmHeight), pb.data(), reinterpret_cast<BITMAPINFO*>(&header),
                DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, hdc);
    return pa == pb;
}

struct ExtractCall {
    IExtractImage* extract;
    HBITMAP hBitmap = nullptr;
    HRESULT hr = E_UNEXPECTED;
};

DWORD WINAPI ExtractOnThread(void* p) {
    auto* call = static_cast<ExtractCall*>(p);
    call->hr = call->extract->Extract(&call->hBitmap);
    return 0;
}

int Run(const std::wstring& path, SIZE size, const wchar_t* out) {
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos)
        return kNoHandler;
    const std::wstring clsidText =
        ReadDefault(HKEY_CLASSES_ROOT, path.substr(dot) + L"\\shellex\\" + kThumbnailHandler);
    CLSID clsid;
    if (clsidText.empty() || FAILED(::CLSIDFromString(clsidText.c_str(), &clsid)))
        return kNoHandler;
    const std::wstring server = ReadDefault(HKEY_CLASSES_ROOT, L"CLSID\\" + clsidText + L"\\InprocServer32");

    IPersistFile* persist = nullptr;
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile,
                                    reinterpret_cast<void**>(&persist));
    if (FAILED(hr))
        return Broke("CoCreateInstance of the registered handler failed", hr);
    if (FAILED(hr = persist->Load(path.c_str(), STGM_READ)))
        return Broke("IPersistFile::Load failed", hr);
    IExtractImage* extract = nullptr;
    if (FAILED(hr = persist->QueryInterface(IID_IExtractImage, reinterpret_cast<void**>(&extract))))
        return Broke("the handler has no IExtractImage", hr);

    int exit = kNoPicture;
    {
        wchar_t location[MAX_PATH] = {};
        DWORD priority = 0, flags = IEIFLAG_ASYNC;
        if ((hr = extract->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags)) != E_PENDING)
            return Broke("GetLocation with IEIFLAG_ASYNC did not answer E_PENDING", hr);
        // As after E_PENDING: the extraction runs on a thread of its own.
        ExtractCall call{extract};
        HANDLE thread = ::CreateThread(nullptr, 0, ExtractOnThread, &call, 0, nullptr);
        if (thread == nullptr)
            return Broke("no thread for the extraction", HRESULT_FROM_WIN32(::GetLastError()));
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);

        flags = 0;
        if (FAILED(hr = extract->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags)))
            return Broke("GetLocation without IEIFLAG_ASYNC failed", hr);
        HBITMAP hBitmap = nullptr;
        const HRESULT again = extract->Extract(&hBitmap);
        if (again != call.hr || (hBitmap == nullptr) != (call.hBitmap == nullptr))
            return Broke("Extract answered differently on the second call", again);
        if (hBitmap != nullptr && !SamePicture(hBitmap, call.hBitmap))
            return Broke("Extract gave another picture on the second call", again);
        if (hBitmap != nullptr)
            ::DeleteObject(hBitmap);

        if (call.hr == S_OK && call.hBitmap != nullptr)
            exit = kPicture;
        else if (call.hr == HRESULT(0xFFFFFFFF) && call.hBitmap != nullptr)
            exit = kIcon;
        else if (SUCCEEDED(call.hr) || call.hBitmap != nullptr)
            return Broke("Extract answered neither a picture, the icon nor a failure", call.hr);
        if (call.hBitmap != nullptr) {
            if (out != nullptr && !WriteBmp(call.hBitmap, out))
                return Broke("the picture could not be read back", E_FAIL);
            ::DeleteObject(call.hBitmap);
        }
    }

    IExtractImage2* extract2 = nullptr;
    if (FAILED(hr = extract->QueryInterface(IID_IExtractImage2, reinterpret_cast<void**>(&extract2))))
        return Broke("the handler has no IExtractImage2", hr);
    FILETIME stamp = {};
    hr = extract2->GetDateStamp(&stamp);
    const bool exists = ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (exists ? hr != S_OK : hr != E_FAIL)
        return Broke("GetDateStamp answered wrongly for the file", hr);
    extract2->Release();
    extract->Release();
    persist->Release();

    // Explorer frees unused servers from time to time: with every object gone, this one must agree.
    HMODULE hServer = ::GetModuleHandleW(server.c_str());
    auto canUnload = hServer != nullptr
                         ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                               reinterpret_cast<void*>(::GetProcAddress(hServer, "DllCanUnloadNow")))
                         : nullptr;
    if (canUnload == nullptr)
        return Broke("the server is not loaded, or has no DllCanUnloadNow", E_FAIL);
    if ((hr = canUnload()) != S_OK)
        return Broke("DllCanUnloadNow refused with every object released", hr);
    return exit;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    SIZE size = {256, 256};
    int i = 1;
    if (i + 1 < argc && std::wcscmp(argv[i], L"--size") == 0) {
        long cx = 0, cy = 0;
        if (std::swscanf(argv[i + 1], L"%ldx%ld", &cx, &cy) != 2)
            return kUsage;
        size = {LONG(cx), LONG(cy)};
        i += 2;
    }
    if (i >= argc || argc > i + 2) {
        std::fprintf(stderr, "usage: testhost [--size WxH] FILE [OUT.bmp]\n");
        return kUsage;
    }
    // Explorer's threads live in single-threaded apartments.
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return Broke("CoInitializeEx failed", E_FAIL);
    const int exit = Run(argv[i], size, i + 1 < argc ? argv[i + 1] : nullptr);
    ::CoUninitialize();
    return exit;
}
