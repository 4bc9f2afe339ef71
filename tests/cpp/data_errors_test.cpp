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

// One row per branch of the mapper: a kind with its own message (first, shared and last codes),
// the object-array text, the kinds that carry the caller's text, and codes without a kind.
const std::vector<MapperRow> mapperTable = {
    {1, 1, "Array index is invalid."},
    {25, 25, "Memory layout mismatch."},
    {35, 35, objectArrayText},
    {53, 53, "Invalid conversion from UTF-16 input to UTF-8 encoding."},
    {28, 28, "caller's own text"},
    {29, 29, "caller's own text"},
    {4, 20, "System Error."},
    {20, 20, "System Error."},
    {54, 20, "System Error."},
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
