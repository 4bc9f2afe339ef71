// tests/cpp/data_errors_test.cpp: the error mapper and the real runtime's entry table.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

const std::string objectArrayText =
    "ObjectArray not created. Elements must belong to the same class, or to classes that are "
    "part of a heterogeneous hierarchy.";

struct MapperRow {
    int status;
    int kind;
    std::string message;
};

// Written out from the table of failure kinds, not generated from the code's own list.
const std::vector<MapperRow> mapperTable = {
    {1, 1, "Array index is invalid."},
    {2, 2, "String index must be last."},
    {3, 3, "String index not valid for this array."},
    {5, 5, "Not enough indices provided."},
    {6, 6, "Too many indices provided."},
    {7, 7, "Can only provide one string index."},
    {8, 8, "Data type mismatch."},
    {9, 9, "Array type mismatch."},
    {10, 10, "Field does not exist in this struct."},
    {11, 11, "Failed to load data."},
    {12, 12, "Failed to resolve symbol."},
    {13, 13, "Must specify a class name."},
    {14, 14, "Wrong number of enums supplied."},
    {15, 15, "Input data can only contain ASCII characters."},
    {16, 16, "Can't create a std::string from this data."},
    {17, 17, "Sparse Array can only have two dimensions."},
    {18, 18, "Duplicate field names not allowed."},
    {19, 19, "Not enough memory available to support the request."},
    {21, 21, "Can't index into an empty array."},
    {22, 22, "The specified feature is not supported."},
    {23, 23, "Memory layout mismatch."},
    {24, 24, "Memory layout mismatch."},
    {25, 25, "Memory layout mismatch."},
    {26, 26, "Number of elements exceeds max."},
    {27, 27, objectArrayText},
    {28, 28, "caller's own text"},
    {29, 29, "caller's own text"},
    {30, 30, "Object not found."},
    {31, 31, "Vector size is wrong for the struct."},
    {32, 32, "The property already exists."},
    {33, 33, "Failed to execute class constructor."},
    {34, 34, "Handle Object not found."},
    {35, 35, objectArrayText},
    {36, 36, "Invalid object type."},
    {37, 37, "Requested class was not found."},
    {38, 38, "Recursion limit exceeded."},
    {39, 39, "Property not found."},
    {40, 40, "Invalid property value."},
    {41, 41, "Failed to serialize object."},
    {42, 42, "Invalid enumeration."},
    {43, 43, "Missing string encountered."},
    {44, 44, "Unsupported operation."},
    {45, 45, "Object serialization failed."},
    {46, 46, "Java not supported."},
    {47, 47, "Field name is not a valid KALVO identifier."},
    {51, 51, "Cannot assign a container array to an element of an array created for optimization "},
    {52, 52, "Input data must contain UTF8 characters."},
    {53, 53, "Invalid conversion from UTF-16 input to UTF-8 encoding."},
    // Codes without a kind of their own.
    {4, 20, "System Error."},
    {20, 20, "System Error."},
    {48, 20, "System Error."},
    {49, 20, "System Error."},
    {50, 20, "System Error."},
    {54, 20, "System Error."},
    {100, 20, "System Error."},
    {INT_MAX, 20, "System Error."},
    {-1, 20, "System Error."},
    {INT_MIN, 20, "System Error."},
};

/// typeid of the exception class of every kind 0..59, indexed by kind.
template<size_t... K>
std::vector<std::type_index> kindClasses(std::index_sequence<K...>) {
    return {std::type_index(
        typeid(detail::ArrayException<kalvo::Exception, static_cast<ExceptionType>(K)>))...};
}
const std::vector<std::type_index> classOfKind = kindClasses(std::make_index_sequence<60>());

class ErrorMapper : public ::testing::TestWithParam<MapperRow> {};

TEST_P(ErrorMapper, ThrowsTheKindsClassWithItsMessage) {
    const MapperRow& row = GetParam();
    try {
        throwIfError(row.status, "caller's own text");
        FAIL() << "status " << row.status << " did not throw";
    } catch (const kalvo::Exception& e) {
        EXPECT_EQ(std::type_index(typeid(e)), classOfKind.at(row.kind));
        EXPECT_EQ(e.what(), row.message);
        // The same object is a std::exception with the same message.
        const auto* asStd = dynamic_cast<const std::exception*>(&e);
        ASSERT_NE(asStd, nullptr);
        EXPECT_EQ(asStd->what(), row.message);
    }
}

INSTANTIATE_TEST_SUITE_P(AllCodes, ErrorMapper, ::testing::ValuesIn(mapperTable),
                         [](const auto& info) {
                             const int s = info.param.status;
                             return s < 0 ? "minus" + std::to_string(-(long long)s)
                                          : std::to_string(s);
                         });

TEST(ErrorMapperTest, StatusZeroReturns) { EXPECT_NO_THROW(throwIfError(0, "ignored")); }

TEST(RuntimeTable, ServesExactlyTheListedEntries) {
    std::set<int> listed;
#define KALVO_TEST_COLLECT(num, name, params) listed.insert(num);
    KALVO_DATA_ENTRIES(KALVO_TEST_COLLECT)
#undef KALVO_TEST_COLLECT
    for (int number = -3; number <= 300; ++number) {
        EXPECT_EQ(get_function_ptr(number) != nullptr, listed.count(number) == 1) << number;
    }
    EXPECT_EQ(get_function_ptr(INT_MAX), nullptr);
    EXPECT_EQ(get_function_ptr(INT_MIN), nullptr);
}

TEST(RuntimeTable, ResolveFunctionNamesTheReleaseOfAnUnservedNumber) {
    using Fn = int (*)();
    const std::vector<std::pair<int, std::string>> labels = {
        {0, "RelA"}, {108, "RelA"}, {109, "RelB"}, {117, "RelC"}, {118, "RelD"},
        {127, "RelD"}, {128, "RelE"}, {129, "RelE"}, {130, "FUTURE"}, {5000, "FUTURE"}};
    for (const auto& [number, label] : labels) {
        testing::expectArrayException<ExceptionType::FeatureNotSupported>(
            [n = number] { resolveFunction<Fn>(n); }, "This feature requires " + label);
    }
}

}  // namespace
}  // namespace kalvo::data
