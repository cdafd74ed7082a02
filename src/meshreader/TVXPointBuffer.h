// The points of one run of vtkTVXReader, three per triangle in reading order: triangle k is made of
// points 3k, 3k + 1 and 3k + 2. Neither format shares points while reading, so the triangles need
// no storage of their own until the merge pass, and the points are written straight into the
// storage that the output or the merge pass later reads.
#ifndef TVXPointBuffer_h
#define TVXPointBuffer_h

#include "vtkType.h"

class vtkPoints;

class TVXPointBuffer
{
public:
  explicit TVXPointBuffer(vtkIdType initialPoints);
  ~TVXPointBuffer();
  TVXPointBuffer(const TVXPointBuffer&) = delete;
  TVXPointBuffer& operator=(const TVXPointBuffer&) = delete;

  // Appends one point; false when no memory could be had for it.
  bool Append(float x, float y, float z)
  {
    if (this->Count == this->Capacity && !this->Reserve(this->Count + 1))
      return false;
    float* p = this->Data + 3 * this->Count++;
    p[0] = x;
    p[1] = y;
    p[2] = z;
    return true;
  }
  // Room for at least n points in all, grown geometrically; false when no memory could be had.
  bool Reserve(vtkIdType n);

  vtkIdType GetNumberOfPoints() const
  {
    return this->Count;
  }
  // Complete triangles; the one or two points after the last one belong to none.
  vtkIdType GetNumberOfTriangles() const
  {
    return this->Count / 3;
  }
  const float* GetPoint(vtkIdType id) const
  {
    return this->Data + 3 * id;
  }

  // Frees the storage; the buffer is empty afterwards.
  void Clear();

  // VTK's bounds of the points, as vtkPoints::GetBounds gives them.
  void GetBounds(double bounds[6]) const;
  // A new single-precision vtkPoints that takes over the storage; the buffer is empty afterwards.
  vtkPoints* ReleaseToPoints();

private:
  float* Data = nullptr;
  vtkIdType Count = 0;
  vtkIdType Capacity = 0;
};

#endif
