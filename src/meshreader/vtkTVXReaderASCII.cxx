// The ASCII facet format: a header line, an optional property block that the header opens, then
// lines of which only the vertex lines carry data. Every three vertex lines of the whole file make
// one triangle; the facet, loop and solid lines that frame them are not consulted.
#include "vtkTVXReader.h"

#include "TVXFacetLine.h"
#include "TVXPointBuffer.h"

#include "vtkObjectFactory.h"

#include <cstring>

// Last: the reader's debug text in every build.
#include "TVXDebugText.h"

namespace {

// One piece: a whole line with its line end when it has at most 253 characters, otherwise the next
// 254 characters of a longer line, which are then classified as a line of their own.
char* ReadPiece(char* piece, FILE* fp)
{
#ifdef __GLIBC__
  return fgets_unlocked(piece, 255, fp);
#else
  return std::fgets(piece, 255, fp);
#endif
}

} // namespace

int vtkTVXReader::ReadASCIIFacets(FILE* fp, TVXPointBuffer& points)
{
  vtkDebugMacro(<< " Reading ASCII TVX file");
  char piece[256];
  if (ReadPiece(piece, fp) == nullptr)
    return 0;
  // The header line is never searched for vertices; it may open a property block, which runs to the
  // first line that contains "endproperty" (or to the end of the file) and is skipped whole.
  TVXLowercase(piece);
  if (std::strstr(piece, "property") != nullptr)
  {
    while (ReadPiece(piece, fp) != nullptr)
    {
      TVXLowercase(piece);
      if (std::strstr(piece, "endproperty") != nullptr)
        break;
    }
  }

  const bool fast = TVXPlainNumbersScanned();
  // A coordinate that a vertex line gives no number for keeps the value of the previous vertex
  // line; before the first one, zero.
  float xyz[3] = { 0.0f, 0.0f, 0.0f };
  int pending = 0;
  while (ReadPiece(piece, fp) != nullptr)
  {
    TVXLowercase(piece);
    if (!TVXIsVertexLine(piece))
      continue;
    TVXScanVertex(piece, xyz, fast);
    if (!points.Append(xyz[0], xyz[1], xyz[2]))
    {
      vtkErrorMacro(<< "Out of memory reading " << this->FileName);
      break;
    }
    if (++pending == 3)
    {
      pending = 0;
      vtkIdType triangles = points.GetNumberOfTriangles();
      if (triangles % 5000 == 0)
        this->ReportTriangle(triangles);
    }
  }
  return 0;
}
