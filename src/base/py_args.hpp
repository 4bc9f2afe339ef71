// src/base/py_args.hpp: small readers of Python argument values (keywords, nested sequence
// lengths, reshape extents)
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

/// New reference to a Python int; RuntimeError and null on failure.
PyObject* makePyObjectFromLong(long v);
/// True for null and for None.
bool pyObjectIsEmpty(PyObject* obj);
/// True when the object's type is str or a subclass of it.
bool pyObjectIsUnicodeOrString(PyObject* obj);
/// Reads a keyword value that must be exactly a bool; TypeError and ok=false otherwise.
bool retrieveBoolKwarg(PyObject* value, const char* name, bool& ok);
/// (consistent, length) of a sequence whose items must all be scalars or all sequences of one length;
/// (true, 1) for a non-sequence, (false, -1) for a sequence whose length cannot be read. An item
/// that cannot be fetched ends the check as consistent, so the walk's own fetch reports it. Sets no error.
std::pair<bool, long> getLengthOfPySequence(PyObject* obj);
/// Dimensions given to reshape(), trailing 1s dropped while more than two remain; empty with a Python error set on failure.
std::vector<long> getDimsFromReshapeArg(PyObject* arg);
