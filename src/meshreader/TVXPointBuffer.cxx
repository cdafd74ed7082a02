#include "TVXPointBuffer.h"

#include "vtkFloatArray.h"
#include "vtkNew.h"
#include "vtkPoints.h"

#include <cstdlib>
#include <limits>

TVXPointBuffer::TVXPointBuffer(vtkIdType initialPoints)
{
  this->Reserve(initialPoints);
}

TVXPointBuffer::~TVXPointBuffer()
{
  std::free(this->Data);
}

bool TVXPointBuffer::Reserve(vtkIdType n)
{
  if (n <= this->Capacity)
    return true;
  constexpr vtkIdType most = std::numeric_limits<vtkIdType>::max() / (3 * sizeof(float));
  if (n > most)
    return false;
  vtkIdType capacity = this->Capacity < most / 2 ? 2 * this->Capacity : most;
  if (capacity < n)
    capacity = n;
  void* grown = std::realloc(this->Data, size_t(capacity) * 3 * sizeof(float));
  if (grown == nullptr)
    return false;
  this->Data = static_cast<float*>(grown);
  this->Capacity = capacity;
  return true;
}

void TVXPointBuffer::Clear()
{
  std::free(this->Data);
  this->Data = nullptr;
  this->Count = this->Capacity = 0;
}

void TVXPointBuffer::GetBounds(double bounds[6]) const
{
  // A view of the storage, so that the bounds follow VTK's own rules (empty sets, NaN) exactly.
  vtkNew<vtkFloatArray> view;
  view->SetNumberOfComponents(3);
  if (this->Count > 0)
    view->SetArray(this->Data, 3 * this->Count, 1);
  vtkNew<vtkPoints> points;
  points->SetData(view);
  points->GetBounds(bounds);
}

vtkPoints* TVXPointBuffer::ReleaseToPoints()
{
  vtkPoints* points = vtkPoints::New();
  if (this->Count == 0)
    return points;
  // Give back what the geometric growth took beyond the last point before VTK owns the storage.
  if (this->Capacity > this->Count)
  {
    if (void* exact = std::realloc(this->Data, size_t(this->Count) * 3 * sizeof(float)))
      this->Data = static_cast<float*>(exact);
  }
  vtkNew<vtkFloatArray> data;
  data->SetNumberOfComponents(3);
  data->SetArray(this->Data, 3 * this->Count, 0, vtkFloatArray::VTK_DATA_ARRAY_FREE);
  points->SetData(data);
  this->Data = nullptr;
  this->Count = this->Capacity = 0;
  return points;
}
