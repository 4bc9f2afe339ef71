// src/construct/scalar_conversion.hpp: conversion of one Python value into one array element
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

/// Outcome of converting one Python value: either `value` is engaged or `failed` is set, with
/// the exception class (borrowed, a built-in) and message the caller raises.
template<class T>
struct ScalarConversionResult {
    std::optional<T> value;
    bool failed = false;
    PyObject* exceptionType = nullptr;
    std::string message;

    /// A successful outcome holding `v`.
    static ScalarConversionResult success(T v) {
        ScalarConversionResult r;
        r.value = std::move(v);
        return r;
    }
    /// A failed outcome to be raised as `type` with `text`.
    static ScalarConversionResult failure(PyObject* type, std::string text) {
        ScalarConversionResult r;
        r.failed = true;
        r.exceptionType = type;
        r.message = std::move(text);
        return r;
    }
    /// True when the outcome holds neither a value nor a failure (the input was not handled).
    bool undecided() const noexcept { return !value && !failed; }
    /// Sets the Python error `exceptionType(message)`; only meaningful when `failed`.
    void raise() const { PyErr_SetString(exceptionType, message.c_str()); }
    /// Sets the Python error `type(message)`, whatever exception class the conversion chose.
    void raiseAs(PyObject* type) const { PyErr_SetString(type, message.c_str()); }
};

/// For an int (bool included): its value as long long, or an OverflowError failure; otherwise
/// an undecided outcome. Leaves no Python error pending.
ScalarConversionResult<long long> getLongLongFromPyObject(PyObject* value);

/// For an int: its value as unsigned long long, or an OverflowError failure naming `typeName`
/// for negative values; otherwise an undecided outcome. Leaves no Python error pending.
ScalarConversionResult<unsigned long long> getUnsignedLongLongFromPyObject(PyObject* value,
                                                                           const char* typeName);

/// Range check of a signed 64-bit number against the integer element type T; on failure
/// writes "value (v) cannot be stored in a variable of type <name>." to `message`.
template<class T>
std::optional<T> checkRange(long long v, std::ostream& message);

/// Range check of an unsigned 64-bit number against the integer element type T.
template<class T>
std::optional<T> checkRange(unsigned long long v, std::ostream& message);

/// Range check of a double against the integer element type T: accepted when
/// min - 1 < v < max + 1, truncated toward zero; NaN is refused.
template<class T>
std::optional<T> checkRange(double v, std::ostream& message);

/// Converts `value` into an element of type T (the eleven real types and std::complex of the
/// ten numeric ones). `lenient` lets logical elements take floats and complex numbers by truth.
/// Never raises and never leaves a Python error pending.
template<class T>
ScalarConversionResult<T> convertScalar(PyObject* value, bool lenient);
