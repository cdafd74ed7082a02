// `tarnel install` / `tarnel uninstall`: the freedesktop thumbnailer entry and the MIME definitions that
// let file managers (GNOME's thumbnail factory, tumbler) find tarnel.
#pragma once

#include "objbase.h"

#include <string>
#include <vector>

// The MIME definitions (data/tarnel-mime.xml.in, filled in from host/Formats.def) and
// data/tarnel.thumbnailer.in; the latter names the command as @TARNEL@, the module as @MODULE@, its class as
// @CLSID@ and the MIME types as @MIMETYPES@.
extern const char kMimeXml[];
extern const char kThumbnailerTemplate[];

constexpr const char kMimeFileName[] = "tarnel-mime.xml";
constexpr const char kThumbnailerFileName[] = "tarnel.thumbnailer";

// The thumbnailer entry that has the command at `command` ask `module` for the class clsid's thumbnails of
// the MIME types: paths quoted as a desktop entry's Exec line wants them. Empty when a path cannot stand in
// an entry (a line break in it).
std::string ThumbnailerEntry(const std::string& command, const std::string& module, REFCLSID clsid,
                             const std::vector<std::string>& mimeTypes);

// The MIME type file managers see for files with the extension (".qzt"): ours, else the shared database's;
// empty when neither knows it (GIO would call it text/plain or application/octet-stream).
std::string MimeTypeOfExtension(const std::string& extension);
