// src/construct/constructor_parser.hpp: turning constructor arguments into dimensions and elements
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "contract/huge_pages.hpp"
#include "dataarray/kalvo_data.hpp"

namespace kalvo::py {

/// One collected logical element. std::vector<bool> packs bits, so logical elements are kept one
/// byte each; the element converts to and from bool and has bool's size.
struct LogicalElement {
    bool value = false;
    LogicalElement() = default;
    LogicalElement(bool v) noexcept : value(v) {}     // NOLINT: implicit on purpose
    operator bool() const noexcept { return value; }  // NOLINT: implicit on purpose
};
static_assert(sizeof(LogicalElement) == sizeof(bool), "logical elements must stay one byte");

/// The type `FinalConstructorParser<T>::elements` holds: T itself, except LogicalElement for bool.
template<class T>
using CollectedElement = std::conditional_t<std::is_same_v<T, bool>, LogicalElement, T>;

/// Allocator of collected elements on malloc/free: a request the system cannot satisfy becomes
/// std::bad_alloc from a null result in every build, also under sanitizer runtimes, whose
/// operator new aborts instead of throwing.
template<class T>
struct CollectedAllocator {
    using value_type = T;
    CollectedAllocator() noexcept = default;
    template<class U>
    CollectedAllocator(const CollectedAllocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(size_t n) {
        if (n > std::numeric_limits<size_t>::max() / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* p = std::malloc(n * sizeof(T));
        if (p == nullptr && n > 0) {
            throw std::bad_alloc();
        }
        kalvo::data::detail::adviseHugePages(p, n * sizeof(T));
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }
    template<class U>
    bool operator==(const CollectedAllocator<U>&) const noexcept {
        return true;
    }
    template<class U>
    bool operator!=(const CollectedAllocator<U>&) const noexcept {
        return false;
    }
};

/// The vector `FinalConstructorParser<T>::elements` is.
template<class T>
using CollectedElements = std::vector<CollectedElement<T>, CollectedAllocator<CollectedElement<T>>>;

}  // namespace kalvo::py

/// Reads the arguments of an array constructor for element type T (the eleven real types and
/// std::complex of the ten numeric ones) into dimensions and a filled element buffer.
/// Failing members set a Python error and return false (or set `ok` false with an empty buffer).
template<class T>
class FinalConstructorParser {
public:
    using buffer_t = kalvo::data::buffer_ptr_t<T>;

    /// Dimensions from 'size' (or the default 0-by-0); empty when 'size' was not given.
    std::vector<size_t> sizeDims;
    /// Dimensions discovered from the initializer or 'vector'.
    std::vector<size_t> initializerDims;
    /// Creates element buffers and arrays.
    kalvo::data::ArrayFactory factory;
    /// Cached element count of `sizeDims`; 0 means not computed yet.
    size_t numElements = 0;
    /// The collected elements are already in column-major (storage) order.
    bool dataIsColumnMajor = false;
    /// Only "size" was given: the array is all zeros and no element buffer is filled.
    bool zeroFilled = false;
    /// Room for `elements` has been reserved once.
    bool storageReserved = false;
    /// Elements of a nested-sequence or scalar initializer, in row-major (nesting) order.
    kalvo::py::CollectedElements<T> elements;
    /// Current nesting depth of the nested walk.
    size_t depth = 0;
    /// Depth of the first scalar met by the nested walk; 0 = none yet.
    size_t scalarDepth = 0;
    /// Per depth, the length of the sequence being walked.
    std::vector<size_t> lengthsAtDepth;

    /// Parses "|OOOO" (initializer, size, vector, is_complex) and returns the filled buffer.
    buffer_t processConstructorArgsAndKwargs(PyObject* args, PyObject* kwargs, bool& ok);
    /// Reads an initializer: buffer-protocol import or nested walk, then final dimensions.
    buffer_t processInitializerKwarg(PyObject* initializer, bool& ok);
    /// Walks a nested sequence (or a scalar), collecting elements and dimensions.
    bool processNestedInitializer(PyObject* item, bool lenient);
    /// Final form of a one-level initializer shape ({n} -> {1, n}, or checked against 'size').
    bool finishFlatInitializerDims();
    /// Reads 'size' into `sizeDims` and reserves room for its element count.
    bool processSizeKwarg(PyObject* size);
    /// Reads 'vector' straight into the returned buffer.
    buffer_t processVectorKwarg(PyObject* vector, bool& ok);
    /// Compares `initializerDims` with `sizeDims` (ShapeError on count, SizeError on shape).
    bool checkInitializerDimsAgainstSize();
    /// Reserves room for `n` elements once; MemoryError on failure.
    bool reserveElements(size_t n);
    /// Imports a contiguous buffer view with a compatible format by one block copy.
    bool processBufferInitializer(Py_buffer* view);
    /// Fills the element buffer straight from nested exact lists or tuples of exact numbers, in
    /// column-major order, without running Python code. False when it declines (anything the
    /// generic walk must judge; nothing is changed then) or, with `raised` set, when the walk
    /// would fail with the RecursionError it raised.
    bool fillFromExactSequences(PyObject* initializer, bool& raised);

    /// The array's dimensions: `sizeDims` when given, else `initializerDims`.
    const std::vector<size_t>& finalDims() const noexcept {
        return sizeDims.empty() ? initializerDims : sizeDims;
    }
    /// A runtime buffer of `elements.size()` elements holding a copy of `elements`; on failure a
    /// Python error is set and the result is empty.
    buffer_t copyElementsToBuffer(bool& ok);
    /// A runtime buffer of `n` elements; MemoryError (or the runtime's error) and empty on failure.
    buffer_t createBuffer(size_t n, bool& ok);

private:
    bool setSizeDims(const std::vector<size_t>& dims);
    bool checkCollectedCountMatchesDims();
    size_t collectedCount() const noexcept { return elements.size() + m_importedCount; }

    /// Filled by processBufferInitializer or fillFromExactSequences: the elements, written
    /// straight into a runtime buffer (so `elements` stays empty on those paths).
    buffer_t m_importedBuffer;
    size_t m_importedCount = 0;
    bool m_hasImportedBuffer = false;
};

/// Creates the column-major data array described by `parser` from `buffer`, which holds the
/// elements in row-major order unless `parser.dataIsColumnMajor` is set (or there are fewer
/// than two); row-major elements are reordered into a second buffer first. On failure sets a
/// Python error and returns nothing.
template<class T>
std::optional<kalvo::data::Array> createArrayFromParser(FinalConstructorParser<T>& parser,
                                                        kalvo::data::buffer_ptr_t<T> buffer);
