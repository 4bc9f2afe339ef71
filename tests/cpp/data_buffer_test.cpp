// tests/cpp/data_buffer_test.cpp: buffer layouts and buffer ownership.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

using testing::countedBuffer;
using testing::freedBuffers;
using testing::samples;

template<class T>
class BufferLayouts : public ::testing::Test {};
TYPED_TEST_SUITE(BufferLayouts, testing::MixedTypes);

TYPED_TEST(BufferLayouts, ElementsComeBackInBufferOrder) {
    using T = TypeParam;
    ArrayFactory factory;
    for (MemoryLayout layout : {MemoryLayout::COLUMN_MAJOR, MemoryLayout::ROW_MAJOR}) {
        auto buffer = factory.createBuffer<T>(24);
        for (size_t i = 0; i < 24; ++i) {
            buffer[i] = testing::sample<T>(i);
        }
        TypedArray<T> a = factory.createArrayFromBuffer<T>({2, 3, 4}, std::move(buffer), layout);
        EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{2, 3, 4}));
        EXPECT_EQ(a.getNumberOfElements(), 24u);
        EXPECT_EQ(testing::elementsOf(a), samples<T>(24));
        const TypedArray<T> copy = a;
        auto out = a.release();  // unshares: hands out a copy in the same order
        EXPECT_EQ(std::vector<T>(out.get(), out.get() + 24), samples<T>(24));
        EXPECT_EQ(testing::elementsOf(copy), samples<T>(24));
    }
}

TEST(BufferOwnership, ArrayFreesAdoptedBufferOnce) {
    ArrayFactory factory;
    freedBuffers = 0;
    {
        auto a = factory.createArrayFromBuffer<std::complex<float>>(
            {3, 1}, countedBuffer<std::complex<float>>(3), MemoryLayout::ROW_MAJOR);
        Array copy = a;
        Array shared(a.shareImpl());
        EXPECT_EQ(freedBuffers.load(), 0);
    }
    EXPECT_EQ(freedBuffers.load(), 1);
}

TEST(BufferOwnership, FailedCreationLeavesTheBufferToTheCaller) {
    ArrayFactory factory;
    freedBuffers = 0;
    const size_t huge = std::numeric_limits<size_t>::max();
    testing::expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArrayFromBuffer<int16_t>({huge, 2}, countedBuffer<int16_t>(4)); },
        "Not enough memory available to support the request.");
    EXPECT_EQ(freedBuffers.load(), 1);  // freed by the buffer_ptr_t, not by the runtime
}

TEST(BufferOwnership, ReleaseHandsOwnershipOut) {
    ArrayFactory factory;
    freedBuffers = 0;
    buffer_ptr_t<uint32_t> out;
    {
        auto a = factory.createArrayFromBuffer<uint32_t>({2, 2}, countedBuffer<uint32_t>(4));
        out = a.release();
        EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{0, 0}));
        EXPECT_EQ(a.begin(), a.end());
    }
    EXPECT_EQ(freedBuffers.load(), 0);
    EXPECT_EQ(std::vector<uint32_t>(out.get(), out.get() + 4), samples<uint32_t>(4));
    EXPECT_EQ(out.get_deleter().function(), &testing::countingFree);
    out.reset();
    EXPECT_EQ(freedBuffers.load(), 1);
}

TEST(BufferOwnership, IteratorsOutliveTheirArrayButNotARelease) {
    ArrayFactory factory;
    TypedIterator<const double> kept;
    {
        const TypedArray<double> a = factory.createScalar(2.5);
        kept = a.begin();
    }
    EXPECT_EQ(*kept, 2.5);  // the iterator keeps the storage alive

    TypedArray<double> b = factory.createArray<double>({1, 2});
    auto it = b.begin();
    auto released = b.release();
    testing::expectArrayException<ExceptionType::InvalidArrayIndex>(
        [&] { (void)*it; }, "Array index is invalid.");
}

TEST(BufferOwnership, DroppedBufferIsFreedByItsDeleter) {
    ArrayFactory factory;
    // Leak checking (the sanitizer build) sees a buffer that was never freed.
    auto buffer = factory.createBuffer<std::complex<uint64_t>>(10);
    ASSERT_TRUE(buffer.get_deleter().function() != nullptr);
    auto empty = factory.createBuffer<int8_t>(0);
    EXPECT_TRUE(empty != nullptr);
}

TEST(BufferOwnership, RuntimeRefusesABufferWithoutDeleter) {
    ArrayFactory factory;
    double value = 1;
    buffer_ptr_t<double> unowned(&value, BufferDeleter());
    testing::expectArrayException<ExceptionType::SystemError>(
        [&] { factory.createArrayFromBuffer<double>({1, 1}, std::move(unowned)); },
        "System Error.");
}

}  // namespace
}  // namespace kalvo::data
