// src/construct/parser_support.hpp: small helpers shared by the constructor parser's source files
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstddef>
#include <string>
#include <vector>

#include "base/element_kinds.hpp"

namespace kalvo::py::construct {

/// What a RecursionError raised while walking a nested initializer says after "maximum
/// recursion depth exceeded".
inline constexpr const char* kInitializerRecursionWhere = " while reading an initializer";

/// Keyword list of every array constructor, in positional order ("|OOOO").
extern char* constructorKeywords[5];

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
