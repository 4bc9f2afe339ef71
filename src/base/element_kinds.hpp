// src/base/element_kinds.hpp: the eleven element kinds, their format codes and runtime classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "dataarray/kalvo_data.hpp"

/// Element kind of an array; indexes TypeObjectPointers, TypeAsChar and TypeNames.
/// The complex flag is always kept beside the kind, never folded into it.
enum SupportedArrayEnum : int8_t {
    KIND_DOUBLE = 0,
    KIND_SINGLE = 1,
    KIND_INT8 = 2,
    KIND_UINT8 = 3,
    KIND_INT16 = 4,
    KIND_UINT16 = 5,
    KIND_INT32 = 6,
    KIND_UINT32 = 7,
    KIND_INT64 = 8,
    KIND_UINT64 = 9,
    KIND_LOGICAL = 10,
};

/// Number of element kinds.
constexpr int kNumberOfKinds = 11;

/// X-macro over the eleven real element types in kind order; for explicit instantiations
/// and per-type entries, e.g. `#define INST(T) template PyObject* f<T>(PyObject*);`.
#define KALVO_FOR_EACH_ELEMENT_TYPE(X) \
    X(double) X(float) X(int8_t) X(uint8_t) X(int16_t) X(uint16_t) X(int32_t) X(uint32_t) \
    X(int64_t) X(uint64_t) X(bool)

/// X-macro over the ten numeric element types (the ones that may also be complex).
#define KALVO_FOR_EACH_NUMERIC_TYPE(X) \
    X(double) X(float) X(int8_t) X(uint8_t) X(int16_t) X(uint16_t) X(int32_t) X(uint32_t) \
    X(int64_t) X(uint64_t)

/// Format characters in kind order, "dfbBhHiIqQ?" plus the terminating zero (writable).
extern char TypeAsChar[kNumberOfKinds + 1];

/// Display names in kind order: "double", "single", ..., "logical".
extern const char* const TypeNames[kNumberOfKinds];

/// Code of format character `c` (its kind + 3: 'd' 3 ... 'Q' 12, '?' 13); empty with a
/// Python RuntimeError "format character not supported: <c>" when `c` is not a format character.
std::optional<int> getArrayTypeEnumFromChar(char c);

/// True when a buffer of format `input` (item size `itemsize`) may fill an array of format
/// `output` although the characters differ: native 'l'/'L' by size, and '?' with 'B'.
bool areDifferentButCompatible(char input, char output, long itemsize);

/// Kind and complexity of a runtime element class (three bytes: supported, kind, complex).
struct TypeAndComplexity {
    bool supported;
    SupportedArrayEnum kind;
    bool isComplex;
};
static_assert(sizeof(TypeAndComplexity) == 3, "the record is three bytes");

/// Looks up `t` in the runtime-class table; unsupported classes give {false, KIND_LOGICAL, true}.
TypeAndComplexity getTypeAndComplexityFromArrayType(kalvo::data::ArrayType t) noexcept;

/// Buffer format string of runtime class `t` ("d", "Zd", "?", ...), or null when it has none.
/// The string is static and writable, as the buffer protocol's format field expects.
char* classid2format(kalvo::data::ArrayType t) noexcept;

/// True when the type of `o` is int or a subclass (bool included); false for null.
bool pyObjectIsLong(PyObject* o) noexcept;

/// Per-type facts of an element type: kind, display name, format character, complexity.
/// Defined for the eleven real element types and for std::complex of the ten numeric ones.
template <class T>
struct ElementKind;

#define KALVO_DECLARE_ELEMENT_KIND(T, KIND)                                    \
    template <>                                                                \
    struct ElementKind<T> {                                                    \
        static constexpr SupportedArrayEnum kind = KIND;                       \
        static constexpr bool isComplex = false;                               \
        static const char* name() noexcept { return TypeNames[kind]; }         \
        static char formatChar() noexcept { return TypeAsChar[kind]; }         \
    };                                                                         \
    template <>                                                                \
    struct ElementKind<std::complex<T>> : ElementKind<T> {                     \
        static constexpr bool isComplex = true;                                \
    };
KALVO_DECLARE_ELEMENT_KIND(double, KIND_DOUBLE)
KALVO_DECLARE_ELEMENT_KIND(float, KIND_SINGLE)
KALVO_DECLARE_ELEMENT_KIND(int8_t, KIND_INT8)
KALVO_DECLARE_ELEMENT_KIND(uint8_t, KIND_UINT8)
KALVO_DECLARE_ELEMENT_KIND(int16_t, KIND_INT16)
KALVO_DECLARE_ELEMENT_KIND(uint16_t, KIND_UINT16)
KALVO_DECLARE_ELEMENT_KIND(int32_t, KIND_INT32)
KALVO_DECLARE_ELEMENT_KIND(uint32_t, KIND_UINT32)
KALVO_DECLARE_ELEMENT_KIND(int64_t, KIND_INT64)
KALVO_DECLARE_ELEMENT_KIND(uint64_t, KIND_UINT64)
#undef KALVO_DECLARE_ELEMENT_KIND

template <>
struct ElementKind<bool> {
    static constexpr SupportedArrayEnum kind = KIND_LOGICAL;
    static constexpr bool isComplex = false;
    static const char* name() noexcept { return TypeNames[kind]; }
    static char formatChar() noexcept { return TypeAsChar[kind]; }
};

/// Real element type of T: std::complex<U> -> U, any other U -> U.
template <class T>
struct RealOf {
    using type = T;
};
template <class U>
struct RealOf<std::complex<U>> {
    using type = U;
};
/// Shorthand for RealOf<T>::type.
template <class T>
using RealOfT = typename RealOf<T>::type;

/// Carries an element type through a generic lambda: `[](auto tag) { using T = typename decltype(tag)::type; }`.
template <class T>
struct TypeTag {
    using type = T;
};

/// Calls `f(TypeTag<T>{})` for the real element type T of `kind`; throws std::invalid_argument
/// for a value outside 0 to 10.
template <class F>
decltype(auto) dispatchOnKind(SupportedArrayEnum kind, F&& f) {
    switch (kind) {
    case KIND_DOUBLE: return std::forward<F>(f)(TypeTag<double>{});
    case KIND_SINGLE: return std::forward<F>(f)(TypeTag<float>{});
    case KIND_INT8: return std::forward<F>(f)(TypeTag<int8_t>{});
    case KIND_UINT8: return std::forward<F>(f)(TypeTag<uint8_t>{});
    case KIND_INT16: return std::forward<F>(f)(TypeTag<int16_t>{});
    case KIND_UINT16: return std::forward<F>(f)(TypeTag<uint16_t>{});
    case KIND_INT32: return std::forward<F>(f)(TypeTag<int32_t>{});
    case KIND_UINT32: return std::forward<F>(f)(TypeTag<uint32_t>{});
    case KIND_INT64: return std::forward<F>(f)(TypeTag<int64_t>{});
    case KIND_UINT64: return std::forward<F>(f)(TypeTag<uint64_t>{});
    case KIND_LOGICAL: return std::forward<F>(f)(TypeTag<bool>{});
    }
    throw std::invalid_argument("invalid element kind.");
}

namespace kalvo::py::detail {
/// Throws the array exception of kind 9 "Invalid type of array passed to apply_numeric_visitor.".
[[noreturn]] void throwInvalidVisitorType();

template <class T, class A, class V>
decltype(auto) visitTyped(A&& array, V& visitor) {
    kalvo::data::TypedArray<T> typed(std::forward<A>(array));
    return visitor(typed);
}
}  // namespace kalvo::py::detail

/// Calls `visitor` with a `kalvo::data::TypedArray<T>&` of `array` for its element class:
/// 0 bool, 1 char16_t, 3-12 the real numeric types, 13-22 their std::complex forms; returns
/// what the visitor returns. Other classes throw the array exception of kind 9.
/// Passing an rvalue Array moves it into the typed handle (no extra owner, so writes copy nothing);
/// an lvalue is shared. The visitor must accept every one of the 22 typed handles.
template <class A, class Visitor>
std::invoke_result_t<Visitor&, kalvo::data::TypedArray<double>&>
apply_numeric_visitor(A&& array, Visitor&& visitor) {
    using kalvo::data::ArrayType;
    using kalvo::py::detail::visitTyped;
    const ArrayType type = array.getType();
    switch (static_cast<int>(type)) {
    case 0: return visitTyped<bool>(std::forward<A>(array), visitor);
    case 1: return visitTyped<char16_t>(std::forward<A>(array), visitor);
    case 3: return visitTyped<double>(std::forward<A>(array), visitor);
    case 4: return visitTyped<float>(std::forward<A>(array), visitor);
    case 5: return visitTyped<int8_t>(std::forward<A>(array), visitor);
    case 6: return visitTyped<uint8_t>(std::forward<A>(array), visitor);
    case 7: return visitTyped<int16_t>(std::forward<A>(array), visitor);
    case 8: return visitTyped<uint16_t>(std::forward<A>(array), visitor);
    case 9: return visitTyped<int32_t>(std::forward<A>(array), visitor);
    case 10: return visitTyped<uint32_t>(std::forward<A>(array), visitor);
    case 11: return visitTyped<int64_t>(std::forward<A>(array), visitor);
    case 12: return visitTyped<uint64_t>(std::forward<A>(array), visitor);
    case 13: return visitTyped<std::complex<double>>(std::forward<A>(array), visitor);
    case 14: return visitTyped<std::complex<float>>(std::forward<A>(array), visitor);
    case 15: return visitTyped<std::complex<int8_t>>(std::forward<A>(array), visitor);
    case 16: return visitTyped<std::complex<uint8_t>>(std::forward<A>(array), visitor);
    case 17: return visitTyped<std::complex<int16_t>>(std::forward<A>(array), visitor);
    case 18: return visitTyped<std::complex<uint16_t>>(std::forward<A>(array), visitor);
    case 19: return visitTyped<std::complex<int32_t>>(std::forward<A>(array), visitor);
    case 20: return visitTyped<std::complex<uint32_t>>(std::forward<A>(array), visitor);
    case 21: return visitTyped<std::complex<int64_t>>(std::forward<A>(array), visitor);
    case 22: return visitTyped<std::complex<uint64_t>>(std::forward<A>(array), visitor);
    default: break;
    }
    kalvo::py::detail::throwInvalidVisitorType();
}
