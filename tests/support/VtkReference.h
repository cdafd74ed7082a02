// A mesh drawn the plain VTK way: VTK's own STL reader, the mesh preview's camera, one off-screen render.
// The tests compare the preview with it; the benchmarks' floor program is it plus a PNG write.
#pragma once

#include "mesh/vtkMemoryRenderWindow.h"

#include <vtkActor.h>
#include <vtkCamera.h>
#include <vtkNew.h>
#include <vtkPolyDataMapper.h>
#include <vtkRenderer.h>
#include <vtkSTLReader.h>
#include <vtkUnsignedCharArray.h>

#include <string>

// RGBA rows, bottom-up as OpenGL gives them; false where no off-screen context can be had.
inline bool RenderWithVtkReader(const std::string& path, int width, int height, vtkUnsignedCharArray* rgba) {
    vtkNew<vtkSTLReader> reader;
    reader->SetFileName(path.c_str());
    reader->Update();
    vtkNew<vtkPolyDataMapper> mapper;
    mapper->SetInputData(reader->GetOutput());
    vtkNew<vtkActor> actor;
    actor->AddOrientation(45.0, 45.0, 0.0);
    actor->SetMapper(mapper);
    vtkNew<vtkRenderer> renderer;
    renderer->AddActor(actor);
    vtkNew<vtkMemoryRenderWindow> window;
    window->AddRenderer(renderer);
    window->SetSize(width, height);
    double bounds[6];
    actor->GetBounds(bounds);
    renderer->ResetCamera(bounds);
    renderer->GetActiveCamera()->ParallelProjectionOn();
    renderer->GetActiveCamera()->Zoom(1.5);
    if (!window->SetupMemoryRendering(width, height, nullptr))
        return false;
    window->Render();
    window->GetRGBACharPixelData(0, 0, width - 1, height - 1, 0, rgba, 0);
    window->ResumeScreenRendering();
    return true;
}
