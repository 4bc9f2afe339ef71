// src/construct/scalar_fast.hpp: element conversion of exact int, bool, float and complex objects for bulk fills
//
// The bulk paths (nested lists, 'vector' lists) convert millions of values; they call
// convertExactScalar, which reads exact built-in numbers with their macros and never runs
// Python code, builds a message or sets a Python error. It answers false for every value it
// does not take exactly as convertScalar would (another type, a subclass, a value out of
// range, a refusal): the caller then leaves the value to convertScalar, which stays the one
// source of messages and exception types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <boost/numeric/conversion/cast.hpp>

#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <optional>
#include <type_traits>

#include "base/element_kinds.hpp"

namespace kalvo::py::construct {

/// Single-precision rule: values inside the single range are rounded, values beyond it become
/// an infinity of the same sign (the sign is kept so that -1e39 stays negative); NaN stays NaN.
inline float toSingle(double v) noexcept {
    constexpr double kMax = static_cast<double>(FLT_MAX);  // 3.4028234663852886e38
    if (std::isnan(v)) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    if (v >= -kMax && v <= kMax) {
        return static_cast<float>(v);
    }
    return v < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
}

/// numeric_cast without a message: the common, in-range case must not pay for building a
/// message stream, which would dominate the cost of converting large initializers.
template<class T, class S>
std::optional<T> castQuietly(S v) noexcept {
    try {
        return boost::numeric_cast<T>(v);
    } catch (const boost::numeric::bad_numeric_cast&) {
        return std::nullopt;
    }
}

/// One component U of a complex element from a double: as is, by the single rule, or range
/// checked and truncated for integer components (NaN is out of every integer range).
template<class U>
std::optional<U> componentFromDouble(double v) noexcept {
    if constexpr (std::is_same_v<U, double>) {
        return v;
    } else if constexpr (std::is_same_v<U, float>) {
        return toSingle(v);
    } else {
        return std::isnan(v) ? std::nullopt : castQuietly<U>(v);
    }
}

namespace fast {

inline bool isExactFloat(PyObject* o) noexcept { return Py_TYPE(o) == &PyFloat_Type; }
inline bool isExactComplex(PyObject* o) noexcept { return Py_TYPE(o) == &PyComplex_Type; }

/// The value of an exact int or bool that fits a long long; false for anything else.
inline bool exactIntValue(PyObject* o, long long& v) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyBool_Type) {
        v = o == Py_True ? 1 : 0;
        return true;
    }
    if (type != &PyLong_Type) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    // One digit or none covers every value below 2**30: no call for the common case.
    const Py_ssize_t size = Py_SIZE(o);
    if (size >= -1 && size <= 1) {
        const long long digit =
            size == 0 ? 0 : static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
        v = size < 0 ? -digit : digit;
        return true;
    }
#endif
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);  // an exact int runs no Python code
    return overflow == 0;
}

/// The value of an exact int beyond long long that fits an unsigned long long.
inline bool exactIntAsUnsigned(PyObject* o, unsigned long long& v) noexcept {
    if (Py_TYPE(o) != &PyLong_Type || _PyLong_Sign(o) < 0) {
        return false;
    }
    v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

/// Integer element type U from an exact int or bool, range checked as convertScalar does.
template<class U>
bool integerFromExactInt(PyObject* o, U& out) noexcept {
    long long v = 0;
    if (exactIntValue(o, v)) {
        if constexpr (std::is_unsigned_v<U>) {
            if (v < 0) {
                return false;
            }
            const auto r = castQuietly<U>(static_cast<unsigned long long>(v));
            return r ? (out = *r, true) : false;
        } else {
            const auto r = castQuietly<U>(v);
            return r ? (out = *r, true) : false;
        }
    }
    if constexpr (std::is_same_v<U, uint64_t>) {
        unsigned long long u = 0;
        if (exactIntAsUnsigned(o, u)) {
            out = u;
            return true;
        }
    }
    return false;
}

/// Real element type U (not bool) from an exact float or int; complex values are refused.
template<class U>
bool realFromExactNumber(PyObject* o, U& out) noexcept {
    if constexpr (std::is_floating_point_v<U>) {
        if (isExactFloat(o)) {
            const double d = PyFloat_AS_DOUBLE(o);
            if constexpr (std::is_same_v<U, float>) {
                out = toSingle(d);
            } else {
                out = d;
            }
            return true;
        }
        long long v = 0;
        if (exactIntValue(o, v)) {
            out = static_cast<U>(v);
            return true;
        }
        return false;
    } else {
        return integerFromExactInt<U>(o, out);
    }
}

}  // namespace fast

/// Converts an exact built-in number into element type T as convertScalar(o, true) does, the
/// lenient rule of construction included. False, with nothing written and no Python error, for
/// any value convertScalar would refuse or that is not an exact int, bool, float or complex.
template<class T>
inline bool convertExactScalar(PyObject* o, T& out) noexcept {
    if constexpr (ElementKind<T>::isComplex) {
        using U = typename T::value_type;
        if (fast::isExactComplex(o)) {
            const Py_complex c = reinterpret_cast<PyComplexObject*>(o)->cval;
            const auto re = componentFromDouble<U>(c.real);
            const auto im = re ? componentFromDouble<U>(c.imag) : std::nullopt;
            if (!im) {
                return false;
            }
            out = T(*re, *im);
            return true;
        }
        if (fast::isExactFloat(o)) {
            const auto re = componentFromDouble<U>(PyFloat_AS_DOUBLE(o));
            if (!re) {
                return false;
            }
            out = T(*re, U(0));
            return true;
        }
        U re{};
        if constexpr (std::is_floating_point_v<U>) {
            long long v = 0;
            if (!fast::exactIntValue(o, v)) {
                return false;
            }
            re = static_cast<U>(v);
        } else if (!fast::integerFromExactInt<U>(o, re)) {
            return false;
        }
        out = T(re, U(0));
        return true;
    } else if constexpr (std::is_same_v<T, bool>) {
        long long v = 0;
        if (fast::exactIntValue(o, v)) {
            out = v != 0;
            return true;
        }
        if (fast::isExactFloat(o)) {
            out = PyFloat_AS_DOUBLE(o) != 0.0;  // NaN is true
            return true;
        }
        if (fast::isExactComplex(o)) {
            const Py_complex c = reinterpret_cast<PyComplexObject*>(o)->cval;
            out = c.real != 0.0 || c.imag != 0.0;
            return true;
        }
        return false;
    } else {
        return fast::realFromExactNumber<T>(o, out);
    }
}

}  // namespace kalvo::py::construct
