// src/contract/element_kind_rows.hpp: one row per element kind, and the runtime's element classes derived from the rows.
//
// Every per-kind table of the project (format characters, names, sizes, runtime classes, type
// objects, dispatch) is computed from kTypedRows below. What must still name the kinds one by one
// (the enumerators below, the explicit-instantiation list, the client's ArrayType) is checked
// against the rows when it compiles. The header needs only the standard library, so the runtime
// reads its element sizes from the same rows as the extension.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kalvo::kinds {

/// The complex class of a kind that is never complex.
inline constexpr int32_t kNoClass = -1;

/// The runtime's text class: the runtime and the client's typed views hold it, no kind uses it.
inline constexpr int32_t kCharClass = 1;
using CharElement = char16_t;

/// Array type names start with the package: "kalvo.double".
inline constexpr char kTypePrefix[] = "kalvo.";

/// What one element kind ties together.
struct Row {
    const char* typeName;  ///< qualified name of the array type, "kalvo.double"
    char format;           ///< buffer-protocol format character of a real array
    uint8_t size;          ///< bytes of one real element
    int32_t realClass;     ///< the runtime's element class (ArrayType) of a real array
    int32_t complexClass;  ///< the class of a complex array, kNoClass when never complex

    /// "double": the array type's module attribute and doc string.
    constexpr const char* name() const { return typeName + sizeof(kTypePrefix) - 1; }
    constexpr bool mayBeComplex() const { return complexClass != kNoClass; }
};

/// A row together with its element type.
template<class T>
struct TypedRow : Row {
    using type = T;
};

template<class T>
constexpr TypedRow<T> row(const char* typeName, char format, int32_t realClass,
                          int32_t complexClass = kNoClass) {
    return {{typeName, format, static_cast<uint8_t>(sizeof(T)), realClass, complexClass}};
}

/// The element kinds in kind order, the order of SupportedArrayEnum and of every per-kind table.
inline constexpr std::tuple kTypedRows{
    //            array type        format  real class  complex class
    row<double>("kalvo.double", 'd', 3, 13),  row<float>("kalvo.single", 'f', 4, 14),
    row<int8_t>("kalvo.int8", 'b', 5, 15),    row<uint8_t>("kalvo.uint8", 'B', 6, 16),
    row<int16_t>("kalvo.int16", 'h', 7, 17),  row<uint16_t>("kalvo.uint16", 'H', 8, 18),
    row<int32_t>("kalvo.int32", 'i', 9, 19),  row<uint32_t>("kalvo.uint32", 'I', 10, 20),
    row<int64_t>("kalvo.int64", 'q', 11, 21), row<uint64_t>("kalvo.uint64", 'Q', 12, 22),
    row<bool>("kalvo.logical", '?', 0),
};

/// Number of element kinds.
inline constexpr int kCount =
    static_cast<int>(std::tuple_size_v<std::remove_const_t<decltype(kTypedRows)>>);

/// Element type of kind K.
template<int K>
using Type = typename std::tuple_element_t<K, std::remove_const_t<decltype(kTypedRows)>>::type;

/// The rows without their element types, for lookups at run time.
inline constexpr std::array<Row, kCount> kRows =
    std::apply([](const auto&... r) { return std::array<Row, kCount>{r...}; }, kTypedRows);

namespace detail {
template<class T, int... K>
constexpr int indexIn(std::integer_sequence<int, K...>) {
    int found = -1;
    ((std::is_same_v<T, Type<K>> ? (found = K) : 0), ...);
    return found;
}
}  // namespace detail

/// Kind of element type T; any other type does not compile.
template<class T>
constexpr int indexOf() {
    constexpr int k = detail::indexIn<T>(std::make_integer_sequence<int, kCount>{});
    static_assert(k >= 0, "T is not the element type of a kind");
    return k;
}

/// What the runtime stores under one element class.
struct ClassRow {
    uint8_t size = 0;        ///< bytes of one element; 0 for a class the runtime does not hold
    int8_t kind = -1;        ///< the kind whose arrays use the class, -1 for none
    bool isComplex = false;  ///< whether the class holds complex elements

    constexpr bool isKind() const { return kind >= 0; }
};

/// Classes run from 0 to the largest one a row names.
inline constexpr int kClassCount = [] {
    int32_t n = kCharClass + 1;
    for (const Row& r : kRows)
        n = std::max({n, r.realClass + 1, r.complexClass + 1});
    return static_cast<int>(n);
}();

/// The classes, indexed by class number. Two kinds naming one class, or one format character,
/// do not compile.
inline constexpr std::array<ClassRow, kClassCount> kClasses = [] {
    std::array<ClassRow, kClassCount> classes{};
    auto fill = [&classes](int32_t c, ClassRow row) {
        if (classes[c].size != 0)
            throw "two element kinds name one runtime class";
        classes[c] = row;
    };
    fill(kCharClass, {sizeof(CharElement), -1, false});
    for (int k = 0; k < kCount; ++k) {
        const Row& r = kRows[k];
        for (int j = 0; j < k; ++j)
            if (kRows[j].format == r.format)
                throw "two element kinds share a format character";
        fill(r.realClass, {r.size, static_cast<int8_t>(k), false});
        if (r.mayBeComplex())
            fill(r.complexClass, {static_cast<uint8_t>(2 * r.size), static_cast<int8_t>(k), true});
    }
    return classes;
}();

/// The row of class `c`; an empty row (size 0, no kind) for any number outside the table.
constexpr ClassRow classRow(int32_t c) noexcept {
    return c >= 0 && c < kClassCount ? kClasses[c] : ClassRow{};
}

}  // namespace kalvo::kinds

/// Element kind of an array: the index of its row, and of TypeObjectPointers. The complex flag
/// is always kept beside the kind, never folded into it.
enum SupportedArrayEnum : int8_t {
    KIND_DOUBLE = kalvo::kinds::indexOf<double>(),
    KIND_SINGLE = kalvo::kinds::indexOf<float>(),
    KIND_INT8 = kalvo::kinds::indexOf<int8_t>(),
    KIND_UINT8 = kalvo::kinds::indexOf<uint8_t>(),
    KIND_INT16 = kalvo::kinds::indexOf<int16_t>(),
    KIND_UINT16 = kalvo::kinds::indexOf<uint16_t>(),
    KIND_INT32 = kalvo::kinds::indexOf<int32_t>(),
    KIND_UINT32 = kalvo::kinds::indexOf<uint32_t>(),
    KIND_INT64 = kalvo::kinds::indexOf<int64_t>(),
    KIND_UINT64 = kalvo::kinds::indexOf<uint64_t>(),
    KIND_LOGICAL = kalvo::kinds::indexOf<bool>(),
};

/// Number of element kinds.
inline constexpr int kNumberOfKinds = kalvo::kinds::kCount;
