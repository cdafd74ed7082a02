// Fuzz target: a study file's tail: the tail reader, the marker scan and the whole embedded-picture path.
#include "GdiBalance.h"
#include "MemoryFile.h"

#include "afxfile.h"
#include "dibkit/dibkit.h"
#include "platform/tarnel/widestr.h"
#include "sources/EmbeddedThumbnail.h"
#include "wingdi.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdiBalance balance;
    MemoryFile file("study.qzt", data, size);
    if (!file.ok())
        return 0;
    const std::wstring path = file.path();
    CByteArray bytes;
    int n = ReadFileTail(path.c_str(), bytes);
    int offset = FindThumbnailOffset(bytes);
    if (n != int(size > size_t(kThumbnailWindow) ? kThumbnailWindow : size) || offset < 0 || offset > n ||
        (offset != 0 && offset < 11))
        __builtin_trap();
    try {
        HBITMAP h = ExtractEmbeddedThumbnail(path.c_str(), SIZE{64, 48});
        if (h != nullptr) {
            BITMAP bm{};
            ::GetObjectW(h, sizeof bm, &bm);
            if (bm.bmWidth > 64 || bm.bmHeight > 48)
                __builtin_trap(); // never enlarged past the request
            ::DeleteObject(h);
        }
    } catch (CFileException* e) {
        e->Delete();
    }
    if (CImageConvertor::GetLiveImageCount() != 0)
        __builtin_trap(); // a temporary picture was left behind
    return 0;
}
