// src/core/typed_dispatch.hpp: element-type helpers shared by the array core's per-type handlers
#pragma once

#include <complex>
#include <stdexcept>
#include <type_traits>

#include "dataarray/kalvo_data.hpp"
#include "module/element_kinds.hpp"

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

/// Names a type without making a value of it.
template <class T>
struct TypeTag {
    using type = T;
};

/// Calls visitor(TypeTag<E>{}) with E the element type of `kind` (std::complex of it when
/// `isComplex`). Needs no runtime call, so element reads can use it; a kind outside 0..10
/// throws std::runtime_error.
template <class V>
decltype(auto) visitElementKind(SupportedArrayEnum kind, bool isComplex, V&& visitor)
{
    auto pick = [&](auto tag) -> decltype(auto) {
        using T = typename decltype(tag)::type;
        if constexpr (std::is_same_v<T, bool>) {
            return visitor(TypeTag<bool>{}); // logical arrays are never complex
        } else {
            if (isComplex)
                return visitor(TypeTag<std::complex<T>>{});
            return visitor(TypeTag<T>{});
        }
    };
    switch (static_cast<int>(kind)) {
    case 0: return pick(TypeTag<double>{});
    case 1: return pick(TypeTag<float>{});
    case 2: return pick(TypeTag<int8_t>{});
    case 3: return pick(TypeTag<uint8_t>{});
    case 4: return pick(TypeTag<int16_t>{});
    case 5: return pick(TypeTag<uint16_t>{});
    case 6: return pick(TypeTag<int32_t>{});
    case 7: return pick(TypeTag<uint32_t>{});
    case 8: return pick(TypeTag<int64_t>{});
    case 9: return pick(TypeTag<uint64_t>{});
    case 10: return pick(TypeTag<bool>{});
    default: throw std::runtime_error("unsupported element kind.");
    }
}

} // namespace kalvo::py
