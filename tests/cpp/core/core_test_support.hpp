// tests/cpp/core/core_test_support.hpp: the array-core suites' interpreter, with the module built in
#pragma once

#include "../data_test_support.hpp"
#include "../embedded_python.hpp"

PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython();

namespace coretest {

// The module is registered as a built-in (at static initialisation, before the interpreter
// starts) and imported, so that the eleven array types are ready for the states that allocate
// Python objects.
inline const int registered =
    PyImport_AppendInittab("kalvomultidimarrayforpython", PyInit_kalvomultidimarrayforpython);
inline ::testing::Environment* const interpreter =
    ::testing::AddGlobalTestEnvironment(new embedded::Interpreter(
        [] { return embedded::run("__import__('kalvomultidimarrayforpython')") != nullptr; }));

}  // namespace coretest
