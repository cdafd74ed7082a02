// No exception leaves an interface method or an export: inside a catch (...) handler this turns the
// exception in flight into the result code the caller gets, and releases a class-library exception object.
#pragma once

#include "afx.h"
#include "objbase.h"

#include <new>

inline HRESULT HResultFromCaughtException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (CMemoryException* e) {
        e->Delete();
        return E_OUTOFMEMORY;
    } catch (CException* e) {
        e->Delete();
        return E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}
