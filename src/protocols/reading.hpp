// src/protocols/reading.hpp: checks shared by the code that reads through a partial array's index items
#pragma once

#include <Python.h>

class KCppPyArray;

/// True when `state` and its stored index items still fit the wrapper's current shape (a reshape
/// through any array sharing the wrapper may have shrunk it); otherwise sets RuntimeError and returns false.
bool checkIndicesStillValid(const KCppPyArray* state);
