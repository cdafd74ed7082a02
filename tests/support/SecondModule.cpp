// A second in-process server for the host's routing tests: another product's thumbnail handler. Its class
// paints the requested size in one colour, so a test can tell which module made a picture. A file whose name
// contains "hang" never gets one: Extract waits forever, as a handler stuck on a network share would. A file
// whose name contains "trespass" makes it behave as a decoder taken over by a hostile file would: it tries
// what a confined extraction must not be able to do, says on stderr how each went, and gives no picture.
// "forge-setup" and "forge-svg" answer the host as such a decoder could: a fault of the set-up, and an SVG
// passed off as the picture.
#include "host/ChildAnswer.h"
#include "objbase.h"
#include "shobjidl.h"
#include "wingdi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// {6C1F0D2E-9A47-4E0B-8D31-2F5C7B9E0A16}
static const CLSID CLSID_SecondThumbnailer = {
    0x6C1F0D2E, 0x9A47, 0x4E0B, {0x8D, 0x31, 0x2F, 0x5C, 0x7B, 0x9E, 0x0A, 0x16}};

static std::atomic<long> g_objects{0};

// What a decoder taken over by a hostile file tries (Trespass.cpp).
extern "C" void SecondModuleTrespass();

namespace {

// A child taken over answers as it pleases: it finds its answer pipe (a pipe open for writing, other than
// standard error) and its output (a file open for writing) among its descriptors, writes what it likes to
// the output and sends its own record.
void Forge(AnswerKind kind, const char* content) {
    ChildAnswer answer;
    answer.kind = kind;
    answer.why = AnswerWhy::NoServer;
    for (int fd = 3; fd < 64; ++fd) {
        struct stat st {};
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || ::fstat(fd, &st) != 0)
            continue;
        if (S_ISFIFO(st.st_mode))
            (void)!::write(fd, &answer, sizeof answer);
        else if (content != nullptr)
            (void)!::write(fd, content, std::strlen(content));
    }
    ::_exit(0);
}

} // namespace

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
        if (m_file.find(L"forge-setup") != std::wstring::npos)
            Forge(AnswerKind::SetUp, nullptr);
        if (m_file.find(L"forge-svg") != std::wstring::npos)
            Forge(AnswerKind::Picture, "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
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
