// src/construct/scalar_conversion.cpp: conversion of one Python value into one array element
//
// Every routine here returns its outcome instead of raising: the callers (constructor keywords,
// initializer walks, element assignment) each decide which Python exception to raise. Errors
// raised by the interpreter's own conversion calls are cleared before returning, so no Python
// error is ever left pending. Only int, float and complex instances (and their subclasses) are
// converted; nothing here calls back into Python code (__index__, __float__ ...).

#include "construct/scalar_conversion.hpp"

#include <boost/numeric/conversion/cast.hpp>

#include <cfloat>
#include <cmath>
#include <limits>
#include <sstream>
#include <type_traits>

#include "base/element_kinds.hpp"
#include "construct/scalar_fast.hpp"

using kalvo::py::construct::castQuietly;
using kalvo::py::construct::componentFromDouble;
using kalvo::py::construct::toSingle;

namespace {

constexpr const char* kIntTooLarge = "Python int too large to convert to C long long";

/// Display name of the element type ("double", "single", "int8" ... "logical"); complex
/// elements use the name of their component type.
template<class T>
const char* displayName() {
    return ElementKind<RealOfT<T>>::name();
}

std::string kalvoTypeName(const char* name) { return std::string("kalvo.") + name; }

template<class T>
std::string floatRefusal() {
    return kalvoTypeName(displayName<T>()) + " does not accept floating-point values.";
}

template<class T>
std::string complexRefusal() {
    return kalvoTypeName(displayName<T>()) +
           " does not accept complex values if 'is_complex' is not set to 'True'.";
}

/// The infinity stored in a single element for an int outside the signed 64-bit range.
float singleInfinityForInt(PyObject* value) {
    return _PyLong_Sign(value) < 0 ? -std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::infinity();
}

template<class T>
ScalarConversionResult<T> commonTail(PyObject* value) {
    if (PyUnicode_Check(value)) {
        return ScalarConversionResult<T>::failure(PyExc_TypeError, "value is not numeric.");
    }
    if (PySequence_Check(value)) {
        return ScalarConversionResult<T>::failure(PyExc_TypeError,
                                                  "sequence passed when scalar was expected.");
    }
    if (value == Py_None) {
        return ScalarConversionResult<T>::failure(PyExc_TypeError, "value must not be 'None'.");
    }
    return ScalarConversionResult<T>::failure(PyExc_TypeError, "type does not match.");
}

template<class T, class S>
ScalarConversionResult<T> forwardFailure(const ScalarConversionResult<S>& from) {
    return ScalarConversionResult<T>::failure(from.exceptionType, from.message);
}

/// The OverflowError text for a value outside T's range, written by checkRange.
template<class T, class S>
std::string rangeMessage(S v) {
    std::ostringstream message;
    checkRange<T>(v, message);
    return message.str();
}

/// An integer element T from a Python int, through the signed or unsigned helper.
template<class T>
ScalarConversionResult<T> integerFromPyLong(PyObject* value) {
    if constexpr (std::is_signed_v<T>) {
        auto ll = getLongLongFromPyObject(value);
        if (ll.failed) {
            return forwardFailure<T>(ll);
        }
        if (auto v = castQuietly<T>(*ll.value)) {
            return ScalarConversionResult<T>::success(*v);
        }
        return ScalarConversionResult<T>::failure(PyExc_OverflowError, rangeMessage<T>(*ll.value));
    } else {
        auto ull = getUnsignedLongLongFromPyObject(value, displayName<T>());
        if (ull.failed) {
            return forwardFailure<T>(ull);
        }
        if (auto v = castQuietly<T>(*ull.value)) {
            return ScalarConversionResult<T>::success(*v);
        }
        return ScalarConversionResult<T>::failure(PyExc_OverflowError, rangeMessage<T>(*ull.value));
    }
}

// ---- real element types ------------------------------------------------------------------

ScalarConversionResult<double> convertDouble(PyObject* value) {
    using R = ScalarConversionResult<double>;
    if (PyFloat_Check(value)) {
        return R::success(PyFloat_AS_DOUBLE(value));
    }
    if (PyLong_Check(value)) {
        auto ll = getLongLongFromPyObject(value);
        if (ll.failed) {
            return forwardFailure<double>(ll);
        }
        return R::success(static_cast<double>(*ll.value));
    }
    if (PyComplex_Check(value)) {
        return R::failure(PyExc_TypeError, complexRefusal<double>());
    }
    return commonTail<double>(value);
}

ScalarConversionResult<float> convertSingle(PyObject* value) {
    using R = ScalarConversionResult<float>;
    if (PyFloat_Check(value)) {
        return R::success(toSingle(PyFloat_AS_DOUBLE(value)));
    }
    if (PyLong_Check(value)) {
        auto ll = getLongLongFromPyObject(value);
        if (ll.failed) {
            return R::success(singleInfinityForInt(value));
        }
        return R::success(static_cast<float>(*ll.value));
    }
    if (PyComplex_Check(value)) {
        return R::failure(PyExc_TypeError, complexRefusal<float>());
    }
    return commonTail<float>(value);
}

template<class T>
ScalarConversionResult<T> convertInteger(PyObject* value) {
    if (PyLong_Check(value)) {
        return integerFromPyLong<T>(value);
    }
    if (PyFloat_Check(value)) {
        return ScalarConversionResult<T>::failure(PyExc_TypeError, floatRefusal<T>());
    }
    if (PyComplex_Check(value)) {
        return ScalarConversionResult<T>::failure(PyExc_TypeError, complexRefusal<T>());
    }
    return commonTail<T>(value);
}

ScalarConversionResult<bool> convertLogical(PyObject* value, bool lenient) {
    using R = ScalarConversionResult<bool>;
    if (PyLong_Check(value)) {
        auto ll = getLongLongFromPyObject(value);
        if (ll.failed) {
            return forwardFailure<bool>(ll);
        }
        return R::success(*ll.value != 0);
    }
    if (PyFloat_Check(value)) {
        if (lenient) {
            // NaN compares unequal to zero, so it is true.
            return R::success(PyFloat_AS_DOUBLE(value) != 0.0);
        }
        return R::failure(PyExc_TypeError, floatRefusal<bool>());
    }
    if (PyComplex_Check(value)) {
        if (lenient) {
            const Py_complex c = PyComplex_AsCComplex(value);
            return R::success(c.real != 0.0 || c.imag != 0.0);
        }
        return R::failure(PyExc_TypeError, complexRefusal<bool>());
    }
    return commonTail<bool>(value);
}

// ---- complex element types ---------------------------------------------------------------

/// The real part U of a complex element from a Python int.
template<class U>
ScalarConversionResult<U> componentFromPyLong(PyObject* value) {
    if constexpr (std::is_same_v<U, double>) {
        return convertDouble(value);
    } else if constexpr (std::is_same_v<U, float>) {
        return convertSingle(value);
    } else {
        return integerFromPyLong<U>(value);
    }
}

template<class U>
ScalarConversionResult<std::complex<U>> convertComplex(PyObject* value) {
    using C = std::complex<U>;
    using R = ScalarConversionResult<C>;
    if (PyComplex_Check(value)) {
        const Py_complex c = PyComplex_AsCComplex(value);
        const auto re = componentFromDouble<U>(c.real);
        if (!re) {
            return R::failure(PyExc_OverflowError, rangeMessage<U>(c.real));
        }
        const auto im = componentFromDouble<U>(c.imag);
        if (!im) {
            return R::failure(PyExc_OverflowError, rangeMessage<U>(c.imag));
        }
        return R::success(C(*re, *im));
    }
    if (PyFloat_Check(value)) {
        const double v = PyFloat_AS_DOUBLE(value);
        const auto re = componentFromDouble<U>(v);
        if (!re) {
            return R::failure(PyExc_OverflowError, rangeMessage<U>(v));
        }
        return R::success(C(*re, U(0)));
    }
    if (PyLong_Check(value)) {
        auto re = componentFromPyLong<U>(value);
        if (re.failed) {
            return forwardFailure<C>(re);
        }
        return R::success(C(*re.value, U(0)));
    }
    // Anything else gets the same answers as a real element would.
    return commonTail<C>(value);
}

template<class T>
void writeRangeMessage(std::ostream& message, const T& number, const char* name) {
    message << "value (" << number << ") cannot be stored in a variable of type " << name << ".";
}

/// numeric_cast with its overflow exceptions turned into an empty result and a message.
template<class T, class S>
std::optional<T> castInRange(S v, std::ostream& message) {
    try {
        return boost::numeric_cast<T>(v);
    } catch (const boost::numeric::negative_overflow&) {
    } catch (const boost::numeric::positive_overflow&) {
    } catch (const boost::numeric::bad_numeric_cast&) {
    }
    writeRangeMessage(message, v, displayName<T>());
    return std::nullopt;
}

}  // namespace

ScalarConversionResult<long long> getLongLongFromPyObject(PyObject* value) {
    using R = ScalarConversionResult<long long>;
    if (!PyLong_Check(value)) {
        return R{};
    }
    const long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return R::failure(PyExc_OverflowError, kIntTooLarge);
    }
    return R::success(v);
}

ScalarConversionResult<unsigned long long> getUnsignedLongLongFromPyObject(PyObject* value,
                                                                           const char* typeName) {
    using R = ScalarConversionResult<unsigned long long>;
    if (!PyLong_Check(value)) {
        return R{};
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        const long long negative = PyLong_AsLongLong(value);
        if (negative == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return R::failure(PyExc_OverflowError, kIntTooLarge);
        }
        std::ostringstream message;
        writeRangeMessage(message, negative, typeName);
        return R::failure(PyExc_OverflowError, message.str());
    }
    return R::success(v);
}

template<class T>
std::optional<T> checkRange(long long v, std::ostream& message) {
    return castInRange<T>(v, message);
}

template<class T>
std::optional<T> checkRange(unsigned long long v, std::ostream& message) {
    return castInRange<T>(v, message);
}

template<class T>
std::optional<T> checkRange(double v, std::ostream& message) {
    // numeric_cast accepts exactly min - 1 < v < max + 1 (bounds in double precision) and
    // truncates toward zero; NaN passes its comparisons, so it is refused here first.
    if (std::isnan(v)) {
        writeRangeMessage(message, v, displayName<T>());
        return std::nullopt;
    }
    return castInRange<T>(v, message);
}

template<class T>
ScalarConversionResult<T> convertScalar(PyObject* value, bool lenient) {
    if (value == nullptr) {
        return ScalarConversionResult<T>::failure(PyExc_RuntimeError, "null data pointer.");
    }
    if constexpr (ElementKind<T>::isComplex) {
        return convertComplex<typename T::value_type>(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return convertLogical(value, lenient);
    } else if constexpr (std::is_same_v<T, double>) {
        return convertDouble(value);
    } else if constexpr (std::is_same_v<T, float>) {
        return convertSingle(value);
    } else {
        return convertInteger<T>(value);
    }
}

#define KALVO_INSTANTIATE_CONVERT(T) \
    template ScalarConversionResult<T> convertScalar<T>(PyObject*, bool);
KALVO_FOR_EACH_REPRESENTATION(KALVO_INSTANTIATE_CONVERT)
#undef KALVO_INSTANTIATE_CONVERT
