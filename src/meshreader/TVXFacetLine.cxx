#include "TVXFacetLine.h"

#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstring>

namespace {

bool IsBlank(char c)
{
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsDigit(char c)
{
  return c >= '0' && c <= '9';
}

template<size_t N>
bool At(const char* s, const char (&word)[N])
{
  return std::strncmp(s, word, N - 1) == 0;
}

// One number of the plain form [+-](digits[.digits]|.digits)[(e|E)[+-]digits] that ends at a blank
// or at the end of the piece. Gives false for anything else, and for values that the conversion
// reports out of range, so that sscanf decides those.
bool PlainNumber(const char*& p, float& value)
{
  const char* start = p;
  const char* q = p;
  if (*q == '+' || *q == '-')
    ++q;
  const char* digits = q;
  while (IsDigit(*q))
    ++q;
  bool any = q != digits;
  if (*q == '.')
  {
    ++q;
    const char* fraction = q;
    while (IsDigit(*q))
      ++q;
    any = any || q != fraction;
  }
  if (!any)
    return false;
  if (*q == 'e' || *q == 'E')
  {
    ++q;
    if (*q == '+' || *q == '-')
      ++q;
    const char* exponent = q;
    while (IsDigit(*q))
      ++q;
    if (q == exponent)
      return false;
  }
  if (*q != '\0' && !IsBlank(*q))
    return false;
  const char* first = *start == '+' ? start + 1 : start;
  auto [end, error] = std::from_chars(first, q, value);
  if (error != std::errc() || end != q)
    return false;
  p = q;
  return true;
}

// The fast form of the scan; false when the piece is not in the plain form and sscanf must read it.
bool ScanPlain(const char* p, float xyz[3], int& stored)
{
  float values[3];
  int n = 0;
  while (IsBlank(*p))
    ++p;
  while (*p != '\0' && !IsBlank(*p))
  {
    if (static_cast<unsigned char>(*p) >= 0x80) // may be a blank in another locale's character set
      return false;
    ++p;
  }
  for (; n < 3; ++n)
  {
    while (IsBlank(*p))
      ++p;
    if (*p == '\0')
      break;
    if (!PlainNumber(p, values[n]))
      return false;
  }
  for (int i = 0; i < n; ++i)
    xyz[i] = values[i];
  stored = n;
  return true;
}

} // namespace

void TVXLowercase(char* piece)
{
  for (; *piece != '\0'; ++piece)
    if (*piece >= 'A' && *piece <= 'Z')
      *piece = static_cast<char>(*piece + ('a' - 'A'));
}

bool TVXIsVertexLine(const char* piece)
{
  // One pass instead of a substring search per word: "endfacet" and "endsolid" contain "facet" and
  // "solid", so six words decide whether the line is skipped.
  bool vertex = false;
  for (const char* s = piece; *s != '\0'; ++s)
  {
    switch (*s)
    {
      case 'f':
        if (At(s, "facet"))
          return false;
        break;
      case 's':
        if (At(s, "solid"))
          return false;
        break;
      case 'c':
        if (At(s, "color"))
          return false;
        break;
      case 'n':
        if (At(s, "normal"))
          return false;
        break;
      case 'o':
        if (At(s, "outer loop"))
          return false;
        break;
      case 'e':
        if (At(s, "endloop"))
          return false;
        break;
      case 'v':
        if (!vertex && At(s, "vertex"))
          vertex = true;
        break;
      default:
        break;
    }
  }
  return vertex;
}

int TVXScanVertex(const char* piece, float xyz[3], bool fast)
{
  int stored = 0;
  if (fast && ScanPlain(piece, xyz, stored))
    return stored;
  float x = xyz[0], y = xyz[1], z = xyz[2];
  int n = std::sscanf(piece, "%*s %f %f %f\n", &x, &y, &z);
  xyz[0] = x;
  xyz[1] = y;
  xyz[2] = z;
  return n < 0 ? 0 : n;
}

bool TVXPlainNumbersScanned()
{
  const char* point = std::localeconv()->decimal_point;
  return point != nullptr && std::strcmp(point, ".") == 0;
}
