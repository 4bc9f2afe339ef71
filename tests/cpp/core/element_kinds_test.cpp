// tests/cpp/core/element_kinds_test.cpp: the kind lookups and dispatch where they leave the eleven kinds.
// The rows' consistency is checked where they are compiled; what Python shows (formats, names and
// sizes of the eleven types) is tested from Python, the format codes hosts see by the host suite.
#include <gtest/gtest.h>

#include <stdexcept>

#include "base/element_kinds.hpp"
#include "base/objects.hpp"
#include "core/array_object.hpp"
#include "core_test_support.hpp"

using kalvo::data::ArrayType;
using kalvo::data::testing::sampleArray;

namespace {

// An Array whose reported class is chosen by the test; only getType() is consulted before the
// dispatch refuses it.
struct ArrayOfClass : kalvo::data::Array {
    explicit ArrayOfClass(int t) : type(static_cast<ArrayType>(t)) {}
    ArrayType getType() const { return type; }
    ArrayType type;
};

size_t visitedElementSize(const kalvo::data::Array& array) {
    return apply_numeric_visitor(
        array, [](auto& typed) { return sizeof(kalvo::py::TypedElementT<decltype(typed)>); });
}

}  // namespace

// The runtime's text class 1, the unused class 2 and numbers outside the table have no kind and
// no format; the visitor hands the text class to a char16_t view and refuses the others.
TEST(ElementKinds, ClassesWithoutKind) {
    for (int t : {-1, 1, 2, 23, 99}) {
        SCOPED_TRACE(t);
        const TypeAndComplexity r = getTypeAndComplexityFromArrayType(static_cast<ArrayType>(t));
        EXPECT_TRUE(!r.supported && r.kind == KIND_LOGICAL && r.isComplex);
        EXPECT_EQ(classid2format(static_cast<ArrayType>(t)), nullptr);
        if (t == 1)
            continue;
        kalvo::data::testing::expectArrayException<kalvo::data::ExceptionType::ArrayTypeMismatch>(
            [t] { apply_numeric_visitor(ArrayOfClass(t), [](auto&) { return 0; }); },
            "Invalid type of array passed to apply_numeric_visitor.");
    }
    EXPECT_EQ(visitedElementSize(sampleArray<char16_t>({1, 2})), sizeof(char16_t));
    EXPECT_EQ(visitedElementSize(sampleArray<std::complex<int16_t>>({1, 2})), 4u);
    EXPECT_THROW(
        dispatchOnKind(static_cast<SupportedArrayEnum>(kNumberOfKinds), [](auto) { return 0; }),
        std::invalid_argument);
}
