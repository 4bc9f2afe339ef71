// tests/cpp/data_array_test.cpp: the client classes against the real runtime: arrays of every element
// type, buffer layouts, copy on write, who owns and frees a buffer, status codes and the entry table.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <set>
#include <thread>
#include <typeindex>
#include <utility>

#include "data_test_support.hpp"

// Beside the shared helpers, which the tests use unqualified.
namespace kalvo::data::testing {
namespace {

const std::string invalidIndex = "Array index is invalid.";
const std::string outOfMemory = "Not enough memory available to support the request.";

template<class T>
class EveryElementType : public ::testing::Test {};
TYPED_TEST_SUITE(EveryElementType, AllTypes);

// Arrays made from buffers are checked for every type by WritesAndReleasesLeaveSharersAlone.
TYPED_TEST(EveryElementType, CreatesArraysAndTypedViewsCheckTheElementType) {
    using T = TypeParam;
    ArrayFactory factory;
    Array plain = factory.createArray<T>({2, 3, 4});
    EXPECT_EQ(plain.getType(), arrayTypeOf<T>());
    EXPECT_EQ(plain.getDimensions(), (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(elementsOf(TypedArray<T>(plain)), std::vector<T>(24, T{}));
    const TypedArray<T> scalar = factory.createScalar<T>(sample<T>(4));
    EXPECT_EQ(scalar.getDimensions(), (std::vector<size_t>{1, 1}));
    EXPECT_EQ(elementsOf(scalar), std::vector<T>{sample<T>(4)});

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

// Every way of writing (iterator, complex subscript) and of handing the elements out (release) first
// makes them private to the handle: copies and shared implementations keep their elements.
TYPED_TEST(EveryElementType, WritesAndReleasesLeaveSharersAlone) {
    using T = TypeParam;
    const TypedArray<T> original = sampleArray<T>({1, 4});
    Array plain = original;
    TypedArray<T> writer(plain);
    for (auto& x : writer) {
        x = other<T>();
    }
    EXPECT_EQ(elementsOf(TypedArray<T>(plain)), samples<T>(4));
    EXPECT_EQ(elementsOf(writer), std::vector<T>(4, other<T>()));

    TypedArray<T> shared{Array(original.shareImpl())};
    EXPECT_NE(shared.getImpl(), original.getImpl());
    EXPECT_EQ(&*std::as_const(shared).begin(), &*original.begin());
    if constexpr (detail::isComplex<T>) {  // only complex arrays have a subscript
        shared[0] = other<T>();
        EXPECT_EQ(T(shared[1]), sample<T>(1));
    } else {
        *shared.begin() = other<T>();
    }
    EXPECT_EQ(elementsOf(shared)[0], other<T>());

    TypedArray<T> copy = original;
    buffer_ptr_t<T> out = copy.release();
    EXPECT_EQ(std::vector<T>(out.get(), out.get() + 4), samples<T>(4));
    out[0] = other<T>();
    EXPECT_EQ(original.getDimensions(), (std::vector<size_t>{1, 4}));
    EXPECT_EQ(elementsOf(original), samples<T>(4));
}

template<class T>
class SomeElementTypes : public ::testing::Test {};
TYPED_TEST_SUITE(SomeElementTypes, MixedTypes);

TYPED_TEST(SomeElementTypes, IteratorsMoveCompareAndStayWithinTheirRange) {
    using T = TypeParam;
    const TypedArray<T> a = sampleArray<T>({1, 5});
    auto it = a.begin();
    auto copy = it++;
    EXPECT_EQ(*copy, sample<T>(0));
    EXPECT_EQ(*it, sample<T>(1));
    EXPECT_EQ(*(copy + 4), sample<T>(4));
    EXPECT_EQ(copy + 5, a.end());
    EXPECT_EQ(copy + 1, it);
    it += -1;
    EXPECT_EQ(it, a.begin());
    EXPECT_NE(a.begin(), sampleArray<T>({1, 5}).cbegin());  // iterators of another array

    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += 6; }, invalidIndex);
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { it += -1; }, invalidIndex);
    it += 5;  // the failed moves left it where it was
    EXPECT_EQ(it, a.end());
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { (void)*it; }, invalidIndex);
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { ++it; }, invalidIndex);
}

// A column-major buffer is kept in its order; a row-major one is stored column-major, whatever
// its extents (sizes that are not multiples of the transposition tile, extents of 1, more than
// two dimensions, no elements). A release of a shared array hands out a copy in storage order.
TYPED_TEST(SomeElementTypes, ElementsAreStoredColumnMajorWhateverTheBufferLayout) {
    using T = TypeParam;
    for (std::vector<size_t> dims :
         std::vector<std::vector<size_t>>{{2, 3, 4}, {67, 45}, {3, 1, 4, 5}, {1, 5, 1}, {0, 3}}) {
        const size_t n = std::accumulate(dims.begin(), dims.end(), size_t{1}, std::multiplies<>());
        // Storage position p holds the element whose row-major offset is r: the index p encodes
        // column-major, weighted by row-major strides.
        std::vector<T> rowMajorOrder;
        for (size_t p = 0; p < n; ++p) {
            size_t rest = p, r = 0, stride = n;
            for (size_t d : dims) {
                stride /= d;
                r += rest % d * stride;
                rest /= d;
            }
            rowMajorOrder.push_back(sample<T>(r));
        }
        for (MemoryLayout layout : {MemoryLayout::COLUMN_MAJOR, MemoryLayout::ROW_MAJOR}) {
            const std::vector<T> expected =
                layout == MemoryLayout::ROW_MAJOR ? rowMajorOrder : samples<T>(n);
            TypedArray<T> a = sampleArray<T>(dims, layout);
            EXPECT_EQ(a.getDimensions(), dims);
            EXPECT_EQ(elementsOf(a), expected)
                << dims.size() << " dimensions, " << n << " elements";
            const TypedArray<T> copy = a;
            auto out = a.release();
            EXPECT_EQ(std::vector<T>(out.get(), out.get() + n), expected);
            EXPECT_EQ(elementsOf(copy), expected);
        }
    }
}

TYPED_TEST(SomeElementTypes, SoleOwnerWritesInPlace) {
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

TEST(ArrayTest, EmptyArraysAndElementReferences) {
    const Array plain;
    EXPECT_EQ(plain.getType(), ArrayType::DOUBLE);
    EXPECT_EQ(plain.getDimensions(), (std::vector<size_t>{0, 0}));
    const TypedArray<double> t(plain);
    EXPECT_EQ(t.begin(), t.end());
    TypedArray<std::complex<float>> empty = ArrayFactory().createArray<std::complex<float>>({3, 0});
    EXPECT_EQ(empty.begin(), empty.end());
    expectArrayException<ExceptionType::EmptyArrayIndex>([&] { empty[0]; },
                                                         "Can't index into an empty array.");

    auto a = ArrayFactory().createArray<std::complex<int32_t>>({1, 3});
    a[0] = std::complex<int32_t>(7, 8);
    a[1] = a[0];  // copies the value, does not rebind
    a[0] = std::complex<int32_t>(1, 2);
    EXPECT_EQ(elementsOf(a), (std::vector<std::complex<int32_t>>{{1, 2}, {7, 8}, {0, 0}}));
    expectArrayException<ExceptionType::InvalidArrayIndex>([&] { a[3]; }, invalidIndex);
}

TEST(ArrayTest, ImpossibleSizesReportOutOfMemory) {
    ArrayFactory factory;
    const size_t big = std::numeric_limits<size_t>::max() / 2;
    // Extents whose product overflows, a product whose byte size overflows (complex elements),
    // and sizes representable but far beyond any machine, where the allocation itself fails.
    for (const std::vector<size_t>& dims : std::vector<std::vector<size_t>>{
             {big, 3}, {big / 4, 1}, {size_t(1) << 30, size_t(1) << 27}}) {
        expectArrayException<ExceptionType::OutOfMemory>(
            [&] { factory.createArray<std::complex<double>>(dims); }, outOfMemory);
        expectArrayException<ExceptionType::OutOfMemory>([&] { factory.createArray<double>(dims); },
                                                         outOfMemory);
    }
    expectArrayException<ExceptionType::OutOfMemory>([&] { factory.createBuffer<int64_t>(big); },
                                                     outOfMemory);
}

// Handles shared between threads: the count is atomic, and each thread's writes go to a copy.
TEST(ArrayTest, HandlesSharedBetweenThreads) {
    freedBuffers = 0;
    {
        const TypedArray<int64_t> a =
            ArrayFactory().createArrayFromBuffer<int64_t>({2, 50}, countedBuffer<int64_t>(100));
        std::vector<std::thread> threads;
        std::vector<std::vector<int64_t>> seen(4);
        for (size_t t = 0; t < seen.size(); ++t) {
            threads.emplace_back([&a, &seen, t] {
                for (int i = 0; i < 500; ++i) {
                    Array copy = a;
                    TypedArray<int64_t> typed(copy);
                    Array moved = std::move(copy);
                    if (i % 100 == int(t)) {
                        *typed.begin() = -1;
                    } else if (i == 499) {
                        seen[t] = elementsOf(typed);
                    }
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        for (const auto& elements : seen) {
            EXPECT_EQ(elements, samples<int64_t>(100));
        }
        EXPECT_EQ(freedBuffers.load(), 0);
    }
    EXPECT_EQ(freedBuffers.load(), 1);
}

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
    EXPECT_EQ(out.get_deleter().function(), &countingFree);
    out.reset();
    EXPECT_EQ(freedBuffers.load(), 2);
}

TEST(BufferOwnership, RefusedBuffersStayWithTheCaller) {
    ArrayFactory factory;
    freedBuffers = 0;
    const std::vector<size_t> overflowing = {std::numeric_limits<size_t>::max(), 2}, one = {1, 1};
    expectArrayException<ExceptionType::OutOfMemory>(
        [&] { factory.createArrayFromBuffer<int16_t>(overflowing, countedBuffer<int16_t>(4)); },
        outOfMemory);
    EXPECT_EQ(freedBuffers.load(), 1);  // freed by the buffer_ptr_t, not by the runtime
    double value = 1;
    buffer_ptr_t<double> unowned(&value, BufferDeleter());
    expectArrayException<ExceptionType::SystemError>(
        [&] { factory.createArrayFromBuffer<double>(one, std::move(unowned)); }, "System Error.");
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

TEST(RuntimeEntries, ServesExactlyTheListedEntries) {
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

/// typeid of the exception class of every kind 0..59, indexed by kind.
template<size_t... K>
std::vector<std::type_index> kindClasses(std::index_sequence<K...>) {
    return {std::type_index(
        typeid(detail::ArrayException<kalvo::Exception, static_cast<ExceptionType>(K)>))...};
}

// One row per branch of the mapper: a kind with its own message (first, shared and last codes),
// the object-array text, the kinds that carry the caller's text, and codes without a kind.
TEST(ErrorMapper, ThrowsTheKindsClassWithItsMessage) {
    const std::vector<std::type_index> classOfKind = kindClasses(std::make_index_sequence<60>());
    const struct {
        int status;
        int kind;
        std::string message;
    } rows[] = {
        {1, 1, "Array index is invalid."},
        {25, 25, "Memory layout mismatch."},
        {35, 35,
         "ObjectArray not created. Elements must belong to the same class, or to classes that are "
         "part of a heterogeneous hierarchy."},
        {53, 53, "Invalid conversion from UTF-16 input to UTF-8 encoding."},
        {28, 28, "caller's own text"},
        {29, 29, "caller's own text"},
        {4, 20, "System Error."},
        {20, 20, "System Error."},
        {54, 20, "System Error."},
        {INT_MIN, 20, "System Error."},
    };
    EXPECT_NO_THROW(throwIfError(0, "ignored"));
    for (const auto& row : rows) {
        try {
            throwIfError(row.status, "caller's own text");
            ADD_FAILURE() << "status " << row.status << " did not throw";
        } catch (const kalvo::Exception& e) {
            EXPECT_EQ(std::type_index(typeid(e)), classOfKind.at(row.kind)) << row.status;
            EXPECT_EQ(e.what(), row.message) << row.status;
        }
    }
}

}  // namespace
}  // namespace kalvo::data::testing
