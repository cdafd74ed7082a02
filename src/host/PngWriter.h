// Writes a bitmap of the platform's GDI layer as an 8-bit RGB PNG.
#pragma once

#include "platform/wintypes.h"

#include <string>

// Opens the file for truncation (it may exist already, empty). False with a message in error on failure.
bool WriteBitmapPng(HBITMAP hBitmap, const std::string& path, std::string& error);
