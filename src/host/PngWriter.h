// Writes a bitmap of the platform's GDI layer as an 8-bit RGB (or RGBA) PNG.
#pragma once

#include "windef.h"

#include <cstdint>
#include <string>
#include <vector>

// A tEXt chunk: the thumbnail cache keeps the file's URI, modification time and size in them.
struct PngText {
    std::string key;
    std::string value;
};

// Writes to the open file descriptor fd (left open). False with a message in error on failure. With
// coverageAsAlpha the byte GDI leaves unused in each 32-bit pixel becomes the PNG's alpha (a mesh preview
// keeps there what its render covered); a bitmap whose unused bytes are all 0 is written without alpha.
bool WriteBitmapPng(HBITMAP hBitmap, int fd, const std::vector<PngText>& texts, std::string& error,
                    bool coverageAsAlpha = false);

// Whether every pixel of the bitmap has one colour (false for no readable bitmap). A mesh preview that drew
// nothing is such a picture: only the background.
bool IsUniformBitmap(HBITMAP hBitmap);

// The value of the text named key, empty when there is none.
std::string PngTextValue(const std::vector<PngText>& texts, const char* key);

// A 1 x 1 transparent PNG carrying only texts: how the thumbnail cache records a file that gave no picture.
bool WriteMarkerPng(int fd, const std::vector<PngText>& texts, std::string& error);

// The tEXt chunks in front of a PNG's pixels; false when the file is no readable PNG.
bool ReadPngTexts(const std::string& path, std::vector<PngText>& texts);

// Reads the header of the PNG at the start of fd (pread: the offset stays): the signature and an IHDR chunk
// of 8-bit RGB or RGBA pixels. False when fd holds no such PNG; the size in width and height otherwise. The
// parent checks with it what a child wrote before it puts that in place.
bool ReadPngHeader(int fd, uint32_t& width, uint32_t& height);
