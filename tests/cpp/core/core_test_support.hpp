// tests/cpp/core/core_test_support.hpp: the array-core suites' interpreter, with the module built in, and small helpers
#pragma once

#include <string>
#include <vector>

#include "../embedded_python.hpp"
#include "base/pyref.hpp"
#include "dataarray/kalvo_data.hpp"

PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython();

namespace coretest {

// The module is registered as a built-in and imported, so that the eleven array types are ready
// for the states that allocate Python objects.
inline ::testing::Environment* const interpreter =
    ::testing::AddGlobalTestEnvironment(new embedded::Interpreter(
        [] {
            PyImport_AppendInittab("kalvomultidimarrayforpython",
                                   PyInit_kalvomultidimarrayforpython);
        },
        [] { return embedded::run("__import__('kalvomultidimarrayforpython')") != nullptr; }));

/// The value of a Python expression (new reference); fails the test when it cannot be evaluated.
inline kalvo::py::PyRef eval(const std::string& expression) {
    return kalvo::py::PyRef::steal(embedded::run(expression).release());
}

/// The pending Python exception as "<Type>: <message>", cleared; empty when none is pending.
inline std::string takePythonError() { return embedded::takeError(); }

/// A data array of extents `dims` whose storage (column-major) holds `values`.
template<class T>
kalvo::data::Array makeArray(std::vector<size_t> dims, const std::vector<T>& values) {
    kalvo::data::ArrayFactory factory;
    auto buffer = factory.createBuffer<T>(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        buffer[i] = values[i];
    return factory.createArrayFromBuffer<T>(std::move(dims), std::move(buffer));
}

/// The elements of a data array in storage order.
template<class T>
std::vector<T> elementsOf(const kalvo::data::Array& array) {
    const kalvo::data::TypedArray<T> typed(array);
    return std::vector<T>(typed.begin(), typed.end());
}

}  // namespace coretest
