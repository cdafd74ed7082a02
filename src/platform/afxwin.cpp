#include "afxwin.h"

#include <memory>
#include <utility>
#include <vector>

namespace {

struct ThreadState {
    AFX_MODULE_STATE* moduleState = nullptr;
    int tempMapLock = 0;
    std::vector<std::unique_ptr<CBitmap>> bitmaps;
    std::vector<std::unique_ptr<CDC>> dcs;
    std::vector<std::unique_ptr<CWnd>> wnds;
};

ThreadState& State() {
    thread_local ThreadState state;
    return state;
}

AFX_MODULE_STATE g_defaultModuleState;

} // namespace

AFX_MODULE_STATE* AfxGetModuleState() {
    AFX_MODULE_STATE* p = State().moduleState;
    return p != nullptr ? p : &g_defaultModuleState;
}

AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState) {
    return std::exchange(State().moduleState, pNewState);
}

void AfxLockTempMaps() {
    ++State().tempMapLock;
}

BOOL AfxUnlockTempMaps(BOOL bDeleteTemps) {
    ThreadState& state = State();
    if (state.tempMapLock == 0 || --state.tempMapLock != 0)
        return FALSE;
    if (bDeleteTemps) {
        // A temporary wrapper only borrowed its handle: detach before it goes so the object itself stays.
        for (auto& bitmap : state.bitmaps)
            bitmap->Detach();
        for (auto& dc : state.dcs)
            dc->Detach();
        state.bitmaps.clear();
        state.dcs.clear();
        state.wnds.clear();
    }
    return TRUE;
}

int AfxGetTempMapLock() {
    return State().tempMapLock;
}

int AfxGetTempObjectCount() {
    return int(State().bitmaps.size() + State().dcs.size());
}

CBitmap* AfxMakeTempBitmap(HGDIOBJ h) {
    if (h == nullptr)
        return nullptr;
    auto wrapper = std::make_unique<CBitmap>();
    wrapper->m_hObject = h;
    CBitmap* p = wrapper.get();
    State().bitmaps.push_back(std::move(wrapper));
    return p;
}

CDC* AfxMakeTempDC(HDC h) {
    if (h == nullptr)
        return nullptr;
    auto wrapper = std::make_unique<CDC>();
    wrapper->m_hDC = wrapper->m_hAttribDC = h;
    CDC* p = wrapper.get();
    State().dcs.push_back(std::move(wrapper));
    return p;
}

CWnd* AfxMakeTempWnd(HWND h) {
    if (h == nullptr)
        return nullptr;
    auto wrapper = std::make_unique<CWnd>();
    wrapper->m_hWnd = h;
    CWnd* p = wrapper.get();
    State().wnds.push_back(std::move(wrapper));
    return p;
}
