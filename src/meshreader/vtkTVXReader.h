/**
 * @class   vtkTVXReader
 * @brief   read a triangle mesh from an ASCII or binary facet file
 *
 * vtkTVXReader is a source object that reads one triangle mesh from a facet file, ASCII or binary,
 * into single-precision points and triangle polygons, and by default merges equal points so that
 * neighbouring triangles share their corners.
 *
 * The format is told by the first 255 bytes: any byte above 127 makes the file binary. ASCII files
 * are read line by line, every three vertex lines giving one triangle; binary files hold an 84-byte
 * header and one 50-byte record per triangle. Nothing inside a file is an error: what cannot be
 * read is skipped or ends the reading, and what was read up to there becomes the output.
 *
 * The reader writes its debug text (SetDebug) in every build, release builds included.
 */

#ifndef vtkTVXReader_h
#define vtkTVXReader_h

#include "vtkPolyDataAlgorithm.h"

#include <cstdio>

#pragma push_macro("vtkDebugWithObjectMacro")
#include "TVXDebugText.h"

class vtkIncrementalPointLocator;
class TVXPointBuffer;

class vtkTVXReader : public vtkPolyDataAlgorithm
{
public:
  /**
   * Asks the object factory first; constructs a vtkTVXReader only when no factory supplies one.
   */
  static vtkTVXReader* New();
  vtkTypeMacro(vtkTVXReader, vtkPolyDataAlgorithm);
  void PrintSelf(ostream& os, vtkIndent indent) override;

  /**
   * The reader's own modification time, or the locator's when that is later: a changed locator
   * makes the next Update read the file again.
   */
  vtkMTimeType GetMTime() override;

  ///@{
  /**
   * Path of the file to read, in the file-name encoding; the reader keeps its own copy.
   */
  vtkSetStringMacro(FileName);
  vtkGetStringMacro(FileName);
  ///@}

  ///@{
  /**
   * Nonzero (the default): after reading, equal points are merged and triangles that lose a corner
   * to the merge are dropped.
   */
  vtkSetMacro(Merging, int);
  vtkGetMacro(Merging, int);
  vtkBooleanMacro(Merging, int);
  ///@}

  ///@{
  /**
   * The locator that merges the points; a vtkMergePoints is made by the first run that merges
   * without one, and kept for later runs.
   */
  void SetLocator(vtkIncrementalPointLocator* locator);
  vtkGetObjectMacro(Locator, vtkIncrementalPointLocator);
  ///@}

  /**
   * Makes the default locator, a vtkMergePoints, when the reader has none.
   */
  void CreateDefaultLocator();

  /**
   * 1 when a byte above 127 is among the first 255 bytes of the stream (a binary file), else 0
   * (ASCII, also for an empty stream); the stream is rewound. Public so that tools tell the format
   * exactly as a run does.
   */
  static int IsBinaryFile(FILE* fp);

protected:
  vtkTVXReader();
  ~vtkTVXReader() override;

  /**
   * One run: open, tell the format, read, merge, fill the output. Errors are reported through VTK's
   * error macro and leave the output empty; the run itself never fails.
   */
  int RequestData(vtkInformation* request,
                  vtkInformationVector** inputVector,
                  vtkInformationVector* outputVector) override;

  char* FileName;
  int Merging;
  vtkIncrementalPointLocator* Locator;

private:
  vtkTVXReader(const vtkTVXReader&) = delete;
  void operator=(const vtkTVXReader&) = delete;

  ///@{
  /**
   * The format readers append three points per triangle, in reading order, and always succeed.
   */
  int ReadASCIIFacets(FILE* fp, TVXPointBuffer& points);
  int ReadBinaryFacets(FILE* fp, TVXPointBuffer& points);
  ///@}
  void ReportTriangle(vtkIdType count);
  void MergePoints(TVXPointBuffer& points, vtkPolyData* output);
};

#pragma pop_macro("vtkDebugWithObjectMacro")

#endif
