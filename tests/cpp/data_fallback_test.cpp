// tests/cpp/data_fallback_test.cpp: the client against an older runtime (the test-only build),
// which lacks the optional entries and withholds the entries named in
// KALVO_TEST_WITHHOLD_ENTRIES.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

using testing::expectArrayException;
using testing::samples;

/// Sets KALVO_TEST_WITHHOLD_ENTRIES for one scope.
class Withhold {
public:
    explicit Withhold(const char* numbers) { setenv("KALVO_TEST_WITHHOLD_ENTRIES", numbers, 1); }
    ~Withhold() { unsetenv("KALVO_TEST_WITHHOLD_ENTRIES"); }
    Withhold(const Withhold&) = delete;
    Withhold& operator=(const Withhold&) = delete;
};

TEST(OlderRuntime, LacksTheOptionalEntries) {
    for (int number : {110, 113, 114, 115}) {
        EXPECT_EQ(get_function_ptr(number), nullptr) << number;
    }
    EXPECT_NE(get_function_ptr(11), nullptr);
    EXPECT_NE(get_function_ptr(57), nullptr);
}

TEST(OlderRuntime, ReleaseLabelsAtTheirBoundaries) {
    using Fn = int (*)();
    const std::vector<std::pair<int, std::string>> labels = {
        {0, "RelA"},   {108, "RelA"}, {109, "RelB"},   {110, "RelC"},
        {115, "RelC"}, {117, "RelC"}, {118, "RelD"},   {127, "RelD"},
        {128, "RelE"}, {129, "RelE"}, {130, "FUTURE"}, {5000, "FUTURE"}};
    for (const auto& [number, label] : labels) {
        expectArrayException<ExceptionType::FeatureNotSupported>(
            [n = number] { resolveFunction<Fn>(n); }, "This feature requires " + label);
    }
}

TEST(OlderRuntime, RowMajorBuffersAreRefused) {
    ArrayFactory factory;
    EXPECT_EQ(testing::elementsOf(testing::sampleArray<float>({2, 2})),
              samples<float>(4));  // column-major works
    testing::freedBuffers = 0;
    expectArrayException<ExceptionType::FeatureNotSupported>(
        [&] {
            factory.createArrayFromBuffer<float>({2, 2}, testing::countedBuffer<float>(4),
                                                 MemoryLayout::ROW_MAJOR);
        },
        "Row-major buffers require RelC");
    EXPECT_EQ(testing::freedBuffers.load(), 1);
}

template<class T>
class OlderRuntimeIteration : public ::testing::Test {};
TYPED_TEST_SUITE(OlderRuntimeIteration, testing::MixedTypes);

// Without 113, 114 and 115 iteration goes through 57, 58, 71 and (complex) 72 with 94.
TYPED_TEST(OlderRuntimeIteration, FallsBackToOlderEntries) {
    using T = TypeParam;
    TypedArray<T> a = testing::sampleArray<T>({5, 1});
    const TypedArray<T> copy = a;
    EXPECT_EQ(testing::elementsOf(copy), samples<T>(5));
    for (auto& x : a) {
        x = testing::other<T>();
    }
    EXPECT_EQ(testing::elementsOf(a), std::vector<T>(5, testing::other<T>()));
    EXPECT_EQ(testing::elementsOf(copy), samples<T>(5));
}

// uint16_t iterates nowhere else in this program, so its cached entries start unset here.
TEST(OlderRuntime, MissingEntryIsRefusedUntilItAppears) {
    ArrayFactory factory;
    const TypedArray<uint16_t> a = factory.createArray<uint16_t>({1, 3});
    {
        Withhold gone("5,57,300");
        expectArrayException<ExceptionType::FeatureNotSupported>([&] { a.begin(); },
                                                                 "This feature requires RelA");
        expectArrayException<ExceptionType::FeatureNotSupported>([&] { a.begin(); },
                                                                 "This feature requires RelA");
    }
    EXPECT_EQ(testing::elementsOf(a), std::vector<uint16_t>(3, 0));
    {
        Withhold gone("57");  // once found, the entry stays cached
        EXPECT_EQ(testing::elementsOf(a), std::vector<uint16_t>(3, 0));
    }
}

}  // namespace
}  // namespace kalvo::data
