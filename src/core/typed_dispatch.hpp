// src/core/typed_dispatch.hpp: element-type helpers shared by the array core's per-type handlers
#pragma once

#include <complex>
#include <type_traits>

#include "dataarray/kalvo_data.hpp"
#include "base/element_kinds.hpp"

namespace kalvo::py {

/// Element type T of a TypedArray<T> (cv- and reference-qualifiers ignored).
template <class A>
struct TypedElement;
template <class T>
struct TypedElement<kalvo::data::TypedArray<T>> {
    using type = T;
};
/// Element type of the typed view a visitor receives.
template <class A>
using TypedElementT = typename TypedElement<std::remove_cv_t<std::remove_reference_t<A>>>::type;

/// Whether T is std::complex of something.
template <class T>
struct IsComplexElement : std::false_type {};
template <class U>
struct IsComplexElement<std::complex<U>> : std::true_type {};

/// Calls visitor(TypeTag<E>{}) with E the element type of `kind` (std::complex of it when
/// `isComplex`). Needs no runtime call, so element reads can use it.
template <class V>
decltype(auto) visitElementKind(SupportedArrayEnum kind, bool isComplex, V&& visitor)
{
    return dispatchOnKind(kind, [&](auto tag) -> decltype(auto) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, bool>) {
            return visitor(TypeTag<bool>{}); // logical arrays are never complex
        } else {
            if (isComplex)
                return visitor(TypeTag<std::complex<T>>{});
            return visitor(TypeTag<T>{});
        }
    });
}

} // namespace kalvo::py
