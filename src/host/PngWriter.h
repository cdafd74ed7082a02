// Writes a bitmap of the platform's GDI layer as an 8-bit RGB PNG.
#pragma once

#include "platform/wintypes.h"

#include <string>
#include <vector>

// A tEXt chunk: the thumbnail cache keeps the file's URI, modification time and size in them.
struct PngText {
    std::string key;
    std::string value;
};

// Writes to the open file descriptor fd (left open). False with a message in error on failure.
bool WriteBitmapPng(HBITMAP hBitmap, int fd, const std::vector<PngText>& texts, std::string& error);
