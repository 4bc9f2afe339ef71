// src/base/objects.cpp: the module's shared objects, filled in by the module's start-up.
#include "base/objects.hpp"

PyObject* KCPyError::shapeErr = nullptr;
PyObject* KCPyError::sizeErr = nullptr;
PyObject* ArrayArray::s_arrayClass = nullptr;

std::array<PyTypeObject*, kNumberOfKinds> TypeObjectPointers{};
