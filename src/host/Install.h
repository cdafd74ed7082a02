// `tarnel install` / `tarnel uninstall`: the freedesktop thumbnailer entry and the MIME definitions that
// let file managers (GNOME's thumbnail factory, tumbler) find tarnel.
#pragma once

#include <string>

// data/tarnel-mime.xml and data/tarnel.thumbnailer.in; the latter names the command as @TARNEL@.
extern const char kMimeXml[];
extern const char kThumbnailerTemplate[];

constexpr const char kMimeFileName[] = "tarnel-mime.xml";
constexpr const char kThumbnailerFileName[] = "tarnel.thumbnailer";

// The thumbnailer entry for the command at path: quoted as a desktop entry's Exec line wants it.
// Empty when the path cannot stand in an entry (a line break in it).
std::string ThumbnailerEntry(const std::string& command);
