// src/module/type_objects.hpp: the eleven array type objects, in element-kind order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "base/element_kinds.hpp"

/// The array types, indexed by element kind. Start-up readies them and files them in
/// TypeObjectPointers, through which every other file reaches them.
extern const std::array<PyTypeObject*, kNumberOfKinds> kArrayTypes;
