#include "sources/MeshPreview.h"

#include "afxwin.h"
#include "dibkit/dibkit.h"
#include "mesh/vtkMemoryRenderWindow.h"
#include "meshreader/vtkTVXReader.h"
#include "stringapiset.h"

#include <vtkActor.h>
#include <vtkAutoInit.h>
#include <vtkCamera.h>
#include <vtkPolyDataMapper.h>
#include <vtkRenderer.h>

#include <vector>

VTK_MODULE_INIT(vtkRenderingOpenGL2);

namespace {

// The VTK objects of one preview, released in the order the preview needs: the window first, the reader
// last.
struct Pipeline {
    vtkTVXReader* reader = nullptr;
    vtkPolyDataMapper* mapper = nullptr;
    vtkActor* actor = nullptr;
    vtkRenderer* renderer = nullptr;
    vtkMemoryRenderWindow* window = nullptr;
    ~Pipeline() {
        for (vtkObjectBase* o : {static_cast<vtkObjectBase*>(window), static_cast<vtkObjectBase*>(renderer),
                                 static_cast<vtkObjectBase*>(actor), static_cast<vtkObjectBase*>(mapper),
                                 static_cast<vtkObjectBase*>(reader)})
            if (o != nullptr)
                o->Delete();
    }
};

// Short paths are converted on the stack; longer ones need the heap.
constexpr size_t kStackPath = 4096;

} // namespace

HBITMAP RenderMeshPreview(LPCWSTR lpszPath, const SIZE& size) {
    if (lpszPath == nullptr)
        return nullptr;
    HBITMAP hBitmap = nullptr;
    try {
        vtkObject::SetGlobalWarningDisplay(0);
        Pipeline p;
        p.reader = vtkTVXReader::New();
        if (p.reader == nullptr)
            return nullptr;

        // The reader takes the name in the file-name encoding (UTF-8), which needs up to four bytes for
        // each wide character.
        const int length = ::lstrlenW(lpszPath);
        char stackName[kStackPath];
        std::vector<char> heapName;
        char* narrow = nullptr;
        if (size_t(length) + 1 <= 0x3FFFFFFF) {
            const size_t bytes = 4 * (size_t(length) + 1);
            if (bytes > kStackPath)
                heapName.resize(bytes);
            char* buffer = bytes > kStackPath ? heapName.data() : stackName;
            buffer[0] = 0;
            if (::WideCharToMultiByte(CP_THREAD_ACP, 0, lpszPath, -1, buffer, int(bytes), nullptr, nullptr) !=
                0)
                narrow = buffer;
        }
        p.reader->SetFileName(narrow);
        p.reader->Update();

        p.mapper = vtkPolyDataMapper::New();
        if (p.mapper == nullptr || p.reader->GetOutput() == nullptr)
            return nullptr;
        p.mapper->SetInputData(p.reader->GetOutput());

        p.actor = vtkActor::New();
        if (p.actor == nullptr)
            return nullptr;
        p.actor->AddOrientation(45.0, 45.0, 0.0);
        p.actor->SetMapper(p.mapper);

        p.renderer = vtkRenderer::New();
        if (p.renderer == nullptr)
            return nullptr;
        p.renderer->AddActor(p.actor);

        p.window = vtkMemoryRenderWindow::New();
        if (p.window == nullptr)
            return nullptr;
        p.window->AddRenderer(p.renderer);
        p.window->SetSize(size.cx, size.cy);

        double bounds[6];
        p.actor->GetBounds(bounds);
        p.renderer->ResetCamera(bounds);
        p.renderer->GetActiveCamera()->ParallelProjectionOn();
        p.renderer->GetActiveCamera()->Zoom(1.5);

        CClientDC screenDC(CWnd::FromHandle(::GetDesktopWindow()));
        CCompatibleDC memDC(&screenDC);
        CCompatibleBitmap bitmap(&screenDC, size.cx, size.cy);
        CDCRestorer restorer(&memDC);
        CDC::SelectGdiObject(memDC.GetSafeHdc(), bitmap.GetSafeHandle());

        if (!p.window->SetupMemoryRendering(size.cx, size.cy, memDC.GetSafeHdc()))
            return nullptr; // no off-screen rendering here: no picture
        p.window->Render();
        ::BitBlt(memDC.GetSafeHdc(), 0, 0, size.cx, size.cy, p.window->GetMemoryDC(), 0, 0, SRCCOPY);
        p.window->ResumeScreenRendering();

        hBitmap = static_cast<HBITMAP>(bitmap.Detach());
    } catch (...) {
        // Nothing passes out of the preview; a bitmap detached before the exception is still the result.
    }
    return hBitmap;
}
