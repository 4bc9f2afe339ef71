// src/base/py_compat.hpp: the few places where the C API differs between Python 3.9 and 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kalvo::py::compat {

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
/// Nesting levels entered through enterRecursiveCall on this thread.
inline thread_local int recursionDepth = 0;
}  // namespace detail
#endif

/// Enters one level of a recursive walk over Python objects; false with RecursionError set
/// when the walk is too deep. From 3.12 on, Py_EnterRecursiveCall guards only the C stack
/// (against a limit of its own, far above sys.getrecursionlimit()), so the walk also counts
/// its levels against the Python recursion limit: nesting deeper than that limit raises
/// RecursionError on every version.
inline bool enterRecursiveCall(const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (detail::recursionDepth >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        return false;
    }
    ++detail::recursionDepth;
    return true;
#else
    return Py_EnterRecursiveCall(where) == 0;
#endif
}

/// Leaves a level entered with enterRecursiveCall.
inline void leaveRecursiveCall() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    --detail::recursionDepth;
#endif
    Py_LeaveRecursiveCall();
}

}  // namespace kalvo::py::compat
