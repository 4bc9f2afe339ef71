// tests/cpp/data_fallback_test.cpp: the client against an older runtime (the test-only build),
// which lacks the optional entries and withholds the entries named in
// KALVO_TEST_WITHHOLD_ENTRIES.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "data_test_support.hpp"

// Beside the shared helpers, which the tests use unqualified.
namespace kalvo::data::testing {
namespace {

TEST(OlderRuntime, LacksTheOptionalEntries) {
    for (int number : {11, 57, 110, 113, 114, 115}) {  // from 110 on, optional
        EXPECT_EQ(get_function_ptr(number) == nullptr, number >= 110) << number;
    }
}

TEST(OlderRuntime, ReleaseLabelsAtTheirBoundaries) {
    const std::vector<std::pair<int, std::string>> labels = {
        {0, "RelA"},   {108, "RelA"}, {109, "RelB"},   {110, "RelC"},
        {115, "RelC"}, {117, "RelC"}, {118, "RelD"},   {127, "RelD"},
        {128, "RelE"}, {129, "RelE"}, {130, "FUTURE"}, {5000, "FUTURE"}};
    for (const auto& [number, label] : labels) {
        expectArrayException<ExceptionType::FeatureNotSupported>(
            [n = number] { resolveFunction<int (*)()>(n); }, "This feature requires " + label);
    }
}

// Column-major buffers work (the iteration test below); row-major ones stay with the caller.
TEST(OlderRuntime, RowMajorBuffersAreRefused) {
    freedBuffers = 0;
    expectArrayException<ExceptionType::FeatureNotSupported>(
        [] {
            ArrayFactory().createArrayFromBuffer<float>({2, 2}, countedBuffer<float>(4),
                                                        MemoryLayout::ROW_MAJOR);
        },
        "Row-major buffers require RelC");
    EXPECT_EQ(freedBuffers.load(), 1);
}

template<class T>
class OlderRuntimeIteration : public ::testing::Test {};
TYPED_TEST_SUITE(OlderRuntimeIteration, MixedTypes);

// Without 113, 114 and 115 iteration goes through 57, 58, 71 and (complex) 72 with 94.
TYPED_TEST(OlderRuntimeIteration, FallsBackToOlderEntries) {
    using T = TypeParam;
    TypedArray<T> a = sampleArray<T>({5, 1});
    const TypedArray<T> copy = a;
    EXPECT_EQ(elementsOf(copy), samples<T>(5));
    for (auto& x : a) {
        x = other<T>();
    }
    EXPECT_EQ(elementsOf(a), std::vector<T>(5, other<T>()));
    EXPECT_EQ(elementsOf(copy), samples<T>(5));
}

// uint16_t iterates nowhere else in this program, so its cached entries start unset here.
TEST(OlderRuntime, MissingEntryIsRefusedUntilItAppears) {
    const TypedArray<uint16_t> a = ArrayFactory().createArray<uint16_t>({1, 3});
    setenv("KALVO_TEST_WITHHOLD_ENTRIES", "5,57,300", 1);
    for (int attempt = 0; attempt < 2; ++attempt) {  // a failed lookup caches nothing
        expectArrayException<ExceptionType::FeatureNotSupported>([&] { a.begin(); },
                                                                 "This feature requires RelA");
    }
    unsetenv("KALVO_TEST_WITHHOLD_ENTRIES");
    EXPECT_EQ(elementsOf(a), std::vector<uint16_t>(3, 0));
    setenv("KALVO_TEST_WITHHOLD_ENTRIES", "57", 1);  // once found, the entry stays cached
    EXPECT_EQ(elementsOf(a), std::vector<uint16_t>(3, 0));
    unsetenv("KALVO_TEST_WITHHOLD_ENTRIES");
}

}  // namespace
}  // namespace kalvo::data::testing
