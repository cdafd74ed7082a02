// What the mesh preview's diagnosis asks of a mesh file and of what the reader made of it: whether
// the bytes are the format they were read as, and how many triangles a render can show.
#pragma once

#include <cstdio>

class vtkPolyData;

// A binary file holds the triangles its header counts (84 bytes, then 50 a triangle; writers that
// pad the file leave bytes after them), a text file begins with "solid" (an empty file counts as
// text). Reads from fp's start; the position is left anywhere.
bool TVXIsWhatItIsReadAs(std::FILE* fp, bool binary);

// The triangles of the output that a render can show: finite corners within range, and an area.
long long TVXDrawableTriangles(vtkPolyData* output);
