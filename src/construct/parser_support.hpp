// src/construct/parser_support.hpp: small helpers shared by the constructor parser's source files
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "module/element_kinds.hpp"

namespace kalvo::py::construct {

/// What a RecursionError raised while walking a nested initializer says after "maximum
/// recursion depth exceeded".
inline constexpr const char* kInitializerRecursionWhere = " while reading an initializer";

/// Keyword list of every array constructor, in positional order ("|OOOO").
extern char* constructorKeywords[5];

/// Product of `dims` (1 for an empty list), saturating at SIZE_MAX so that absurd shapes
/// fail the reservation instead of wrapping around to a small count.
inline size_t productOf(const std::vector<size_t>& dims) noexcept {
    size_t product = 1;
    for (size_t d : dims) {
        if (d == 0) {
            return 0;
        }
        if (product > std::numeric_limits<size_t>::max() / d) {
            product = std::numeric_limits<size_t>::max();
        } else {
            product *= d;
        }
    }
    return product;
}

/// "2, 3" for {2, 3}; the empty text for an empty list.
std::string formatDims(const std::vector<size_t>& dims);

/// Sets `type` (ShapeError or SizeError) with "dimensions of initializer (I) do not match
/// dimensions specified by 'size' (S)."
void setDimsMismatchError(PyObject* type, const std::vector<size_t>& initializerDims,
                          const std::vector<size_t>& sizeDims);

/// Sets MemoryError "unable to allocate memory for array with number of elements = n; type = name".
void setAllocationError(size_t n, const char* typeName);

/// Display name of element representation T ("double" ... "logical"; complex types use the
/// name of their real type).
template<class T>
const char* displayNameOf() {
    return ElementKind<RealOfT<T>>::name();
}

}  // namespace kalvo::py::construct
