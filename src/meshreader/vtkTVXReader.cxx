#include "vtkTVXReader.h"

#include "TVXPointBuffer.h"

#include "winbase.h"

#include "vtkCellArray.h"
#include "vtkIncrementalPointLocator.h"
#include "vtkInformationVector.h"
#include "vtkMergePoints.h"
#include "vtkNew.h"
#include "vtkObjectFactory.h"
#include "vtkPoints.h"
#include "vtkPolyData.h"
#include "vtkSmartPointer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

// Last: the reader's debug text in every build.
#include "TVXDebugText.h"

vtkObjectFactoryNewMacro(vtkTVXReader);

namespace {

// A cell array of triangles whose corner ids, three by three, are in connectivity.
vtkCellArray* NewTriangleCells(vtkCellArray::ArrayType64* connectivity)
{
  const vtkIdType triangles = connectivity->GetNumberOfValues() / 3;
  vtkNew<vtkCellArray::ArrayType64> offsets;
  vtkTypeInt64* starts = offsets->WritePointer(0, triangles + 1);
  for (vtkIdType i = 0; i <= triangles; ++i)
    starts[i] = 3 * i;
  vtkCellArray* cells = vtkCellArray::New();
  cells->SetData(offsets, connectivity);
  return cells;
}

} // namespace

vtkTVXReader::vtkTVXReader()
  : FileName(nullptr)
  , Merging(1)
  , Locator(nullptr)
{
  this->SetNumberOfInputPorts(0);
}

vtkTVXReader::~vtkTVXReader()
{
  delete[] this->FileName;
  if (this->Locator != nullptr)
  {
    this->Locator->UnRegister(this);
    this->Locator = nullptr;
  }
}

// As VTK's object setter does, but without its debug text: the locator's setter writes none.
void vtkTVXReader::SetLocator(vtkIncrementalPointLocator* locator)
{
  if (this->Locator == locator)
  {
    return;
  }
  if (this->Locator != nullptr)
  {
    vtkIncrementalPointLocator* old = this->Locator;
    this->Locator = nullptr;
    old->UnRegister(this);
  }
  if (locator != nullptr)
  {
    locator->Register(this);
  }
  this->Locator = locator;
  this->Modified();
}

void vtkTVXReader::CreateDefaultLocator()
{
  // The reference that New gives is the reader's one reference; no Modified, as the locator's own
  // modification time already counts through GetMTime.
  if (this->Locator == nullptr)
    this->Locator = vtkMergePoints::New();
}

vtkMTimeType vtkTVXReader::GetMTime()
{
  vtkMTimeType mTime = this->Superclass::GetMTime();
  if (this->Locator != nullptr)
  {
    vtkMTimeType locatorTime = this->Locator->GetMTime();
    if (locatorTime > mTime)
      mTime = locatorTime;
  }
  return mTime;
}

void vtkTVXReader::PrintSelf(ostream& os, vtkIndent indent)
{
  this->Superclass::PrintSelf(os, indent);
  os << indent << "File Name: " << (this->FileName != nullptr ? this->FileName : "(none)") << "\n";
  os << indent << "Merging: " << (this->Merging ? "On\n" : "Off\n");
  if (this->Locator != nullptr)
    os << indent << "Locator: " << static_cast<void*>(this->Locator) << "\n";
  else
    os << indent << "Locator: (none)\n";
}

// The test reads the stream that it is given: through the text stream of a run, a Ctrl+Z ends what
// it sees, so a byte above 127 behind one does not count, and each CR LF counts as one byte.
int vtkTVXReader::IsBinaryFile(FILE* fp)
{
  unsigned char header[256];
  size_t n = std::fread(header, 1, 255, fp);
  int binary = 0;
  for (size_t i = 0; i < n; ++i)
  {
    if (header[i] > 127)
    {
      binary = 1;
      break;
    }
  }
  std::rewind(fp);
  return binary;
}

void vtkTVXReader::ReportTriangle(vtkIdType count)
{
  vtkDebugMacro(<< "triangle# " << count);
  this->UpdateProgress(static_cast<double>(count % 50000) / 50000.0);
}

int vtkTVXReader::RequestData(vtkInformation*,
                              vtkInformationVector**,
                              vtkInformationVector* outputVector)
{
  vtkPolyData* output = vtkPolyData::GetData(outputVector);
  if (this->FileName == nullptr)
  {
    vtkErrorMacro(<< "A FileName must be specified.");
    return 1;
  }
  // Only a regular file is opened: a FIFO or a device could keep the reader waiting for ever. Text
  // mode: the format test and the ASCII reader see the file up to its first Ctrl+Z, with CR LF as
  // LF.
  FILE* fp = _fsopen(this->FileName, "r", _SH_DENYNO);
  if (fp == nullptr)
  {
    vtkErrorMacro(<< "File " << this->FileName << " not found");
    return 1;
  }
  try
  {
    TVXPointBuffer points(5000);
    if (this->IsBinaryFile(fp))
    {
      std::fclose(fp);
      // The file may have gone, or been replaced by something else, since the format test.
      fp = _fsopen(this->FileName, "rb", _SH_DENYNO);
      if (fp == nullptr)
      {
        vtkErrorMacro(<< "File " << this->FileName << " not found");
        return 1;
      }
      this->ReadBinaryFacets(fp, points);
    }
    else
    {
      this->ReadASCIIFacets(fp, points);
    }
    vtkDebugMacro(<< "Read: " << points.GetNumberOfPoints() << " points, "
                  << points.GetNumberOfTriangles() << " triangles");
    std::fclose(fp);
    fp = nullptr;

    if (this->Merging)
    {
      this->MergePoints(points, output);
    }
    else
    {
      const vtkIdType triangles = points.GetNumberOfTriangles();
      vtkNew<vtkCellArray::ArrayType64> connectivity;
      vtkTypeInt64* corners = connectivity->WritePointer(0, 3 * triangles);
      for (vtkIdType i = 0; i < 3 * triangles; ++i)
        corners[i] = i;
      auto polys = vtkSmartPointer<vtkCellArray>::Take(NewTriangleCells(connectivity));
      auto outPoints = vtkSmartPointer<vtkPoints>::Take(points.ReleaseToPoints());
      output->SetPoints(outPoints);
      output->SetPolys(polys);
    }
    if (this->Locator != nullptr)
      this->Locator->Initialize();
    output->Squeeze();
  } catch (const std::bad_alloc&)
  {
    // Errors never leave the reader as exceptions.
    if (fp != nullptr)
      std::fclose(fp);
    if (this->Locator != nullptr)
      this->Locator->Initialize();
    output->Initialize();
    vtkErrorMacro(<< "Out of memory reading " << this->FileName);
  }
  return 1;
}

namespace {

// The points that the merge pass met last, by their coordinates, each with the id that the locator
// gave it. In a mesh each corner comes back in the next few triangles, so most corners are answered
// here without a search of the locator's buckets. Used only with vtkMergePoints, whose answer for a
// point is always the first inserted point with exactly equal coordinates: a remembered id is then
// the answer the locator would give. Coordinates compare as floats (0 equals -0), and a point with
// a NaN coordinate equals nothing, so it is never remembered.
class RecentPoints
{
public:
  // Room for the corners of the last few thousand triangles, and no more than a small mesh needs.
  explicit RecentPoints(vtkIdType points)
    : Entries(TableSize(points), Entry{ { 0, 0, 0 }, -1 })
  {}

  // The remembered id of a point with these coordinates, or -1.
  vtkIdType Find(const float p[3])
  {
    if (!(p[0] == p[0] && p[1] == p[1] && p[2] == p[2]))
      return this->Last = nullptr, vtkIdType(-1);
    this->Last = &this->Entries[this->Slot(p)];
    const Entry& e = *this->Last;
    return e.Id >= 0 && e.X[0] == p[0] && e.X[1] == p[1] && e.X[2] == p[2] ? e.Id : -1;
  }
  // Remembers the id of the point that Find just missed.
  void Remember(const float p[3], vtkIdType id)
  {
    if (this->Last != nullptr)
      *this->Last = Entry{ { p[0], p[1], p[2] }, id };
  }

private:
  struct Entry
  {
    float X[3];
    vtkIdType Id;
  };
  static size_t TableSize(vtkIdType points)
  {
    size_t size = 16;
    while (size < (size_t(1) << 14) && vtkIdType(size) < points)
      size *= 2;
    return size;
  }
  size_t Slot(const float p[3]) const
  {
    uint32_t h = 0;
    for (int i = 0; i < 3; ++i)
    {
      float v = p[i] == 0.0f ? 0.0f : p[i]; // -0 and 0 share a slot
      uint32_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      h = (h ^ bits) * 0x9E3779B1u;
    }
    return (h ^ (h >> 15)) & (this->Entries.size() - 1);
  }
  std::vector<Entry> Entries;
  Entry* Last = nullptr;
};

} // namespace

void vtkTVXReader::MergePoints(TVXPointBuffer& points, vtkPolyData* output)
{
  const vtkIdType n = points.GetNumberOfPoints();
  const vtkIdType triangles = points.GetNumberOfTriangles();
  vtkNew<vtkPoints> merged;
  merged->Allocate(n / 2);
  if (this->Locator == nullptr)
    this->CreateDefaultLocator();
  double bounds[6];
  points.GetBounds(bounds);
  // An axis on which every coordinate is NaN has VTK's empty bounds, inverted. The locator would
  // size its grid from them at billions of buckets a side and take seconds to clamp it back. NaN
  // equals nothing, so wherever the locator files such points the merge is the same: the axis is
  // given no extent.
  for (int axis = 0; axis < 3; ++axis)
    if (!(bounds[2 * axis] <= bounds[2 * axis + 1]))
      bounds[2 * axis] = bounds[2 * axis + 1] = 0;
  // Exact merging finds the same points in the same order however the locator divides space, so the
  // default kind is given an estimate of the distinct points (half the triangles, as in a closed
  // mesh) for its division, rather than a fixed grid that crowds the buckets of large meshes. Any
  // other locator gets the plain form, whose division it chooses itself.
  const bool exact = std::strcmp(this->Locator->GetClassName(), "vtkMergePoints") == 0;
  if (exact)
    this->Locator->InitPointInsertion(merged, bounds, std::max<vtkIdType>(triangles / 2, 1));
  else
    this->Locator->InitPointInsertion(merged, bounds);

  // The triangles are written straight into the connectivity and offsets of the merged cell array.
  vtkNew<vtkCellArray::ArrayType64> connectivity;
  vtkTypeInt64* corners = connectivity->WritePointer(0, 3 * triangles);
  vtkIdType kept = 0;
  RecentPoints recent(n);
  for (vtkIdType k = 0; k < triangles; ++k)
  {
    vtkIdType ids[3];
    for (int corner = 0; corner < 3; ++corner)
    {
      const float* p = points.GetPoint(3 * k + corner);
      if (exact && (ids[corner] = recent.Find(p)) >= 0)
        continue;
      const double x[3] = { p[0], p[1], p[2] };
      this->Locator->InsertUniquePoint(x, ids[corner]);
      if (exact)
        recent.Remember(p, ids[corner]);
    }
    // A triangle that lost a corner to the merge has no area left.
    if (ids[0] != ids[1] && ids[0] != ids[2] && ids[1] != ids[2])
    {
      vtkTypeInt64* c = corners + 3 * kept++;
      c[0] = ids[0];
      c[1] = ids[1];
      c[2] = ids[2];
    }
  }
  points.Clear();
  connectivity->Resize(3 * kept);
  connectivity->SetNumberOfValues(3 * kept);
  auto polys = vtkSmartPointer<vtkCellArray>::Take(NewTriangleCells(connectivity));
  vtkDebugMacro(<< "Merged to: " << merged->GetNumberOfPoints() << " points, "
                << polys->GetNumberOfCells() << " triangles");
  output->SetPoints(merged);
  output->SetPolys(polys);
}
