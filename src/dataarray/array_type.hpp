// dataarray/array_type.hpp: element classes and memory layouts of data arrays (the enumerations
// themselves are part of contract/data_contract.hpp) and the element types they store.
#pragma once

#include <complex>
#include <cstdint>
#include <type_traits>

#include "contract/data_contract.hpp"

namespace kalvo::data {

namespace detail {

/// True for std::complex<U>.
template<class T>
struct IsComplex : std::false_type {};
template<class U>
struct IsComplex<std::complex<U>> : std::true_type {};
template<class T>
inline constexpr bool isComplex = IsComplex<std::remove_cv_t<T>>::value;

/// The real type of the ten numeric element types, in ArrayType order from DOUBLE.
template<class T>
constexpr int32_t realTypeCode() {
    if constexpr (std::is_same_v<T, double>)
        return 3;
    else if constexpr (std::is_same_v<T, float>)
        return 4;
    else if constexpr (std::is_same_v<T, int8_t>)
        return 5;
    else if constexpr (std::is_same_v<T, uint8_t>)
        return 6;
    else if constexpr (std::is_same_v<T, int16_t>)
        return 7;
    else if constexpr (std::is_same_v<T, uint16_t>)
        return 8;
    else if constexpr (std::is_same_v<T, int32_t>)
        return 9;
    else if constexpr (std::is_same_v<T, uint32_t>)
        return 10;
    else if constexpr (std::is_same_v<T, int64_t>)
        return 11;
    else if constexpr (std::is_same_v<T, uint64_t>)
        return 12;
    else
        return -1;
}

}  // namespace detail

/// The ArrayType that stores elements of type T (cv-qualifiers ignored).
template<class T>
constexpr ArrayType arrayTypeOf() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        return ArrayType::LOGICAL;
    } else if constexpr (std::is_same_v<U, char16_t>) {
        return ArrayType::CHAR;
    } else if constexpr (detail::isComplex<U>) {
        constexpr int32_t code = detail::realTypeCode<typename U::value_type>();
        static_assert(code > 0, "no complex ArrayType for this element type");
        return static_cast<ArrayType>(code + 10);
    } else {
        constexpr int32_t code = detail::realTypeCode<U>();
        static_assert(code > 0, "no ArrayType for this element type");
        return static_cast<ArrayType>(code);
    }
}

}  // namespace kalvo::data
