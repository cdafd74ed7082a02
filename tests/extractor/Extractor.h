// Test access to a CTarnelEx through its interfaces, as the shell holds it.
#pragma once

#include "afxwin.h"
#include "extractor/TarnelEx.h"
#include "platform/tarnel/gdicounts.h"
#include "wingdi.h"

#include <gtest/gtest.h>

class Extractor {
public:
    Extractor() {
        CComObject<CTarnelEx>* p = nullptr;
        EXPECT_EQ(CComObject<CTarnelEx>::CreateInstance(&p), S_OK);
        EXPECT_EQ(p->QueryInterface(IID_IExtractImage2, reinterpret_cast<void**>(&extract)), S_OK);
        EXPECT_EQ(p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)), S_OK);
    }
    ~Extractor() {
        persist->Release();
        extract->Release();
    }
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    // Binds the file and the size, then extracts; the bitmap, if any, is kept in bitmap.
    HRESULT Run(const std::wstring& path, SIZE size) {
        persist->Load(path.c_str(), STGM_READ);
        DWORD flags = 0;
        extract->GetLocation(nullptr, 0, nullptr, &size, 32, &flags);
        return extract->Extract(&bitmap);
    }

    IExtractImage2* extract = nullptr;
    IPersistFile* persist = nullptr;
    HBITMAP bitmap = nullptr;
};

// Live GDI objects and temporary wrappers, to compare before and after a call.
struct LiveObjects {
    tarnel::gdi::ObjectCounts gdi{};
    int temporaries = 0;
    static LiveObjects Now() {
        LiveObjects l;
        tarnel::gdi::GetObjectCounts(&l.gdi);
        l.temporaries = AfxGetTempObjectCount();
        return l;
    }
    bool operator==(const LiveObjects& o) const {
        return gdi.bitmaps == o.gdi.bitmaps && gdi.dcs == o.gdi.dcs && gdi.brushes == o.gdi.brushes &&
               gdi.icons == o.gdi.icons && temporaries == o.temporaries;
    }
};

inline std::ostream& operator<<(std::ostream& os, const LiveObjects& l) {
    return os << "bitmaps " << l.gdi.bitmaps << ", dcs " << l.gdi.dcs << ", brushes " << l.gdi.brushes
              << ", icons " << l.gdi.icons << ", temporaries " << l.temporaries;
}
