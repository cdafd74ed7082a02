// The memory render window over WGL. Windows has no surfaceless OpenGL: a context needs a window with an
// OpenGL pixel format, so each render window makes a hidden one of its own. The window's own pixels are never
// used (VTK draws into framebuffers of its own at the render window's size), so it is 1 x 1 and a change of
// size keeps the context. A window belongs to the thread that made it, so a render window is made, used and
// deleted on one thread (the mesh preview does all three in one call).
#include "mesh/vtkMemoryRenderWindow.h"

#include <vtkObjectFactory.h>
#include <vtkRenderer.h>
#include <vtkUnsignedCharArray.h>

#include <GL/gl.h>
#include <GL/wglext.h>

#include <atomic>
#include <cstdio>
#include <string>

vtkStandardNewMacro(vtkMemoryRenderWindow);

namespace {

// The bound the Linux GDI layer puts on a bitmap's side, so that both builds refuse the same sizes.
constexpr int kMaxBitmapSide = 16384;
// What VTK's OpenGL2 backend needs; below it VTK refuses the context with a message of its own.
constexpr int kNeededMajor = 3;
constexpr int kNeededMinor = 2;

constexpr wchar_t kWindowClass[] = L"TarnelMemoryRenderWindow";

std::atomic<int> g_liveContexts{0};

// The module this code is linked into, which owns the window class.
HINSTANCE ThisModule() {
    static const char anchor = 0;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&anchor), &module);
    return module;
}

template <typename Fn>
Fn GetGlFunction(const char* name) {
    // wglGetProcAddress's PROC has a signature of its own; void (*)() converts to any other without a
    // warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::wglGetProcAddress(name)));
}

// A hidden window with an OpenGL pixel format and a context on it, current when made. The window's DC is its
// own (class style CS_OWNDC): GetDC hands out the same one for the window's life, and it goes with the
// window.
struct GlWindow {
    HWND window = nullptr;
    HGLRC context = nullptr;
};

void FreeGlWindow(GlWindow& gl) {
    if (gl.context != nullptr) {
        if (::wglGetCurrentContext() == gl.context)
            ::wglMakeCurrent(nullptr, nullptr);
        ::wglDeleteContext(gl.context);
    }
    if (gl.window != nullptr)
        ::DestroyWindow(gl.window);
    gl = {};
}

// On failure nothing is left and problem says why.
bool MakeGlWindow(GlWindow& gl, std::string& problem) {
    gl.window = ::CreateWindowExW(0, kWindowClass, L"", WS_POPUP | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 1,
                                  1, nullptr, nullptr, ThisModule(), nullptr);
    if (gl.window == nullptr) {
        problem = "no window can be made for OpenGL";
        return false;
    }
    HDC dc = ::GetDC(gl.window);
    PIXELFORMATDESCRIPTOR pfd{};
    pfd.nSize = sizeof(pfd);
    pfd.nVersion = 1;
    pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    pfd.iPixelType = PFD_TYPE_RGBA;
    pfd.cColorBits = 32;
    pfd.cAlphaBits = 8;
    pfd.cDepthBits = 24;
    pfd.iLayerType = PFD_MAIN_PLANE;
    const int format = ::ChoosePixelFormat(dc, &pfd);
    PIXELFORMATDESCRIPTOR chosen{};
    if (format == 0 || ::DescribePixelFormat(dc, format, sizeof(chosen), &chosen) == 0 ||
        (chosen.dwFlags & PFD_SUPPORT_OPENGL) == 0 || !::SetPixelFormat(dc, format, &chosen)) {
        problem = "Windows offers no pixel format for OpenGL";
        FreeGlWindow(gl);
        return false;
    }
    // The first context is the old kind, which any driver gives; it is needed to ask for a core profile
    // context, which is what the Linux build renders with too.
    HGLRC legacy = ::wglCreateContext(dc);
    if (legacy == nullptr || !::wglMakeCurrent(dc, legacy)) {
        if (legacy != nullptr)
            ::wglDeleteContext(legacy);
        problem = "no OpenGL context can be made";
        FreeGlWindow(gl);
        return false;
    }
    gl.context = legacy;
    if (auto createContext = GetGlFunction<PFNWGLCREATECONTEXTATTRIBSARBPROC>("wglCreateContextAttribsARB")) {
        const int attributes[] = {WGL_CONTEXT_MAJOR_VERSION_ARB,
                                  kNeededMajor,
                                  WGL_CONTEXT_MINOR_VERSION_ARB,
                                  kNeededMinor,
                                  WGL_CONTEXT_PROFILE_MASK_ARB,
                                  WGL_CONTEXT_CORE_PROFILE_BIT_ARB,
                                  0};
        HGLRC core = createContext(dc, nullptr, attributes);
        if (core != nullptr && ::wglMakeCurrent(dc, core)) {
            ::wglDeleteContext(legacy);
            gl.context = core;
        } else if (core != nullptr) {
            ::wglDeleteContext(core);
            ::wglMakeCurrent(dc, legacy);
        }
    }
    // Windows without a graphics driver has only its own OpenGL 1.1, which VTK cannot use: say so plainly.
    const char* version = reinterpret_cast<const char*>(::glGetString(GL_VERSION));
    int major = 0, minor = 0;
    if (version == nullptr || std::sscanf(version, "%d.%d", &major, &minor) != 2 ||
        major * 100 + minor < kNeededMajor * 100 + kNeededMinor) {
        const char* renderer = reinterpret_cast<const char*>(::glGetString(GL_RENDERER));
        problem = "OpenGL " + std::to_string(kNeededMajor) + "." + std::to_string(kNeededMinor) +
                  " is needed; this system has " + (version != nullptr ? version : "an unknown version") +
                  (renderer != nullptr ? std::string(" (") + renderer + ")" : std::string());
        FreeGlWindow(gl);
        return false;
    }
    return true;
}

// The window class is registered once for the process and kept, and one window with a context is made and
// freed, so that a system without a usable OpenGL is known before any render window tries. The class's
// window procedure is the system's, so the class stays sound if this module is unloaded.
struct Platform {
    std::string problem;
};

const Platform& GetPlatform() {
    static Platform p = [] {
        Platform p;
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.style = CS_OWNDC; // a context keeps its DC for the window's life
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ThisModule();
        wc.lpszClassName = kWindowClass;
        if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            p.problem = "the window class for OpenGL cannot be registered";
            return p;
        }
        // The trial leaves the thread's current context as it found it.
        HGLRC previousContext = ::wglGetCurrentContext();
        HDC previousDC = ::wglGetCurrentDC();
        GlWindow trial;
        if (MakeGlWindow(trial, p.problem))
            FreeGlWindow(trial);
        if (previousContext != nullptr)
            ::wglMakeCurrent(previousDC, previousContext);
        return p;
    }();
    return p;
}

} // namespace

vtkMemoryRenderWindow::vtkMemoryRenderWindow() {
    this->SetOwnContext(false);
    this->SetIsDirect(true);
    this->SetSupportsOpenGL(true);
    this->SetOffScreenRendering(true);
    this->SetFrameBlitModeToNoBlit();
    this->SetMultiSamples(0);
}

vtkMemoryRenderWindow::~vtkMemoryRenderWindow() {
    ReleaseMemoryDC();
    // The graphics resources of the renderers go while the context still exists.
    if (m_context != nullptr) {
        MakeCurrent();
        this->Finalize();
    }
    DestroyContext();
}

bool vtkMemoryRenderWindow::CreateContext(int width, int height) {
    if (!GetPlatform().problem.empty())
        return false;
    GlWindow gl;
    std::string problem;
    if (!MakeGlWindow(gl, problem))
        return false;
    m_surface = gl.window;
    m_context = gl.context;
    m_width = width;
    m_height = height;
    ++g_liveContexts;
    return true;
}

void vtkMemoryRenderWindow::DestroyContext() {
    if (m_context == nullptr)
        return;
    GlWindow gl{static_cast<HWND>(m_surface), static_cast<HGLRC>(m_context)};
    FreeGlWindow(gl);
    m_context = m_surface = nullptr;
    m_initialized = false;
    --g_liveContexts;
}

// A context for width x height, current and initialised for VTK. VTK sizes its framebuffers to the window at
// each render, so a new size needs no new context.
bool vtkMemoryRenderWindow::EnsureContext(int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide)
        return false;
    if (m_context == nullptr && !CreateContext(width, height))
        return false;
    m_width = width;
    m_height = height;
    MakeCurrent();
    if (!m_initialized)
        m_initialized = this->InitializeFromCurrentContext();
    return m_initialized;
}

void vtkMemoryRenderWindow::SetSize(int width, int height) {
    vtkGenericOpenGLRenderWindow::SetSize(width, height);
    EnsureContext(width, height);
}

bool vtkMemoryRenderWindow::SetupMemoryRendering(int width, int height, HDC hdc) {
    ReleaseMemoryDC();
    if (!EnsureContext(width, height))
        return false;
    vtkGenericOpenGLRenderWindow::SetSize(width, height);
    // The picture's DC is made now, while the caller's is at hand; its bitmap comes with the first picture.
    m_memoryDC = ::CreateCompatibleDC(hdc);
    return m_memoryDC != nullptr;
}

// VTK 9.1 leaves a renderer's record of its last aspect computation uninitialised and skips the
// computation when the record matches the window. A renderer made where an earlier one of the same size
// lived matches by chance, and ResetCamera then fits the view to an aspect of 1. Computing the aspect once
// for a viewport no window has makes the record real, so the next computation is done.
void vtkMemoryRenderWindow::AddRenderer(vtkRenderer* renderer) {
    vtkGenericOpenGLRenderWindow::AddRenderer(renderer);
    if (renderer == nullptr)
        return;
    double viewport[4];
    renderer->GetViewport(viewport);
    renderer->SetViewport(0.0, 0.0, 0.0, 0.0);
    renderer->ComputeAspect();
    renderer->SetViewport(viewport);
}

void vtkMemoryRenderWindow::Render() {
    if (m_initialized)
        vtkGenericOpenGLRenderWindow::Render();
}

void vtkMemoryRenderWindow::MakeCurrent() {
    if (m_context != nullptr)
        ::wglMakeCurrent(::GetDC(static_cast<HWND>(m_surface)), static_cast<HGLRC>(m_context));
}

bool vtkMemoryRenderWindow::IsCurrent() {
    return m_context != nullptr && ::wglGetCurrentContext() == m_context;
}

void vtkMemoryRenderWindow::ReleaseCurrent() {
    if (IsCurrent())
        ::wglMakeCurrent(nullptr, nullptr);
}

HDC vtkMemoryRenderWindow::GetMemoryDC() {
    if (m_bitmap != nullptr)
        return m_memoryDC;
    if (m_memoryDC == nullptr || !m_initialized)
        return nullptr;
    const int w = m_width, h = m_height;
    vtkNew<vtkUnsignedCharArray> rgba;
    MakeCurrent();
    if (this->GetRGBACharPixelData(0, 0, w - 1, h - 1, 0, rgba, 0) != VTK_OK ||
        rgba->GetNumberOfValues() < vtkIdType(w) * h * 4)
        return nullptr;
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(m_memoryDC, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr) {
        if (bitmap != nullptr)
            ::DeleteObject(bitmap);
        return nullptr;
    }
    // OpenGL's rows run bottom-up; the section's rows run top-down, each pixel B, G, R and an unused byte.
    const unsigned char* in = rgba->GetPointer(0);
    for (int y = 0; y < h; ++y) {
        const unsigned char* row = in + size_t(h - 1 - y) * size_t(w) * 4;
        DWORD* out = static_cast<DWORD*>(bits) + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            out[x] = DWORD(row[x * 4]) << 16 | DWORD(row[x * 4 + 1]) << 8 | row[x * 4 + 2];
    }
    m_oldBitmap = ::SelectObject(m_memoryDC, bitmap);
    if (m_oldBitmap == nullptr) {
        ::DeleteObject(bitmap);
        return nullptr;
    }
    m_bitmap = bitmap;
    return m_memoryDC;
}

void vtkMemoryRenderWindow::ReleaseMemoryDC() {
    if (m_memoryDC != nullptr && m_oldBitmap != nullptr)
        ::SelectObject(m_memoryDC, m_oldBitmap);
    if (m_memoryDC != nullptr)
        ::DeleteDC(m_memoryDC);
    if (m_bitmap != nullptr)
        ::DeleteObject(m_bitmap);
    m_memoryDC = nullptr;
    m_bitmap = nullptr;
    m_oldBitmap = nullptr;
}

void vtkMemoryRenderWindow::ResumeScreenRendering() {
    ReleaseMemoryDC();
    ReleaseCurrent();
}

std::string vtkMemoryRenderWindow::GetUnavailableReason() {
    return GetPlatform().problem;
}

int vtkMemoryRenderWindow::GetLiveContextCount() {
    return g_liveContexts.load();
}
