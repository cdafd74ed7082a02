// A VTK render window that draws into memory, for machines with no display, used through
// vtkGenericOpenGLRenderWindow: on Linux an EGL context on Mesa's surfaceless platform (no X or Wayland
// server; works in a sandbox and with software rendering), on Windows a WGL context on a hidden window of its
// own (win/vtkMemoryRenderWindow.cxx). The picture is handed out as a memory device context, top row first,
// for the caller to copy from. On Linux it lives in the mesh library, which exports it for the tests and
// benchmarks that render beside the mesh preview; on Windows it is in tarnelmesh.dll.
#pragma once

#ifndef _WIN32 // the Windows build starts every file with the SDK (platform/win/prefix.h)
#include "windef.h"
#endif

#include <vtkGenericOpenGLRenderWindow.h>

#include <string>

class TARNEL_API vtkMemoryRenderWindow : public vtkGenericOpenGLRenderWindow {
public:
    static vtkMemoryRenderWindow* New();
    vtkTypeMacro(vtkMemoryRenderWindow, vtkGenericOpenGLRenderWindow);

    // Renders into memory at width x height from now on. hdc is the context the picture is meant for.
    // False, with the reason in GetUnavailableReason, when no off-screen context can be had.
    bool SetupMemoryRendering(int width, int height, HDC hdc);
    // A memory device context holding the last picture rendered, valid until ResumeScreenRendering;
    // null when nothing could be rendered.
    HDC GetMemoryDC();
    // Leaves memory rendering: the memory context goes.
    void ResumeScreenRendering();

    // A sized window has its context at once and keeps it current, as a window on screen would: VTK asks
    // OpenGL about the window (its viewport among it) before the first render.
    void SetSize(int width, int height) override;
    void SetSize(int size[2]) override { SetSize(size[0], size[1]); }

    void AddRenderer(vtkRenderer* renderer) override;
    void Render() override;
    void MakeCurrent() override;
    bool IsCurrent() override;
    void ReleaseCurrent() override;

    // Why memory rendering is not available here, or empty.
    static std::string GetUnavailableReason();
    // Off-screen contexts alive in the process.
    static int GetLiveContextCount();

protected:
    vtkMemoryRenderWindow();
    ~vtkMemoryRenderWindow() override;

private:
    vtkMemoryRenderWindow(const vtkMemoryRenderWindow&) = delete;
    void operator=(const vtkMemoryRenderWindow&) = delete;

    bool CreateContext(int width, int height);
    bool EnsureContext(int width, int height);
    void DestroyContext();
    void ReleaseMemoryDC();

    void* m_context = nullptr; // EGLContext; on Windows HGLRC
    void* m_surface = nullptr; // EGLSurface; on Windows the hidden window (HWND) the context draws with
    int m_width = 0;
    int m_height = 0;
    bool m_initialized = false;
    HDC m_memoryDC = nullptr;
    HBITMAP m_bitmap = nullptr;
    void* m_oldBitmap = nullptr;
};
