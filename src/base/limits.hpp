// src/base/limits.hpp: the most dimensions an array may have
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>

namespace kalvo::py {

/// The most dimensions an array may have. It is the buffer protocol's own maximum, so every array
/// can be exported, and it keeps every walk over the dimensions (text, pickling, ==) shallow.
constexpr size_t kMaxDimensions = 64;
static_assert(kMaxDimensions == PyBUF_MAX_NDIM, "every array must fit a buffer export");

/// True when an array may have `ndim` dimensions; otherwise false with ValueError
/// "number of dimensions (N) exceeds the maximum of 64." set. Callers check it after every
/// other check on the dimensions, so it refuses only what would otherwise have been made.
inline bool dimensionCountAllowed(size_t ndim) {
    if (ndim <= kMaxDimensions) {
        return true;
    }
    const std::string message = "number of dimensions (" + std::to_string(ndim) + ") exceeds the maximum of " +
                                std::to_string(kMaxDimensions) + ".";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

}  // namespace kalvo::py
