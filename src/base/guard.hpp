// src/base/guard.hpp: the one boundary where C++ exceptions become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kalvo::py {

/// Thrown by code below a slot that has already set the Python error it wants reported.
struct ErrorAlreadySet {};

/// Converts the exception being handled into a pending Python exception:
/// std::bad_alloc and std::length_error -> MemoryError; kalvo::Exception and std::exception -> RuntimeError(what());
/// ErrorAlreadySet keeps the pending error; anything else -> RuntimeError.
/// Call only inside a catch block.
void translateCurrentException() noexcept;

/// Runs `body` (returning R); any C++ exception becomes a Python exception and `failValue` is returned.
template<class R, class F>
R guarded(R failValue, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        translateCurrentException();
        return failValue;
    }
}

/// As guarded, for slots that return nothing.
template<class F>
void guardedVoid(F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
        translateCurrentException();
    }
}

}  // namespace kalvo::py
