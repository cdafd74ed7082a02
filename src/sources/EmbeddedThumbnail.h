// The picture a study stores at its end: the marker "<THUMBNAIL>" followed by a whole BMP file, found in
// the file's last mebibyte and fitted into the requested size without enlarging.
#pragma once

#include "platform/afx.h"

class CDIB;

constexpr int kThumbnailWindow = 1048576; // bytes searched at the end of a file

// A new bitmap no larger than the requested size, or null. May throw CFileException* while writing the
// temporary picture file.
HBITMAP ExtractEmbeddedThumbnail(LPCWSTR lpszPath, const SIZE& size);

// Appends the file's last kThumbnailWindow bytes (all of a smaller file) to bytes; the number of bytes
// then held, or 0 when the file cannot be opened or read.
int ReadFileTail(LPCWSTR lpszPath, CByteArray& bytes);

// The position right after the marker nearest the end, or 0 when there is none.
int FindThumbnailOffset(const CByteArray& bytes);

// The picture fitted into nWidth x nHeight (never enlarged; width first, then height, each truncating).
HBITMAP GetScaledBitmap(const CDIB& dib, LONG nWidth, LONG nHeight);
