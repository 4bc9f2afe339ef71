// src/base/element_kinds.hpp: lookups between format characters, element kinds and runtime classes.
// Brings in the kind rows and the dispatch on them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "base/kind_dispatch.hpp"
#include "contract/element_kind_rows.hpp"
#include "dataarray/kalvo_data.hpp"

/// Code of format character `c` (its kind + 3: 'd' 3 ... 'Q' 12, '?' 13); empty with a
/// Python RuntimeError "format character not supported: <c>" when `c` is not a format character.
std::optional<int> getArrayTypeEnumFromChar(char c);

/// True when a buffer of format `input` (item size `itemsize`) may fill an array of format
/// `output` although the characters differ: native 'l'/'L' by size, and '?' with 'B'.
bool areDifferentButCompatible(char input, char output, long itemsize);

/// Kind and complexity of a runtime element class (three bytes: supported, kind, complex).
struct TypeAndComplexity {
    bool supported;
    SupportedArrayEnum kind;
    bool isComplex;
};
static_assert(sizeof(TypeAndComplexity) == 3, "the record is three bytes");

/// Looks up `t` in the runtime-class table; unsupported classes give {false, KIND_LOGICAL, true}.
TypeAndComplexity getTypeAndComplexityFromArrayType(kalvo::data::ArrayType t) noexcept;

/// Buffer format string of runtime class `t` ("d", "Zd", "?", ...), or null when it has none.
/// The string is static and writable, as the buffer protocol's format field expects.
char* classid2format(kalvo::data::ArrayType t) noexcept;

/// True when the type of `o` is int or a subclass (bool included); false for null.
bool pyObjectIsLong(PyObject* o) noexcept;
