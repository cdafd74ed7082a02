#include "vtkTVXReader.h"

#include "vtkTVXPointBuffer.h"

#include "platform/stdfile.h"

#include "vtkCellArray.h"
#include "vtkIncrementalPointLocator.h"
#include "vtkInformationVector.h"
#include "vtkMergePoints.h"
#include "vtkObjectFactory.h"
#include "vtkPoints.h"
#include "vtkPolyData.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#undef vtkDebugWithObjectMacro
#define vtkDebugWithObjectMacro(self, x) vtkTVXDebugWithObjectMacro(self, x)

vtkObjectFactoryNewMacro(vtkTVXReader);

vtkTVXReader::vtkTVXReader() : FileName(nullptr), Merging(1), Locator(nullptr) {
    this->SetNumberOfInputPorts(0);
}

vtkTVXReader::~vtkTVXReader() {
    delete[] this->FileName;
    if (this->Locator != nullptr) {
        this->Locator->UnRegister(this);
        this->Locator = nullptr;
    }
}

void vtkTVXReader::SetLocator(vtkIncrementalPointLocator* locator) {
    if (this->Locator == locator)
        return;
    if (this->Locator != nullptr) {
        this->Locator->UnRegister(this);
        this->Locator = nullptr;
    }
    if (locator != nullptr)
        locator->Register(this);
    this->Locator = locator;
    this->Modified();
}

void vtkTVXReader::CreateDefaultLocator() {
    // The reference that New gives is the reader's one reference; no Modified, as the locator's own
    // modification time already counts through GetMTime.
    if (this->Locator == nullptr)
        this->Locator = vtkMergePoints::New();
}

vtkMTimeType vtkTVXReader::GetMTime() {
    vtkMTimeType mTime = this->Superclass::GetMTime();
    if (this->Locator != nullptr) {
        vtkMTimeType locatorTime = this->Locator->GetMTime();
        if (locatorTime > mTime)
            mTime = locatorTime;
    }
    return mTime;
}

void vtkTVXReader::PrintSelf(ostream& os, vtkIndent indent) {
    this->Superclass::PrintSelf(os, indent);
    os << indent << "File Name: " << (this->FileName != nullptr ? this->FileName : "(none)") << "\n";
    os << indent << "Merging: " << (this->Merging ? "On\n" : "Off\n");
    if (this->Locator != nullptr)
        os << indent << "Locator: " << static_cast<void*>(this->Locator) << "\n";
    else
        os << indent << "Locator: (none)\n";
}

int vtkTVXReader::IsBinaryFile(FILE* fp) {
    unsigned char header[256];
    size_t n = std::fread(header, 1, 255, fp);
    int binary = 0;
    for (size_t i = 0; i < n; ++i) {
        if (header[i] > 127) {
            binary = 1;
            break;
        }
    }
    std::rewind(fp);
    return binary;
}

void vtkTVXReader::ReportTriangle(vtkIdType count) {
    vtkDebugMacro(<< "triangle# " << count);
    this->UpdateProgress(static_cast<double>(count % 50000) / 50000.0);
}

int vtkTVXReader::RequestData(vtkInformation*, vtkInformationVector**, vtkInformationVector* outputVector) {
    vtkPolyData* output = vtkPolyData::GetData(outputVector);
    if (this->FileName == nullptr) {
        vtkErrorMacro(<< "A FileName must be specified.");
        return 1;
    }
    // Only a regular file is opened: a FIFO or a device could keep the reader waiting for ever.
    FILE* fp = OpenRegularFile(this->FileName, "r");
    if (fp == nullptr) {
        vtkErrorMacro(<< "File " << this->FileName << " not found");
        return 1;
    }
    try {
        vtkTVXPointBuffer points(5000);
        if (this->IsBinaryFile(fp)) {
            std::fclose(fp);
            // The file may have gone, or been replaced by something else, since the format test.
            fp = OpenRegularFile(this->FileName, "rb");
            if (fp == nullptr) {
                vtkErrorMacro(<< "File " << this->FileName << " not found");
                return 1;
            }
            this->ReadBinaryFacets(fp, points);
        } else {
            this->ReadASCIIFacets(fp, points);
        }
        vtkDebugMacro(<< "Read: " << points.GetNumberOfPoints() << " points, "
                      << points.GetNumberOfTriangles() << " triangles");
        std::fclose(fp);
        fp = nullptr;

        if (this->Merging) {
            this->MergePoints(points, output);
        } else {
            vtkIdType triangles = points.GetNumberOfTriangles();
            vtkCellArray* polys = vtkCellArray::New();
            polys->AllocateExact(triangles, 3 * triangles);
            for (vtkIdType k = 0; k < triangles; ++k) {
                const vtkIdType ids[3] = {3 * k, 3 * k + 1, 3 * k + 2};
                polys->InsertNextCell(3, ids);
            }
            vtkPoints* outPoints = points.ReleaseToPoints();
            output->SetPoints(outPoints);
            outPoints->Delete();
            output->SetPolys(polys);
            polys->Delete();
        }
        if (this->Locator != nullptr)
            this->Locator->Initialize();
        output->Squeeze();
    } catch (const std::bad_alloc&) {
        // Errors never leave the reader as exceptions.
        if (fp != nullptr)
            std::fclose(fp);
        output->Initialize();
        vtkErrorMacro(<< "Out of memory reading " << this->FileName);
    }
    return 1;
}

void vtkTVXReader::MergePoints(vtkTVXPointBuffer& points, vtkPolyData* output) {
    const vtkIdType n = points.GetNumberOfPoints();
    const vtkIdType triangles = points.GetNumberOfTriangles();
    vtkPoints* merged = vtkPoints::New();
    merged->Allocate(n / 2);
    vtkCellArray* polys = vtkCellArray::New();
    polys->AllocateExact(triangles, 3 * triangles);
    if (this->Locator == nullptr)
        this->CreateDefaultLocator();
    double bounds[6];
    points.GetBounds(bounds);
    // Exact merging finds the same points in the same order however the locator divides space, so the
    // default kind is given an estimate of the distinct points (half the triangles, as in a closed mesh)
    // for its division, rather than a fixed grid that crowds the buckets of large meshes. Any other
    // locator gets the plain form, whose division it chooses itself.
    if (std::strcmp(this->Locator->GetClassName(), "vtkMergePoints") == 0)
        this->Locator->InitPointInsertion(merged, bounds, std::max<vtkIdType>(triangles / 2, 1));
    else
        this->Locator->InitPointInsertion(merged, bounds);

    for (vtkIdType k = 0; k < triangles; ++k) {
        vtkIdType ids[3];
        for (int corner = 0; corner < 3; ++corner) {
            const float* p = points.GetPoint(3 * k + corner);
            const double x[3] = {p[0], p[1], p[2]};
            this->Locator->InsertUniquePoint(x, ids[corner]);
        }
        // A triangle that lost a corner to the merge has no area left.
        if (ids[0] != ids[1] && ids[0] != ids[2] && ids[1] != ids[2])
            polys->InsertNextCell(3, ids);
    }
    points.Clear();
    vtkDebugMacro(<< "Merged to: " << merged->GetNumberOfPoints() << " points, " << polys->GetNumberOfCells()
                  << " triangles");
    output->SetPoints(merged);
    merged->Delete();
    output->SetPolys(polys);
    polys->Delete();
}
