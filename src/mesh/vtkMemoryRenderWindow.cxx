#include "mesh/vtkMemoryRenderWindow.h"
#include "platform/tarnel/gdicounts.h"

#include "wingdi.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <vtkObjectFactory.h>
#include <vtkRenderer.h>
#include <vtkUnsignedCharArray.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

using tarnel::gdi::kMaxBitmapSide;

vtkStandardNewMacro(vtkMemoryRenderWindow);

namespace {

std::atomic<int> g_liveContexts{0};

// The display is opened once for the process: opening it loads the driver, which is slow, and it holds
// nothing of any one picture.
struct Display {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLConfig config = nullptr;
    std::string problem;
};

const Display& GetDisplay() {
    static Display d = [] {
        Display d;
        auto getPlatformDisplay =
            reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
        const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
        if (getPlatformDisplay == nullptr || extensions == nullptr ||
            std::strstr(extensions, "EGL_MESA_platform_surfaceless") == nullptr) {
            d.problem = "EGL has no surfaceless platform (Mesa's EGL is needed)";
            return d;
        }
        EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
        EGLint major = 0, minor = 0;
        if (display == EGL_NO_DISPLAY || !eglInitialize(display, &major, &minor)) {
            d.problem = "the EGL display cannot be initialised";
            return d;
        }
        const EGLint attributes[] = {EGL_SURFACE_TYPE,
                                     EGL_PBUFFER_BIT,
                                     EGL_RED_SIZE,
                                     8,
                                     EGL_GREEN_SIZE,
                                     8,
                                     EGL_BLUE_SIZE,
                                     8,
                                     EGL_ALPHA_SIZE,
                                     8,
                                     EGL_DEPTH_SIZE,
                                     24,
                                     EGL_RENDERABLE_TYPE,
                                     EGL_OPENGL_BIT,
                                     EGL_NONE};
        EGLint count = 0;
        if (!eglChooseConfig(display, attributes, &d.config, 1, &count) || count < 1) {
            d.problem = "EGL offers no configuration for off-screen OpenGL";
            return d;
        }
        d.display = display;
        return d;
    }();
    return d;
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
    const Display& d = GetDisplay();
    if (d.display == EGL_NO_DISPLAY)
        return false;
    const EGLint surfaceAttributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    EGLSurface surface = eglCreatePbufferSurface(d.display, d.config, surfaceAttributes);
    if (surface == EGL_NO_SURFACE)
        return false;
    eglBindAPI(EGL_OPENGL_API);
    const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION,
                                        3,
                                        EGL_CONTEXT_MINOR_VERSION,
                                        2,
                                        EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                        EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                        EGL_NONE};
    EGLContext context = eglCreateContext(d.display, d.config, EGL_NO_CONTEXT, contextAttributes);
    if (context == EGL_NO_CONTEXT) {
        eglDestroySurface(d.display, surface);
        return false;
    }
    m_surface = surface;
    m_context = context;
    m_width = width;
    m_height = height;
    ++g_liveContexts;
    return true;
}

void vtkMemoryRenderWindow::DestroyContext() {
    if (m_context == nullptr)
        return;
    const Display& d = GetDisplay();
    if (eglGetCurrentContext() == m_context)
        eglMakeCurrent(d.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(d.display, m_context);
    eglDestroySurface(d.display, m_surface);
    m_context = m_surface = nullptr;
    m_initialized = false;
    --g_liveContexts;
}

// A context of exactly width x height, current and initialised for VTK.
bool vtkMemoryRenderWindow::EnsureContext(int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide)
        return false;
    if (m_context != nullptr && (width != m_width || height != m_height)) {
        MakeCurrent();
        this->Finalize();
        DestroyContext();
    }
    if (m_context == nullptr && !CreateContext(width, height))
        return false;
    MakeCurrent();
    if (!m_initialized)
        m_initialized = this->InitializeFromCurrentContext();
    return m_initialized;
}

void vtkMemoryRenderWindow::SetSize(int width, int height) {
    vtkGenericOpenGLRenderWindow::SetSize(width, height);
    EnsureContext(width, height);
}

bool vtkMemoryRenderWindow::SetupMemoryRendering(int width, int height, HDC) {
    ReleaseMemoryDC();
    if (!EnsureContext(width, height))
        return false;
    vtkGenericOpenGLRenderWindow::SetSize(width, height);
    return true;
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
        eglMakeCurrent(GetDisplay().display, m_surface, m_surface, m_context);
}

bool vtkMemoryRenderWindow::IsCurrent() {
    return m_context != nullptr && eglGetCurrentContext() == m_context;
}

void vtkMemoryRenderWindow::ReleaseCurrent() {
    if (IsCurrent())
        eglMakeCurrent(GetDisplay().display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

HDC vtkMemoryRenderWindow::GetMemoryDC() {
    if (m_memoryDC != nullptr || !m_initialized)
        return m_memoryDC;
    const int w = m_width, h = m_height;
    vtkNew<vtkUnsignedCharArray> rgba;
    MakeCurrent();
    if (this->GetRGBACharPixelData(0, 0, w - 1, h - 1, 0, rgba, 0) != VTK_OK ||
        rgba->GetNumberOfValues() < vtkIdType(w) * h * 4)
        return nullptr;
    // OpenGL's rows run bottom-up; the picture's rows run top-down. The byte that GDI leaves unused in a
    // 32-bit pixel keeps what the render covered (its alpha: 0 where only the background was drawn), for a
    // caller that shows the picture on a background of its own; the colours are the picture as drawn.
    const unsigned char* in = rgba->GetPointer(0);
    std::vector<DWORD> bgrx(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const unsigned char* row = in + size_t(h - 1 - y) * size_t(w) * 4;
        DWORD* out = bgrx.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            out[x] = DWORD(row[x * 4 + 3]) << 24 | DWORD(row[x * 4]) << 16 | DWORD(row[x * 4 + 1]) << 8 |
                     row[x * 4 + 2];
    }
    HDC screen = ::GetDC(nullptr);
    m_bitmap = ::CreateCompatibleBitmap(screen, w, h);
    m_memoryDC = ::CreateCompatibleDC(screen);
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    bool ok = m_bitmap != nullptr && m_memoryDC != nullptr &&
              ::SetDIBits(screen, m_bitmap, 0, UINT(h), bgrx.data(), &bmi, DIB_RGB_COLORS) == h;
    ::ReleaseDC(nullptr, screen);
    if (ok)
        m_oldBitmap = ::SelectObject(m_memoryDC, m_bitmap);
    if (!ok || m_oldBitmap == nullptr) {
        ReleaseMemoryDC();
        return nullptr;
    }
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
    return GetDisplay().problem;
}

int vtkMemoryRenderWindow::GetLiveContextCount() {
    return g_liveContexts.load();
}
