// A second in-process server for the host's routing tests: another product's thumbnail handler. Its class
// paints the requested size in one colour, so a test can tell which module made a picture. A file whose name
// contains "hang" never gets one: Extract waits forever, as a handler stuck on a network share would. A file
// whose name contains "trespass" makes it behave as a decoder taken over by a hostile file would: it tries
// what a confined extraction must not be able to do, says on stderr how each went, and gives no picture.
#include "objbase.h"
#include "shobjidl.h"
#include "wingdi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

// {6C1F0D2E-9A47-4E0B-8D31-2F5C7B9E0A16}
static const CLSID CLSID_SecondThumbnailer = {
    0x6C1F0D2E, 0x9A47, 0x4E0B, {0x8D, 0x31, 0x2F, 0x5C, 0x7B, 0x9E, 0x0A, 0x16}};

static std::atomic<long> g_objects{0};

// Each try, told as "trespass: WHAT: refused (why)" or "trespass: WHAT: ALLOWED". The listeners are named by
// TARNEL_TEST_TCP_PORT (on 127.0.0.1) and TARNEL_TEST_UNIX_SOCKET; the file goes to $HOME/trespass.
extern "C" __attribute__((visibility("default"))) void SecondModuleTrespass() {
    auto tell = [](const char* what, bool allowed, int error) {
        if (allowed)
            std::fprintf(stderr, "trespass: %s: ALLOWED\n", what);
        else
            std::fprintf(stderr, "trespass: %s: refused (%s)\n", what, std::strerror(error));
    };
    if (const char* port = std::getenv("TARNEL_TEST_TCP_PORT")) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(std::atoi(port)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        tell("tcp connect", connected, errno);
        if (s >= 0)
            ::close(s);
    }
    if (const char* path = std::getenv("TARNEL_TEST_UNIX_SOCKET")) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::snprintf(to.sun_path, sizeof to.sun_path, "%s", path);
        const bool connected = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        tell("unix connect", connected, errno);
        if (s >= 0)
            ::close(s);
    }
    if (const char* home = std::getenv("HOME")) {
        const std::string file = std::string(home) + "/trespass";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        tell("write in HOME", fd >= 0, errno);
        if (fd >= 0)
            ::close(fd);
    }
    pid_t pid = 0;
    char sh[] = "/bin/sh", dashC[] = "-c", script[] = "exit 0";
    char* argv[] = {sh, dashC, script, nullptr};
    int status = -1;
    const int spawned = ::posix_spawn(&pid, sh, nullptr, nullptr, argv, environ);
    if (spawned == 0)
        ::waitpid(pid, &status, 0);
    tell("run /bin/sh", spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
         spawned != 0 ? spawned : EPERM);
    pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    tell("fork", pid > 0, errno);
    const size_t lots = size_t(4) << 30; // past any bound the host sets by default
    void* block = std::malloc(lots);
    if (block != nullptr)
        std::memset(block, 1, 1 << 20);
    tell("allocate 4 GiB", block != nullptr, ENOMEM);
    std::free(block);
}

namespace {

class Painter : public IPersistFile, public IExtractImage {
public:
    Painter() { ++g_objects; }
    virtual ~Painter() { --g_objects; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPersistFile))
            *ppv = static_cast<IPersistFile*>(this);
        else if (IsEqualGUID(riid, IID_IExtractImage))
            *ppv = static_cast<IExtractImage*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    STDMETHODIMP GetClassID(CLSID* pClassID) override {
        *pClassID = CLSID_SecondThumbnailer;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD) override {
        m_file = pszFileName;
        return m_file.find(L"refuse") == std::wstring::npos ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP Save(LPCOLESTR, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP SaveCompleted(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }

    STDMETHODIMP GetLocation(LPWSTR, DWORD, DWORD*, const SIZE* prgSize, DWORD, DWORD*) override {
        m_size = *prgSize;
        return S_OK;
    }
    STDMETHODIMP Extract(HBITMAP* phBmpImage) override {
        if (m_file.find(L"hang") != std::wstring::npos)
            for (;;)
                ::pause();
        if (m_file.find(L"trespass") != std::wstring::npos) {
            SecondModuleTrespass();
            return E_FAIL;
        }
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, m_size.cx, m_size.cy);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
        RECT all = {0, 0, m_size.cx, m_size.cy};
        FillRect(dc, &all, red);
        DeleteObject(red);
        SelectObject(dc, old);
        DeleteDC(dc);
        *phBmpImage = bitmap;
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
    std::wstring m_file;
    SIZE m_size = {16, 16};
};

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        Painter* p = new Painter;
        HRESULT hr = p->QueryInterface(riid, ppv);
        p->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                            LPVOID* ppv) {
    if (!IsEqualGUID(rclsid, CLSID_SecondThumbnailer)) {
        *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_objects == 0 ? S_OK : S_FALSE;
}
