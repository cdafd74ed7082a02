// For the targets that draw: at the end of an input the class library's temporary wrapper objects are
// freed, as the module's idle handling frees them after each extraction, and every GDI object made during
// the input must be gone again. Without the first, the wrappers pile up from input to input and libFuzzer
// gives up its leak check; the second catches a bitmap or device context that an error path forgets.
#pragma once

#include "afxwin.h"
#include "platform/tarnel/gdicounts.h"
#include "wingdi.h"

class GdiBalance {
public:
    GdiBalance() { ::tarnel::gdi::GetObjectCounts(&m_before); }
    ~GdiBalance() {
        AfxLockTempMaps();
        AfxUnlockTempMaps();
        tarnel::gdi::ObjectCounts after{};
        ::tarnel::gdi::GetObjectCounts(&after);
        if (after.bitmaps != m_before.bitmaps || after.dcs != m_before.dcs ||
            after.brushes != m_before.brushes || after.icons != m_before.icons ||
            AfxGetTempObjectCount() != 0)
            __builtin_trap();
    }
    GdiBalance(const GdiBalance&) = delete;
    GdiBalance& operator=(const GdiBalance&) = delete;

private:
    tarnel::gdi::ObjectCounts m_before{};
};
