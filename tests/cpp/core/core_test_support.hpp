// tests/cpp/core/core_test_support.hpp: interpreter start-up and small helpers for the array-core tests
#pragma once

#include <string>
#include <vector>

#include "dataarray/kalvo_data.hpp"
#include "base/pyref.hpp"

namespace coretest {

/// The value of a Python expression (new reference); fails the test when it cannot be evaluated.
kalvo::py::PyRef eval(const std::string& expression);
/// The pending Python exception as "<Type>: <message>", cleared; empty when none is pending.
std::string takePythonError();
/// repr() of an object, "<null>" for null.
std::string repr(PyObject* object);

/// A data array of extents `dims` whose storage (column-major) holds `values`.
template <class T>
kalvo::data::Array makeArray(std::vector<size_t> dims, const std::vector<T>& values)
{
    kalvo::data::ArrayFactory factory;
    auto buffer = factory.createBuffer<T>(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        buffer[i] = values[i];
    return factory.createArrayFromBuffer<T>(std::move(dims), std::move(buffer));
}

/// The elements of a data array in storage order.
template <class T>
std::vector<T> elementsOf(const kalvo::data::Array& array)
{
    const kalvo::data::TypedArray<T> typed(array);
    std::vector<T> result;
    for (auto it = typed.begin(); it != typed.end(); ++it)
        result.push_back(*it);
    return result;
}

/// 0, 1, ..., n-1 as doubles.
std::vector<double> iota(size_t n);

} // namespace coretest
