// tests/cpp/data_cow_test.cpp: copy on write, and handle counts under several threads.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

using testing::elementsOf;
using testing::other;
using testing::sample;
using testing::sampleArray;
using testing::samples;

template<class T>
class CopyOnWrite : public ::testing::Test {};
TYPED_TEST_SUITE(CopyOnWrite, testing::AllTypes);

TYPED_TEST(CopyOnWrite, WriteThroughIteratorLeavesCopiesAlone) {
    using T = TypeParam;
    const TypedArray<T> original = sampleArray<T>({1, 4});
    Array plain = original;  // shares
    TypedArray<T> writer(plain);
    *writer.begin() = other<T>();
    for (auto& x : writer) {
        x = other<T>();
    }
    EXPECT_EQ(elementsOf(original), samples<T>(4));
    EXPECT_EQ(elementsOf(TypedArray<T>(plain)), samples<T>(4));
    EXPECT_EQ(elementsOf(writer), std::vector<T>(4, other<T>()));
}

TYPED_TEST(CopyOnWrite, ReleaseOfACopyLeavesTheOriginal) {
    using T = TypeParam;
    const TypedArray<T> original = sampleArray<T>({1, 3});
    TypedArray<T> copy = original;
    buffer_ptr_t<T> out = copy.release();
    EXPECT_EQ(std::vector<T>(out.get(), out.get() + 3), samples<T>(3));
    EXPECT_EQ(copy.getNumberOfElements(), 0u);
    EXPECT_EQ(original.getDimensions(), (std::vector<size_t>{1, 3}));
    EXPECT_EQ(elementsOf(original), samples<T>(3));
    out[0] = other<T>();  // the released elements are the caller's own
    EXPECT_EQ(elementsOf(original), samples<T>(3));
}

TYPED_TEST(CopyOnWrite, SharedImplementationsAreUnsharedToo) {
    using T = TypeParam;
    TypedArray<T> a = sampleArray<T>({1, 2});
    // Each handle is the sole owner of its implementation, but the storage is shared.
    TypedArray<T> b{Array(a.shareImpl())};
    EXPECT_NE(b.getImpl(), a.getImpl());
    EXPECT_EQ(&*std::as_const(b).begin(), &*std::as_const(a).begin());
    *b.begin() = other<T>();
    EXPECT_EQ(elementsOf(a), samples<T>(2));
    *a.begin() = other<T>();
    EXPECT_EQ(elementsOf(a), elementsOf(b));
}

TYPED_TEST(CopyOnWrite, SoleOwnerWritesInPlace) {
    using T = TypeParam;
    const size_t n = 64;
    Array held = sampleArray<T>({1, n});
    void* const impl = held.getImpl();
    const T* const storage = &*TypedArray<T>(held).cbegin();
    // The pattern element-wise writers use: move the handle in, write, move it back. Neither
    // the implementation nor the storage may change, so n writes cost O(n).
    for (size_t i = 0; i < n; ++i) {
        TypedArray<T> typed(std::move(held));
        auto it = typed.begin();
        it += static_cast<std::ptrdiff_t>(i);
        *it = other<T>();
        held = std::move(typed);
        ASSERT_EQ(held.getImpl(), impl);
    }
    const TypedArray<T> result(held);
    EXPECT_EQ(&*result.cbegin(), storage);
    EXPECT_EQ(elementsOf(result), std::vector<T>(n, other<T>()));
}

template<class T>
class ComplexCopyOnWrite : public ::testing::Test {};
TYPED_TEST_SUITE(ComplexCopyOnWrite, testing::ComplexTypes);

TYPED_TEST(ComplexCopyOnWrite, SubscriptWriteLeavesCopiesAlone) {
    using T = TypeParam;
    Array source = sampleArray<T>({1, 3});
    TypedArray<T> writer(source);
    writer[0] = other<T>();
    EXPECT_EQ(T(writer[0]), other<T>());
    EXPECT_EQ(T(writer[1]), sample<T>(1));
    EXPECT_EQ(elementsOf(TypedArray<T>(source)), samples<T>(3));
}

TEST(SharedHandles, CopiesFromSeveralThreads) {
    ArrayFactory factory;
    testing::freedBuffers = 0;
    {
        TypedArray<double> a =
            factory.createArrayFromBuffer<double>({2, 4}, testing::countedBuffer<double>(8));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&a, t] {
                for (int i = 0; i < 2000; ++i) {
                    Array copy = a;
                    TypedArray<double> typed(copy);
                    Array moved = std::move(copy);
                    if (i % 500 == t) {
                        // A private copy per thread: writes never reach `a`.
                        *typed.begin() = -1;
                    }
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        EXPECT_EQ(testing::freedBuffers.load(), 0);
        EXPECT_EQ(elementsOf(a), samples<double>(8));
    }
    EXPECT_EQ(testing::freedBuffers.load(), 1);
}

TEST(SharedHandles, IteratorsFromSeveralThreads) {
    const TypedArray<int64_t> a = sampleArray<int64_t>({1, 100});
    std::vector<std::thread> threads;
    std::vector<int64_t> sums(4, 0);
    for (size_t t = 0; t < sums.size(); ++t) {
        threads.emplace_back([&a, &sums, t] {
            for (int round = 0; round < 20; ++round) {
                const TypedArray<int64_t> mine = a;
                for (int64_t x : mine) {
                    sums[t] += x;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    int64_t expected = 0;
    for (int64_t x : samples<int64_t>(100)) {
        expected += x;
    }
    for (int64_t s : sums) {
        EXPECT_EQ(s, 20 * expected);
    }
}

}  // namespace
}  // namespace kalvo::data
