// Helpers for the mesh reader's tests: facet files, a reader run, and VTK's text output caught.
#pragma once

#include "TestUtil.h"

#include "vtkTVXReader.h"

#include "vtkCallbackCommand.h"
#include "vtkCellArray.h"
#include "vtkCommand.h"
#include "vtkIdList.h"
#include "vtkLogger.h"
#include "vtkObjectFactory.h"
#include "vtkOutputWindow.h"
#include "vtkPoints.h"
#include "vtkPolyData.h"
#include "vtkSmartPointer.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace meshtest {

using Vec3 = std::array<float, 3>;
using Triangle = std::array<Vec3, 3>;

// A binary facet file: 80 header bytes, the count, then one record per triangle (normal 0 0 0).
inline std::string BinaryFacets(const std::vector<Triangle>& triangles, int32_t count, uint16_t attribute = 0,
                                char headerByte = ' ') {
    std::string out(80, headerByte);
    auto put32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out += char((v >> (8 * i)) & 0xFF); // little-endian whatever the host
    };
    auto putFloat = [&](float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put32(bits);
    };
    put32(uint32_t(count));
    for (const Triangle& t : triangles) {
        for (int i = 0; i < 3; ++i)
            putFloat(0.0f);
        for (const Vec3& v : t)
            for (float c : v)
                putFloat(c);
        out += char(attribute & 0xFF);
        out += char(attribute >> 8);
    }
    return out;
}

inline std::string BinaryFacets(const std::vector<Triangle>& triangles) {
    return BinaryFacets(triangles, int32_t(triangles.size()));
}

// Vertex lines "vertex x y z" in facet frames, three to a facet.
inline std::string AsciiFacets(const std::vector<Triangle>& triangles) {
    std::string out = "solid test\n";
    for (const Triangle& t : triangles) {
        out += " facet normal 0 0 1\n  outer loop\n";
        for (const Vec3& v : t) {
            char line[128];
            std::snprintf(line, sizeof line, "   vertex %.9g %.9g %.9g\n", v[0], v[1], v[2]);
            out += line;
        }
        out += "  endloop\n endfacet\n";
    }
    return out + "endsolid test\n";
}

// Catches what VTK's output window would show, by kind.
class CaptureWindow : public vtkOutputWindow {
public:
    static CaptureWindow* New();
    vtkTypeMacro(CaptureWindow, vtkOutputWindow);
    void DisplayText(const char* t) override { Text += t; }
    void DisplayErrorText(const char* t) override { Errors += t; }
    void DisplayWarningText(const char* t) override { Warnings += t; }
    void DisplayGenericWarningText(const char* t) override { Warnings += t; }
    void DisplayDebugText(const char* t) override { Debug += t; }
    std::string Text, Errors, Warnings, Debug;
};
inline vtkStandardNewMacro(CaptureWindow);

// Installs a CaptureWindow for the scope, with the global warning display on.
class ScopedCapture {
public:
    ScopedCapture() : m_window(vtkSmartPointer<CaptureWindow>::New()) {
        m_old = vtkOutputWindow::GetInstance();
        m_old->Register(nullptr);
        vtkOutputWindow::SetInstance(m_window);
        vtkObject::GlobalWarningDisplayOn();
        // VTK also logs its messages to standard error; the test reads them from the window alone.
        m_verbosity = vtkLogger::GetCurrentVerbosityCutoff();
        vtkLogger::SetStderrVerbosity(vtkLogger::VERBOSITY_OFF);
    }
    ~ScopedCapture() {
        vtkLogger::SetStderrVerbosity(m_verbosity);
        vtkOutputWindow::SetInstance(m_old);
        m_old->UnRegister(nullptr);
    }
    CaptureWindow* operator->() { return m_window; }

private:
    vtkSmartPointer<CaptureWindow> m_window;
    vtkOutputWindow* m_old;
    vtkLogger::Verbosity m_verbosity;
};

// Counts occurrences of text in s.
inline int Count(const std::string& s, const std::string& text) {
    int n = 0;
    for (size_t pos = s.find(text); pos != std::string::npos; pos = s.find(text, pos + text.size()))
        ++n;
    return n;
}

struct ReadResult {
    std::vector<Vec3> points;
    std::vector<std::array<vtkIdType, 3>> triangles;
};

inline ReadResult Contents(vtkPolyData* output) {
    ReadResult r;
    vtkPoints* points = output->GetPoints();
    for (vtkIdType i = 0; points != nullptr && i < points->GetNumberOfPoints(); ++i) {
        double p[3];
        points->GetPoint(i, p);
        r.points.push_back({float(p[0]), float(p[1]), float(p[2])});
    }
    vtkCellArray* polys = output->GetPolys();
    auto ids = vtkSmartPointer<vtkIdList>::New();
    for (vtkIdType c = 0; polys != nullptr && c < polys->GetNumberOfCells(); ++c) {
        polys->GetCellAtId(c, ids);
        EXPECT_EQ(ids->GetNumberOfIds(), 3);
        r.triangles.push_back({ids->GetId(0), ids->GetId(1), ids->GetId(2)});
    }
    return r;
}

// Reads a file with a new reader.
inline ReadResult Read(const std::string& path, bool merging = true) {
    auto reader = vtkSmartPointer<vtkTVXReader>::New();
    reader->SetFileName(path.c_str());
    reader->SetMerging(merging);
    reader->Update();
    return Contents(reader->GetOutput());
}

// Writes content to a file in dir and reads it.
inline ReadResult ReadContent(const testutil::TempDir& dir, const std::string& content, bool merging = true) {
    std::string path = dir / "mesh.tvx";
    testutil::WriteFile(path, content);
    return Read(path, merging);
}

// Runs the reader and returns every progress amount it reported, the pipeline's own 0 and 1 included.
inline std::vector<double> UpdateWithProgress(vtkTVXReader* reader) {
    std::vector<double> progress;
    auto observer = vtkSmartPointer<vtkCallbackCommand>::New();
    observer->SetClientData(&progress);
    observer->SetCallback([](vtkObject*, unsigned long, void* data, void* amount) {
        static_cast<std::vector<double>*>(data)->push_back(*static_cast<double*>(amount));
    });
    reader->AddObserver(vtkCommand::ProgressEvent, observer);
    reader->Update();
    return progress;
}

} // namespace meshtest
