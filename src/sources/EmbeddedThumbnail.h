// The picture a study stores at its end: the marker "<THUMBNAIL>" followed by a whole BMP file, found in
// the file's last mebibyte and fitted into the requested size without enlarging.
#pragma once

#include "afx.h"

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

// What a file's embedded picture is, for diagnostics: where its marker starts in the file (-1: no marker)
// and its size (0 x 0 when it cannot be loaded).
struct EmbeddedPictureInfo {
    LONGLONG markerOffset = -1;
    DWORD width = 0;
    DWORD height = 0;
};
EmbeddedPictureInfo InspectEmbeddedThumbnail(LPCWSTR lpszPath);

// The picture fitted into nWidth x nHeight (never enlarged; width first, then height, each truncating).
HBITMAP GetScaledBitmap(const CDIB& dib, LONG nWidth, LONG nHeight);
