// The binary facet format: 80 header bytes, a 32-bit triangle count, then one 50-byte record per
// triangle (the normal and three corners as little-endian 32-bit floats, and two attribute bytes).
// The number of records comes from the length of the file alone: the count only feeds a debug text.
#include "vtkTVXReader.h"

#include "TVXPointBuffer.h"

#include "vtkObjectFactory.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>

// Last: the reader's debug text in every build.
#include "TVXDebugText.h"

namespace {

constexpr size_t kHeaderSize = 84;
constexpr size_t kRecordSize = 50;
// A record counts once its first 48 bytes (normal and corners) are there; its attribute bytes may
// be cut off.
constexpr size_t kRecordData = 48;
constexpr size_t kRecordsPerChunk = 1024;

// Little-endian whatever the host's byte order.
uint32_t LittleEndian32(const unsigned char* p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

float LittleEndianFloat(const unsigned char* p)
{
  uint32_t bits = LittleEndian32(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

} // namespace

int vtkTVXReader::ReadBinaryFacets(FILE* fp, TVXPointBuffer& points)
{
  vtkDebugMacro(<< " Reading BINARY TVX file");
  unsigned char header[kHeaderSize] = {};
  std::fread(header, 1, 80, fp);
  std::fread(header + 80, 1, 4, fp);
  const int32_t count = static_cast<int32_t>(LittleEndian32(header + 80));
  if (count <= 0)
    vtkDebugMacro(<< "Bad binary count: attempting to correct (" << count << ")");

  // The file's length tells how many points to expect, so the storage is taken once; it grows if
  // the file grows while it is read.
  struct stat st;
  if (::fstat(fileno(fp), &st) == 0 && size_t(st.st_size) >= kHeaderSize + kRecordData)
    points.Reserve(
      3 * vtkIdType((size_t(st.st_size) - kHeaderSize + kRecordSize - kRecordData) / kRecordSize));

  // Records are read a chunk at a time; the bytes of a record cut by the chunk's end move to the
  // front.
  unsigned char chunk[kRecordsPerChunk * kRecordSize];
  size_t held = 0;
  vtkIdType k = 0;
  bool atEnd = false;
  while (!atEnd)
  {
    size_t wanted = sizeof chunk - held;
    size_t got = std::fread(chunk + held, 1, wanted, fp);
    atEnd = got < wanted; // the end of the file, or a read error: both end the reading
    held += got;
    size_t used = 0;
    for (;;)
    {
      const size_t left = held - used;
      if (left < kRecordData || (left < kRecordSize && !atEnd))
        break;
      const unsigned char* corner = chunk + used + 12;
      for (int c = 0; c < 3; ++c, corner += 12)
      {
        if (!points.Append(LittleEndianFloat(corner),
                           LittleEndianFloat(corner + 4),
                           LittleEndianFloat(corner + 8)))
        {
          vtkErrorMacro(<< "Out of memory reading " << this->FileName);
          return 0;
        }
      }
      if (k > 0 && k % 5000 == 0)
        this->ReportTriangle(k);
      ++k;
      used += left < kRecordSize ? left : kRecordSize;
    }
    std::memmove(chunk, chunk + used, held - used);
    held -= used;
  }
  return 0;
}
