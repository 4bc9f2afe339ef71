// tests/cpp/data_array_test.cpp: creating, describing and iterating arrays of every element type,
// buffer layouts, and who owns and frees a buffer.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

using testing::countedBuffer;
using testing::elementsOf;
using testing::expectArrayException;
using testing::freedBuffers;
using testing::sample;
using testing::sampleArray;
using testing::samples;

const std::string invalidIndex = "Array index is invalid.";
const std::string outOfMemory = "Not enough memory available to support the request.";

template<class T>
class EveryElementType : public ::testing::Test {};
TYPED_TEST_SUITE(EveryElementType, testing::AllTypes);

TYPED_TEST(EveryElementType, CreatesArraysFromExtentsScalarsAndBuffers) {
    using T = TypeParam;
    ArrayFactory factory;
    TypedArray<T> zeros = factory.createArray<T>({2, 3, 4});
    EXPECT_EQ(zeros.getType(), arrayTypeOf<T>());
    EXPECT_EQ(zeros.getDimensions(), (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(zeros.getNumberOfElements(), 24u);
    EXPECT_EQ(elementsOf(zeros), std::vector<T>(24, T{}));

    const TypedArray<T> scalar = factory.createScalar<T>(sample<T>(4));
    EXPECT_EQ(scalar.getType(), arrayTypeOf<T>());
    EXPECT_EQ(scalar.getDimensions(), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(elementsOf(scalar), std::vector<T>{sample<T>(4)});

    buffer_ptr_t<T> buffer = factory.createBuffer<T>(6);
    ASSERT_TRUE(buffer != nullptr);
    for (size_t i = 0; i < 6; ++i) {
        buffer[i] = sample<T>(i);
    }
    TypedArray<T> a = factory.createArrayFromBuffer<T>({3, 2}, std::move(buffer));
    EXPECT_TRUE(buffer == nullptr);
    EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{3, 2}));
    EXPECT_EQ(elementsOf(a), samples<T>(6));
    buffer_ptr_t<T> out = a.release();
    ASSERT_TRUE(out != nullptr);
    EXPECT_EQ(std::vector<T>(out.get(), out.get() + 6), samples<T>(6));
    EXPECT_EQ(a.getNumberOfElements(), 0u);
}

TYPED_TEST(EveryElementType, TypedViewChecksTheElementType) {
    using T = TypeParam;
    Array plain = ArrayFactory().createArray<T>({1, 2});
    EXPECT_NO_THROW(TypedArray<T>{plain});
    // Any other element type is refused, and a refused move leaves the source intact.
    auto refuse = [&](auto tag) {
        using Wrong = decltype(tag);
        expectArrayException<ExceptionType::ArrayTypeMismatch>(
            [&] { TypedArray<Wrong>{std::move(plain)}; }, "Can't convert the Array to this TypedArray");
        EXPECT_EQ(plain.getType(), arrayTypeOf<T>());
    };
    if constexpr (std::is_same_v<T, int8_t>) {
        refuse(uint8_t{});
    } else {
        refuse(int8_t{});
    }
    if constexpr (detail::isComplex<T>) {
        refuse(typename T::value_type{});
    } else if constexpr (!std::is_same_v<T, bool> && !std::is_same_v<T, char16_t>) {
        refuse(std::complex<T>{});
    }
}

template<class T>
class SomeElementTypes : public ::testing::Test {};
TYPED_TEST_SUITE(SomeElementTypes, testing::MixedTypes);

TYPED_TEST(SomeElementTypes, IteratorsMoveCompareAndStayWithinTheirRange) {
    using T = TypeParam;
    const TypedArray<T> a = sampleArray<T>({1, 5});
    auto it = a.begin();
    auto copy = it;
    ++it;
    EXPECT_EQ(*copy, sample<T>(0));
    EXPECT_EQ(*it, sample<T>(1));
    EXPECT_NE(it, copy);
    auto before = it++;
    EXPECT_EQ(*before, sample<T>(1));
    EXPECT_EQ(*it, sample<T>(2));
    EXPECT_EQ(*(copy + 4), sample<T>(4));
    EXPECT_EQ(copy + 5, a.end());
    EXPECT_EQ(copy + 2, it);
    it += -2;
    EXPECT_EQ(it, a.begin());
    EXPECT_EQ(it.operator->(), &*a.begin());
    EXPECT_EQ(a.begin(), a.cbegin());
    EXPECT_NE(a.begin(), sampleArray<T>({1, 5}).cbegin());  // iterators of another array

    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += 6; }, invalidIndex);
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += -1; }, invalidIndex);
    it += 5;  // the failed moves left it where it was
    EXPECT_EQ(it, a.end());
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { (void)*it; }, invalidIndex);
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { ++it; }, invalidIndex);
}

// A column-major buffer is kept in its order; a row-major one is stored column-major, so element
// (i, j, k) is buffer[(i * 3 + j) * 4 + k] whichever way it was given. A release of a shared
// array hands out a copy in storage order.
TYPED_TEST(SomeElementTypes, ElementsAreStoredColumnMajorWhateverTheBufferLayout) {
    using T = TypeParam;
    std::vector<T> rowMajorOrder;
    for (size_t k = 0; k < 4; ++k) {
        for (size_t j = 0; j < 3; ++j) {
            for (size_t i = 0; i < 2; ++i) {
                rowMajorOrder.push_back(samples<T>(24)[(i * 3 + j) * 4 + k]);
            }
        }
    }
    for (MemoryLayout layout : {MemoryLayout::COLUMN_MAJOR, MemoryLayout::ROW_MAJOR}) {
        const std::vector<T> expected = layout == MemoryLayout::ROW_MAJOR ? rowMajorOrder : samples<T>(24);
        TypedArray<T> a = sampleArray<T>({2, 3, 4}, layout);
        EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{2, 3, 4}));
        EXPECT_EQ(elementsOf(a), expected);
        const TypedArray<T> copy = a;
        auto out = a.release();
        EXPECT_EQ(std::vector<T>(out.get(), out.get() + 24), expected);
        EXPECT_EQ(elementsOf(copy), expected);
    }
    // Extents of 1 leave the order as it is.
    EXPECT_EQ(elementsOf(sampleArray<T>({1, 5, 1}, MemoryLayout::ROW_MAJOR)), samples<T>(5));
}

TEST(ArrayTest, EmptyArraysHaveNoElements) {
    const Array plain;
    EXPECT_EQ(plain.getType(), ArrayType::DOUBLE);
    EXPECT_EQ(plain.getDimensions(), (std::vector<size_t>{0, 0}));
    const TypedArray<double> t(plain);
    EXPECT_EQ(t.begin(), t.end());
    TypedArray<std::complex<float>> a = ArrayFactory().createArray<std::complex<float>>({3, 0});
    EXPECT_EQ(a.getNumberOfElements(), 0u);
    EXPECT_EQ(a.begin(), a.end());
    expectArrayException<ExceptionType::EmptyArrayIndex>([&] { a[0]; }, "Can't index into an empty array.");
}

TEST(ArrayTest, ElementReferencesCheckTheIndexAndAssignValues) {
    auto a = ArrayFactory().createArray<std::complex<int32_t>>({1, 3});
    a[0] = std::complex<int32_t>(7, 8);
    a[1] = a[0];  // copies the value, does not rebind
    a[0] = std::complex<int32_t>(1, 2);
    EXPECT_EQ(elementsOf(a), (std::vector<std::complex<int32_t>>{{1, 2}, {7, 8}, {0, 0}}));
    EXPECT_EQ(std::complex<int32_t>(a[2]), std::complex<int32_t>(0, 0));
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { a[3]; }, invalidIndex);
}

TEST(ArrayTest, ClientConveniencesSpellTheRuntimeContract) {
    ArrayFactory factory;
    auto c = factory.createArray<std::complex<double>>({1, 1});
    detail::setElement<std::complex<double>>(c[0], {1, 2}, ArrayType::COMPLEX_DOUBLE);
    EXPECT_TRUE(c[0] == std::complex<double>(1, 2) && std::complex<double>(1, 2) == c[0]);
    EXPECT_TRUE(c[0] != std::complex<double>(2, 1));
    // A buffer owned with the runtime's own deleter function, handed back the same way.
    freedBuffers = 0;
    buffer_ptr_t<double> buffer(static_cast<double*>(std::malloc(sizeof(double))), &testing::countingFree);
    BufferDeleterFn fn = buffer.get_deleter();
    EXPECT_EQ(fn, &testing::countingFree);
    buffer.reset();
    EXPECT_EQ(freedBuffers.load(), 1);
    EXPECT_NO_THROW(detail::throwIfError(0));
    EXPECT_NE(detail::resolveFunction<void (*)()>(14), nullptr);
}

TEST(ArrayTest, ImpossibleSizesReportOutOfMemory) {
    ArrayFactory factory;
    const size_t big = std::numeric_limits<size_t>::max() / 2;
    // Extents whose product overflows, and a product whose byte size does.
    expectArrayException<ExceptionType::OutOfMemory>([&] { factory.createArray<double>({big, 3}); }, outOfMemory);
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArray<std::complex<double>>({big / 4, 1}); }, outOfMemory);
    expectArrayException<ExceptionType::OutOfMemory>([&] { factory.createBuffer<int64_t>(big); }, outOfMemory);
    // Representable but far beyond any machine: the allocation itself fails.
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArray<double>({size_t(1) << 30, size_t(1) << 27}); }, outOfMemory);
}

TEST(RuntimeEntries, RefuseNullAndForeignHandles) {
    ArrayFactory factory;
    TypedArray<double> a = factory.createArray<double>({1, 1});
    auto it = std::as_const(a).begin();
    const auto getType = detail::resolve<entry::getType>();
    int32_t type = -1;
    EXPECT_EQ(getType(nullptr, &type), 20);
    EXPECT_EQ(getType(it.getImpl(), &type), 20);  // an iterator is not an array
    EXPECT_EQ(getType(factory.getImpl(), &type), 20);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(getType(a.getImpl(), nullptr), 20);
    const auto create = detail::resolve<entry::createArray>();
    void* out = nullptr;
    const size_t dims[] = {1, 1};
    EXPECT_EQ(create(factory.getImpl(), 2, dims, 2, &out), 22);  // ArrayType 2 is not stored
    EXPECT_EQ(create(factory.getImpl(), 23, dims, 2, &out), 22);
    EXPECT_EQ(create(a.getImpl(), 3, dims, 2, &out), 20);
    EXPECT_EQ(out, nullptr);
    const auto setComplex = detail::resolve<entry::setComplexElement>();
    auto c = factory.createArray<std::complex<double>>({1, 1});
    ReferenceHolder ref = c[0].holder();
    const double part = 1;
    EXPECT_EQ(setComplex(ref.get(), int32_t(ArrayType::COMPLEX_SINGLE), &part, &part), 8);
}

// ---- buffer ownership ----------------------------------------------------------------------

TEST(BufferOwnership, ArrayFreesAdoptedBufferOnceAndReleaseHandsItOut) {
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

    buffer_ptr_t<uint32_t> out;
    {
        auto a = factory.createArrayFromBuffer<uint32_t>({2, 2}, countedBuffer<uint32_t>(4));
        out = a.release();
        EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{0, 0}));
        EXPECT_EQ(a.begin(), a.end());
    }
    EXPECT_EQ(freedBuffers.load(), 1);
    EXPECT_EQ(std::vector<uint32_t>(out.get(), out.get() + 4), samples<uint32_t>(4));
    EXPECT_EQ(out.get_deleter().function(), &testing::countingFree);
    out.reset();
    EXPECT_EQ(freedBuffers.load(), 2);
}

TEST(BufferOwnership, RefusedBuffersStayWithTheCaller) {
    ArrayFactory factory;
    freedBuffers = 0;
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] {
            factory.createArrayFromBuffer<int16_t>({std::numeric_limits<size_t>::max(), 2}, countedBuffer<int16_t>(4));
        },
        outOfMemory);
    EXPECT_EQ(freedBuffers.load(), 1);  // freed by the buffer_ptr_t, not by the runtime
    double value = 1;
    buffer_ptr_t<double> unowned(&value, BufferDeleter());
    expectArrayException<ExceptionType::SystemError>(
        [&] { factory.createArrayFromBuffer<double>({1, 1}, std::move(unowned)); }, "System Error.");
    // Leak checking (the sanitizer build) sees a buffer that was never freed.
    auto dropped = factory.createBuffer<std::complex<uint64_t>>(10);
    ASSERT_TRUE(dropped.get_deleter().function() != nullptr);
    EXPECT_TRUE(factory.createBuffer<int8_t>(0) != nullptr);
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
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { (void)*it; }, invalidIndex);
}

}  // namespace
}  // namespace kalvo::data
