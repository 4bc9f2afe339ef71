// tests/cpp/data_array_test.cpp: creating, describing and iterating arrays of every element type.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <vector>

#include "data_test_support.hpp"

namespace kalvo::data {
namespace {

using testing::expectArrayException;
using testing::sample;
using testing::samples;

template<class T>
class EveryElementType : public ::testing::Test {};
TYPED_TEST_SUITE(EveryElementType, testing::AllTypes);

TYPED_TEST(EveryElementType, CreateArrayIsZeroFilled) {
    using T = TypeParam;
    ArrayFactory factory;
    TypedArray<T> a = factory.createArray<T>({2, 3, 4});
    EXPECT_EQ(a.getType(), arrayTypeOf<T>());
    EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(a.getNumberOfElements(), 24u);
    EXPECT_EQ(testing::elementsOf(a), std::vector<T>(24, T{}));
}

TYPED_TEST(EveryElementType, CreateScalarHoldsTheValue) {
    using T = TypeParam;
    ArrayFactory factory;
    const TypedArray<T> a = factory.createScalar<T>(sample<T>(4));
    EXPECT_EQ(a.getType(), arrayTypeOf<T>());
    EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(testing::elementsOf(a), std::vector<T>{sample<T>(4)});
}

TYPED_TEST(EveryElementType, BufferRoundTrip) {
    using T = TypeParam;
    ArrayFactory factory;
    buffer_ptr_t<T> buffer = factory.createBuffer<T>(6);
    ASSERT_TRUE(buffer != nullptr);
    for (size_t i = 0; i < 6; ++i) {
        buffer[i] = sample<T>(i);
    }
    TypedArray<T> a = factory.createArrayFromBuffer<T>({3, 2}, std::move(buffer));
    EXPECT_TRUE(buffer == nullptr);
    EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{3, 2}));
    EXPECT_EQ(testing::elementsOf(a), samples<T>(6));
    buffer_ptr_t<T> out = a.release();
    ASSERT_TRUE(out != nullptr);
    EXPECT_EQ(std::vector<T>(out.get(), out.get() + 6), samples<T>(6));
    EXPECT_EQ(a.getNumberOfElements(), 0u);
}

TYPED_TEST(EveryElementType, TypedViewChecksTheElementType) {
    using T = TypeParam;
    ArrayFactory factory;
    Array plain = factory.createArray<T>({1, 2});
    EXPECT_NO_THROW(TypedArray<T>{plain});
    // Any other element type is refused, and a refused move leaves the source intact.
    auto refuse = [&](auto tag) {
        using Wrong = decltype(tag);
        expectArrayException<ExceptionType::ArrayTypeMismatch>(
            [&] { TypedArray<Wrong>{std::move(plain)}; },
            "Can't convert the Array to this TypedArray");
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
class ArrayIteration : public ::testing::Test {};
TYPED_TEST_SUITE(ArrayIteration, testing::MixedTypes);

TYPED_TEST(ArrayIteration, MovesComparesAndCopiesIndependently) {
    using T = TypeParam;
    ArrayFactory factory;
    auto buffer = factory.createBuffer<T>(5);
    for (size_t i = 0; i < 5; ++i) {
        buffer[i] = sample<T>(i);
    }
    const TypedArray<T> a = factory.createArrayFromBuffer<T>({1, 5}, std::move(buffer));
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
}

TYPED_TEST(ArrayIteration, StaysWithinItsRange) {
    using T = TypeParam;
    ArrayFactory factory;
    const TypedArray<T> a = factory.createArray<T>({2, 2});
    auto it = a.begin();
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += 5; },
                                                           "Array index is invalid.");
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += -1; },
                                                           "Array index is invalid.");
    it += 4;  // the failed moves left it where it was
    EXPECT_EQ(it, a.end());
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { (void)*it; },
                                                           "Array index is invalid.");
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { ++it; },
                                                           "Array index is invalid.");
}

TYPED_TEST(ArrayIteration, IteratorsOfDifferentArraysDiffer) {
    using T = TypeParam;
    ArrayFactory factory;
    const TypedArray<T> a = factory.createArray<T>({1, 1});
    const TypedArray<T> b = factory.createArray<T>({1, 1});
    EXPECT_NE(a.begin(), b.begin());
    EXPECT_EQ(a.begin(), a.cbegin());
}

TEST(ArrayTest, DefaultArrayIsEmptyDouble) {
    const Array a;
    EXPECT_EQ(a.getType(), ArrayType::DOUBLE);
    EXPECT_EQ(a.getDimensions(), (std::vector<size_t>{0, 0}));
    EXPECT_EQ(a.getNumberOfElements(), 0u);
    const TypedArray<double> t(a);
    EXPECT_EQ(t.begin(), t.end());
}

TEST(ArrayTest, ZeroExtentArraysHaveNoElements) {
    ArrayFactory factory;
    TypedArray<std::complex<float>> a = factory.createArray<std::complex<float>>({3, 0});
    EXPECT_EQ(a.getNumberOfElements(), 0u);
    EXPECT_EQ(a.begin(), a.end());
    expectArrayException<ExceptionType::EmptyArrayIndex>([&] { a[0]; },
                                                         "Can't index into an empty array.");
}

TEST(ArrayTest, ComplexSubscriptChecksTheIndex) {
    ArrayFactory factory;
    auto a = factory.createArray<std::complex<double>>({2, 2});
    a[3] = std::complex<double>(1, -1);
    EXPECT_EQ(std::complex<double>(a[3]), std::complex<double>(1, -1));
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { a[4]; },
                                                           "Array index is invalid.");
}

TEST(ArrayTest, ElementReferencesAssignValues) {
    ArrayFactory factory;
    auto a = factory.createArray<std::complex<int32_t>>({1, 2});
    a[0] = std::complex<int32_t>(7, 8);
    a[1] = a[0];  // copies the value, does not rebind
    a[0] = std::complex<int32_t>(1, 2);
    EXPECT_EQ(testing::elementsOf(a),
              (std::vector<std::complex<int32_t>>{{1, 2}, {7, 8}}));
}

TEST(ArrayTest, ImpossibleSizesReportOutOfMemory) {
    ArrayFactory factory;
    const size_t big = std::numeric_limits<size_t>::max() / 2;
    const std::string text = "Not enough memory available to support the request.";
    // Extents whose product overflows, and a product whose byte size does.
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArray<double>({big, 3}); }, text);
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArray<std::complex<double>>({big / 4, 1}); }, text);
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createBuffer<int64_t>(big); }, text);
    // Representable but far beyond any machine: the allocation itself fails.
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArray<double>({size_t(1) << 30, size_t(1) << 27}); }, text);
}

TEST(ArrayTest, ShareImplSharesElementsCopyOnWrite) {
    ArrayFactory factory;
    TypedArray<int32_t> a = factory.createArray<int32_t>({1, 3});
    *a.begin() = 5;
    Array adopted(a.shareImpl());
    EXPECT_NE(adopted.getImpl(), a.getImpl());
    TypedArray<int32_t> b(std::move(adopted));
    EXPECT_EQ(&*std::as_const(b).begin(), &*std::as_const(a).begin());  // same storage
    *b.begin() = 9;
    EXPECT_EQ(*std::as_const(a).begin(), 5);
    EXPECT_EQ(*std::as_const(b).begin(), 9);
}

TEST(RuntimeEntries, RefuseNullAndForeignHandles) {
    ArrayFactory factory;
    TypedArray<double> a = factory.createArray<double>({1, 1});
    auto it = std::as_const(a).begin();
    const auto getType = detail::resolve<entry::getType>();
    int32_t type = -1;
    EXPECT_EQ(getType(nullptr, &type), 20);
    EXPECT_EQ(getType(it.getImpl(), &type), 20);     // an iterator is not an array
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

}  // namespace
}  // namespace kalvo::data
