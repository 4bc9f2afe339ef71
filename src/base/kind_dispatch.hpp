// src/base/kind_dispatch.hpp: element kind or runtime class -> C++ element type, the one dispatch every per-type switch uses.
//
// A dispatch picks the element type once per call: an index selects one entry of a table of
// thunks, each an instantiation of the caller's generic visitor, and the visitor's loops then run
// with the type fixed. Nothing is dispatched per element.
#pragma once

#include <array>
#include <complex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "contract/element_kind_rows.hpp"
#include "dataarray/kalvo_data.hpp"

/// Carries an element type through a generic lambda: `[](auto tag) { using T = typename decltype(tag)::type; }`.
template<class T>
struct TypeTag {
    using type = T;
};

/// Real element type of T: std::complex<U> -> U, any other U -> U.
template<class T>
struct RealOf {
    using type = T;
};
template<class U>
struct RealOf<std::complex<U>> {
    using type = U;
};
/// Shorthand for RealOf<T>::type.
template<class T>
using RealOfT = typename RealOf<T>::type;

/// Per-type facts of an element type, read from its kind's row. Defined for the eleven real
/// element types and for std::complex of the ten numeric ones.
template<class T>
struct ElementKind {
    static constexpr SupportedArrayEnum kind =
        static_cast<SupportedArrayEnum>(kalvo::kinds::indexOf<RealOfT<T>>());
    static constexpr bool isComplex = !std::is_same_v<T, RealOfT<T>>;
    static_assert(!isComplex || kalvo::kinds::kRows[kind].mayBeComplex(),
                  "this kind is never complex");
    static constexpr const char* name() noexcept { return kalvo::kinds::kRows[kind].name(); }
    static constexpr const char* typeName() noexcept { return kalvo::kinds::kRows[kind].typeName; }
    static constexpr char formatChar() noexcept { return kalvo::kinds::kRows[kind].format; }
};

namespace kalvo::kinds {

namespace detail {

template<class R, class F, int I>
R callWithIndex(F& f) {
    return f(std::integral_constant<int, I>{});
}

/// f(std::integral_constant<int, index>{}) for an index in [0, sizeof...(I)), which the caller
/// has checked; every entry returns what entry 0 returns.
template<class F, int... I>
decltype(auto) withIndex(int index, F& f, std::integer_sequence<int, I...>) {
    using R = decltype(f(std::integral_constant<int, 0>{}));
    static constexpr R (*const thunks[])(F&) = {&callWithIndex<R, F, I>...};
    return thunks[index](f);
}

/// Element type the runtime stores under class C; void for a class it does not hold.
template<int C>
constexpr auto classElement() {
    constexpr ClassRow c = kClasses[C];
    if constexpr (C == kCharClass) {
        return TypeTag<CharElement>{};
    } else if constexpr (!c.isKind()) {
        return TypeTag<void>{};
    } else if constexpr (c.isComplex) {
        return TypeTag<std::complex<Type<c.kind>>>{};
    } else {
        return TypeTag<Type<c.kind>>{};
    }
}

template<class F, int... K>
constexpr auto perKind(F& f, std::integer_sequence<int, K...>) {
    return std::array<decltype(f(TypeTag<Type<0>>{})), kCount>{f(TypeTag<Type<K>>{})...};
}

}  // namespace detail

/// A table with one entry per kind, in kind order: {f(TypeTag<T>{})...} over the element types.
template<class F>
constexpr auto perKind(F f) {
    return detail::perKind(f, std::make_integer_sequence<int, kCount>{});
}

// The rows' classes are the client's ArrayType values.
static_assert([] {
    using kalvo::data::arrayTypeOf;
    auto matches = [](auto tag) {
        using T = typename decltype(tag)::type;
        constexpr Row r = kRows[indexOf<T>()];
        if constexpr (r.mayBeComplex()) {
            if (static_cast<int32_t>(arrayTypeOf<std::complex<T>>()) != r.complexClass)
                return false;
        }
        return static_cast<int32_t>(arrayTypeOf<T>()) == r.realClass;
    };
    for (bool match : perKind(matches))
        if (!match)
            return false;
    return static_cast<int32_t>(arrayTypeOf<CharElement>()) == kCharClass;
}());

}  // namespace kalvo::kinds

/// Calls `f(TypeTag<T>{})` for the real element type T of `kind`; throws std::invalid_argument
/// for a value outside the kinds.
template<class F>
decltype(auto) dispatchOnKind(SupportedArrayEnum kind, F&& f) {
    if (kind < 0 || kind >= kNumberOfKinds)
        throw std::invalid_argument("invalid element kind.");
    auto byIndex = [&f](auto k) -> decltype(auto) {
        return f(TypeTag<kalvo::kinds::Type<decltype(k)::value>>{});
    };
    return kalvo::kinds::detail::withIndex(kind, byIndex,
                                           std::make_integer_sequence<int, kNumberOfKinds>{});
}

namespace kalvo::py {

/// Element type T of a TypedArray<T> (cv- and reference-qualifiers ignored).
template<class A>
struct TypedElement;
template<class T>
struct TypedElement<kalvo::data::TypedArray<T>> {
    using type = T;
};
/// Element type of the typed view a visitor receives.
template<class A>
using TypedElementT = typename TypedElement<std::remove_cv_t<std::remove_reference_t<A>>>::type;

/// Whether T is std::complex of something.
template<class T>
struct IsComplexElement : std::bool_constant<!std::is_same_v<T, RealOfT<T>>> {};

/// Calls visitor(TypeTag<E>{}) with E = T, or std::complex<T> when `isComplex` and T's kind may
/// be complex (a logical array is never complex). For readers that know the kind already.
template<class T, class V>
decltype(auto) visitRepresentation(bool isComplex, V&& visitor) {
    if constexpr (kalvo::kinds::kRows[ElementKind<T>::kind].mayBeComplex()) {
        if (isComplex)
            return visitor(TypeTag<std::complex<T>>{});
    }
    return visitor(TypeTag<T>{});
}

/// Calls visitor(TypeTag<E>{}) with E the element type of `kind` (std::complex of it when
/// `isComplex`). Needs no runtime call, so element reads can use it.
template<class V>
decltype(auto) visitElementKind(SupportedArrayEnum kind, bool isComplex, V&& visitor) {
    return dispatchOnKind(kind, [&](auto tag) -> decltype(auto) {
        return visitRepresentation<typename decltype(tag)::type>(isComplex, visitor);
    });
}

namespace detail {
/// Throws the array exception of kind 9 "Invalid type of array passed to apply_numeric_visitor.".
[[noreturn]] void throwInvalidVisitorType();
}  // namespace detail

}  // namespace kalvo::py

/// Calls `visitor` with a `kalvo::data::TypedArray<E>&` of `array` for the element type E of its
/// runtime class (the kinds' real and complex types, and the text class); returns what the
/// visitor returns. A class the runtime does not hold throws the array exception of kind 9.
/// Passing an rvalue Array moves it into the typed handle (no extra owner, so writes copy nothing);
/// an lvalue is shared. The visitor must accept every typed handle.
template<class A, class Visitor>
std::invoke_result_t<Visitor&, kalvo::data::TypedArray<double>&> apply_numeric_visitor(
    A&& array, Visitor&& visitor) {
    using R = std::invoke_result_t<Visitor&, kalvo::data::TypedArray<double>&>;
    const int c = static_cast<int>(array.getType());
    if (kalvo::kinds::classRow(c).size == 0)
        kalvo::py::detail::throwInvalidVisitorType();
    auto byClass = [&](auto k) -> R {
        using E = typename decltype(kalvo::kinds::detail::classElement<decltype(k)::value>())::type;
        if constexpr (std::is_void_v<E>) {
            kalvo::py::detail::throwInvalidVisitorType();
        } else {
            kalvo::data::TypedArray<E> typed(std::forward<A>(array));
            return visitor(typed);
        }
    };
    return kalvo::kinds::detail::withIndex(
        c, byClass, std::make_integer_sequence<int, kalvo::kinds::kClassCount>{});
}

/// Explicit instantiation has to name every specialisation, which only a macro can do from one
/// list: KALVO_FOR_EACH_ELEMENT_TYPE(X) calls X(T) for the eleven element types,
/// KALVO_FOR_EACH_REPRESENTATION(X) also for std::complex of the ten numeric ones. The list is
/// checked against the rows below.
// clang-format off
#define KALVO_NUMERIC_ELEMENT_TYPES(X, WRAP)                                              \
    X(WRAP(double)) X(WRAP(float)) X(WRAP(int8_t)) X(WRAP(uint8_t)) X(WRAP(int16_t))      \
    X(WRAP(uint16_t)) X(WRAP(int32_t)) X(WRAP(uint32_t)) X(WRAP(int64_t)) X(WRAP(uint64_t))
// clang-format on
#define KALVO_REAL_TYPE(T) T
#define KALVO_COMPLEX_TYPE(T) std::complex<T>
#define KALVO_FOR_EACH_ELEMENT_TYPE(X) KALVO_NUMERIC_ELEMENT_TYPES(X, KALVO_REAL_TYPE) X(bool)
#define KALVO_FOR_EACH_REPRESENTATION(X) \
    KALVO_FOR_EACH_ELEMENT_TYPE(X) KALVO_NUMERIC_ELEMENT_TYPES(X, KALVO_COMPLEX_TYPE)

#define KALVO_KIND_BIT(T) | 1 << kalvo::kinds::indexOf<T>()
static_assert((0 KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_KIND_BIT)) == (1 << kNumberOfKinds) - 1,
              "KALVO_FOR_EACH_ELEMENT_TYPE must list the element type of every kind");
#undef KALVO_KIND_BIT
