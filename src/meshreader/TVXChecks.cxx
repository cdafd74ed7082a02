#include "TVXChecks.h"

#include "vtkCellArray.h"
#include "vtkPoints.h"
#include "vtkPolyData.h"

#include <cmath>
#include <cstring>

namespace {

// Coordinates beyond this draw nothing: the renderer's single-precision arithmetic overflows on
// them.
constexpr double kLargestDrawn = 1e18;

} // namespace

long long TVXDrawableTriangles(vtkPolyData* output)
{
  vtkCellArray* polys = output->GetPolys();
  vtkPoints* points = output->GetPoints();
  if (polys == nullptr || points == nullptr)
    return 0;
  long long drawable = 0;
  vtkIdType count = 0;
  const vtkIdType* ids = nullptr;
  for (polys->InitTraversal(); polys->GetNextCell(count, ids) != 0;)
  {
    if (count != 3)
      continue;
    double p[3][3];
    bool inRange = true;
    for (int i = 0; i < 3; ++i)
    {
      points->GetPoint(ids[i], p[i]);
      for (double c : p[i])
        inRange = inRange && std::isfinite(c) && std::fabs(c) <= kLargestDrawn;
    }
    if (!inRange)
      continue;
    const double u[3] = { p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2] };
    const double v[3] = { p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2] };
    const double n[3] = { u[1] * v[2] - u[2] * v[1],
                          u[2] * v[0] - u[0] * v[2],
                          u[0] * v[1] - u[1] * v[0] };
    if (n[0] != 0 || n[1] != 0 || n[2] != 0)
      ++drawable;
  }
  return drawable;
}

bool TVXIsWhatItIsReadAs(std::FILE* fp, bool binary)
{
  unsigned char head[84];
  const size_t n = std::fread(head, 1, sizeof head, fp);
  if (!binary)
  {
    size_t at = 0;
    while (at < n && (head[at] == ' ' || head[at] == '\t' || head[at] == '\r' || head[at] == '\n'))
      ++at;
    return n == 0 || (n - at >= 5 && std::memcmp(head + at, "solid", 5) == 0);
  }
  if (n < sizeof head || std::fseek(fp, 0, SEEK_END) != 0)
    return false;
  const long size = std::ftell(fp);
  const unsigned long long count =
    head[80] | head[81] << 8 | head[82] << 16 | (unsigned long long)head[83] << 24;
  return size >= 0 && 84 + 50 * count <= (unsigned long long)size;
}
