// Project files (.kpv, .kpz) name their studies on lines that contain "STUDY".
#pragma once

#include "afx.h"

// Whether the (lower-cased) path contains ".kpz" or ".kpv" anywhere.
bool IsProjectFile(const CString& strPath);

// Appends the full paths of the studies the project names, in file order. Throws CFileException* when the
// project cannot be opened or read.
void GetProjectStudies(const CString& strPath, CStringArray& studies);
