// tests/cpp/data_test_support.hpp: element type lists, sample values and a counting buffer
// deleter shared by the C++ suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "dataarray/kalvo_data.hpp"

namespace kalvo::data::testing {

using AllTypes =
    ::testing::Types<bool, char16_t, double, float, int8_t, uint8_t, int16_t, uint16_t, int32_t,
                     uint32_t, int64_t, uint64_t, std::complex<double>, std::complex<float>,
                     std::complex<int8_t>, std::complex<uint8_t>, std::complex<int16_t>,
                     std::complex<uint16_t>, std::complex<int32_t>, std::complex<uint32_t>,
                     std::complex<int64_t>, std::complex<uint64_t>>;
/// A few real and complex types for suites where the element type matters little.
using MixedTypes =
    ::testing::Types<bool, double, int8_t, uint64_t, std::complex<double>, std::complex<int16_t>>;

/// A value of T that differs for each small i (bool alternates, starting with true).
template<class T>
T sample(size_t i) {
    if constexpr (std::is_same_v<T, bool>) {
        return i % 2 == 0;
    } else if constexpr (detail::isComplex<T>) {
        using Part = typename T::value_type;
        return T(sample<Part>(i), sample<Part>(i + 3));
    } else {
        return static_cast<T>(i % 100 + 1);
    }
}

/// A value of T unlike sample<T>(i) for the i tests use (for bool: unlike sample<bool>(0)).
template<class T>
T other() {
    return sample<T>(99);
}

/// n sample values in order.
template<class T>
std::vector<T> samples(size_t n) {
    std::vector<T> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(sample<T>(i));
    }
    return out;
}

/// Counts the buffers freed through countingFree.
inline std::atomic<int> freedBuffers{0};

extern "C" inline void countingFree(void* p) {
    ++freedBuffers;
    std::free(p);
}

/// A buffer of n elements (sample values) owned by the test, freed through countingFree.
template<class T>
buffer_ptr_t<T> countedBuffer(size_t n) {
    T* elements = static_cast<T*>(std::malloc(n == 0 ? 1 : n * sizeof(T)));
    if (elements == nullptr) {
        throw std::bad_alloc();
    }
    const std::vector<T> values = samples<T>(n);
    std::uninitialized_copy(values.begin(), values.end(), elements);
    return buffer_ptr_t<T>(elements, BufferDeleter(&countingFree));
}

/// An array of extents `dims` made from a buffer of sample values in `layout`.
template<class T>
TypedArray<T> sampleArray(std::vector<size_t> dims,
                          MemoryLayout layout = MemoryLayout::COLUMN_MAJOR) {
    ArrayFactory factory;
    const size_t n = std::accumulate(dims.begin(), dims.end(), size_t{1}, std::multiplies<>());
    const std::vector<T> values = samples<T>(n);
    auto buffer = factory.createBuffer<T>(n);
    std::copy(values.begin(), values.end(), buffer.get());
    return factory.createArrayFromBuffer<T>(std::move(dims), std::move(buffer), layout);
}

/// The elements of `array` in iteration (storage) order.
template<class T>
std::vector<T> elementsOf(const TypedArray<T>& array) {
    return std::vector<T>(array.begin(), array.end());
}

/// Runs `body`, expecting the ArrayException of kind `kind` with message `message`.
template<ExceptionType kind, class F>
void expectArrayException(F&& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no exception, expected kind " << int(kind) << " \"" << message << "\"";
    } catch (const detail::ArrayException<kalvo::Exception, kind>& e) {
        EXPECT_EQ(std::string(e.what()), message);
    } catch (const kalvo::Exception& e) {
        ADD_FAILURE() << "wrong kind, message \"" << e.what() << "\"";
    }
}

}  // namespace kalvo::data::testing
