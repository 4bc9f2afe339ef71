// src/base/limits.hpp: the most dimensions an array may have, and the extents it may have
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

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
    const std::string message = "number of dimensions (" + std::to_string(ndim) +
                                ") exceeds the maximum of " + std::to_string(kMaxDimensions) + ".";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

/// The product of `extents` (1 for none, 0 as soon as one of them is 0, whatever the others), or
/// nothing when it does not fit in Extent.
template<class Extent>
std::optional<Extent> productOf(const std::vector<Extent>& extents) noexcept {
    for (Extent extent : extents) {
        if (extent == 0) {
            return Extent{0};
        }
    }
    Extent product = 1;
    for (Extent extent : extents) {
        if (__builtin_mul_overflow(product, extent, &product)) {
            return std::nullopt;
        }
    }
    return product;
}

/// Whether every byte stride of a column-major array with extents `dims` and elements of
/// `elementSize` bytes fits in a Py_ssize_t, as the buffer protocol and every address computation
/// need. Stride k is the element size times extents 0 to k - 1, so the last extent never counts
/// and a zero extent makes every later stride 0.
template<class Extent>
bool stridesFit(const std::vector<Extent>& dims, size_t elementSize) noexcept {
    Py_ssize_t stride = static_cast<Py_ssize_t>(elementSize);
    for (size_t k = 0; k + 1 < dims.size() && stride != 0; ++k) {
        // Checked in full precision: an extent beyond Py_ssize_t overflows too.
        if (__builtin_mul_overflow(stride, dims[k], &stride)) {
            return false;
        }
    }
    return true;
}

}  // namespace kalvo::py
