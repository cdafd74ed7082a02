// How the shell finds the thumbnail handler of a file: the extension's shellex entry names a class, and the
// class's InprocServer32 names the module that serves it.
#pragma once

#include "objbase.h"

#include <string>
#include <vector>

// The shell's category for thumbnail extractors (IExtractImage).
constexpr const wchar_t kExtractImageHandler[] = L"{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";

// The class tarnel's own module serves; `--module` without `--clsid` asks for it.
extern const CLSID CLSID_TarnelThumbnailer;

struct ThumbnailHandler {
    std::wstring extension; // ".qzt", as the registry spells it
    CLSID clsid = {};
    std::string module; // the InprocServer32 path
};

// The file name's extension from its last dot (".qzt"); empty when the name has none or ends in the dot.
std::wstring ExtensionOf(const std::wstring& path);

// The handler registered for the file's extension (HKEY_CLASSES_ROOT\.ext\shellex\{...}, or below the
// ProgID the extension names). False with a one-line reason in `error`, ready to print (the names in it are
// escaped, Escape.h); *notRouted (when given) then tells whether the registry simply routes no handler for
// the name, as against a registry that cannot be read or an entry that is broken.
bool FindThumbnailHandler(const std::wstring& path, ThumbnailHandler& handler, std::string& error,
                          bool* notRouted = nullptr);

// Every extension with a thumbnail handler whose module is named, in the order of the extensions' names:
// of HKEY_CLASSES_ROOT, or of the system's classes alone.
std::vector<ThumbnailHandler> RegisteredThumbnailHandlers(bool systemOnly, std::string& error);

// "{XXXXXXXX-...}".
std::string GuidText(REFGUID guid);
bool ParseGuidText(const std::string& text, GUID& guid);
