// src/core/kda_wrapper.hpp: KDArrayWrapper, a data array together with its private element buffer, shape and strides
#pragma once

#include <Python.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <type_traits>
#include <vector>

#include "dataarray/kalvo_data.hpp"

// Shapes and strides are handed to the buffer protocol as they are stored.
static_assert(std::is_same_v<Py_ssize_t, long>, "shape and stride vectors double as Py_ssize_t arrays");

namespace kalvo::py {

/// New reference to the Python value of one element: bool, int (signed or unsigned 64-bit), float, or complex.
template <class T>
PyObject* elementToPyObject(const T& element)
{
    if constexpr (std::is_same_v<T, bool>) {
        return PyBool_FromLong(element ? 1 : 0);
    } else if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(static_cast<double>(element));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(element));
    } else if constexpr (std::is_integral_v<T>) { // unsigned kinds and char16_t
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(element));
    } else { // std::complex<U>
        return PyComplex_FromDoubles(static_cast<double>(element.real()),
                                     static_cast<double>(element.imag()));
    }
}

/// New reference to the Python value of the element stored at `address` (any alignment); a logical byte is true when non-zero.
template <class T>
PyObject* elementBytesToPyObject(const char* address)
{
    if constexpr (std::is_same_v<T, bool>) {
        unsigned char byte;
        std::memcpy(&byte, address, 1);
        return PyBool_FromLong(byte != 0 ? 1 : 0);
    } else {
        T element;
        std::memcpy(&element, address, sizeof(T));
        return elementToPyObject(element);
    }
}

/// Writes the element stored at `address` with the stream's << for its type; a logical byte
/// prints as 1 when non-zero, 0 otherwise.
template <class T>
std::ostream& writeElementBytes(std::ostream& os, const char* address)
{
    if constexpr (std::is_same_v<T, bool>) {
        unsigned char byte;
        std::memcpy(&byte, address, 1);
        return os << (byte != 0 ? 1 : 0);
    } else {
        T element;
        std::memcpy(&element, address, sizeof(T));
        return os << element;
    }
}

/// Frees memory that came from malloc.
struct MallocFree {
    void operator()(void* p) const noexcept { std::free(p); }
};

} // namespace kalvo::py

namespace KDArrayWrapperVisitors {

/// Extraction of a real copy, the real parts or the imaginary parts of a data array.
struct NonComplexVisitor {
    /// What extractContents produces.
    enum OutputEnum : int {
        Noncomplex = 0, ///< real element types: copy of all elements
        Real = 1,       ///< complex element types: real parts
        Imag = 2,       ///< complex element types: imaginary parts
    };
};

} // namespace KDArrayWrapperVisitors

/// One data-array handle plus a private contiguous copy of its elements, with shape, byte strides and order.
/// Shared (std::shared_ptr) by a state and every partial array derived from it.
class KDArrayWrapper {
public:
    /// Takes over `array`; order 'F' (first index fastest) or 'C'.
    KDArrayWrapper(kalvo::data::Array&& array, char order);
    /// Shares `array`; order 'F' or 'C'.
    KDArrayWrapper(const kalvo::data::Array& array, char order);
    /// Shares other's handle and copies its description; a fresh buffer filled from the handle, export count 0.
    KDArrayWrapper(const KDArrayWrapper& other);
    KDArrayWrapper& operator=(const KDArrayWrapper&) = delete;
    ~KDArrayWrapper() = default;

    /// Reads dimensions, element size, strides and sizes from the handle and refills the buffer.
    /// Like setBuf() and reshape(), it replaces buf(): never call it while getExportCount() > 0.
    void init();
    /// Reallocates the buffer and refills it from the handle (the old one is freed after the new one is filled).
    void setBuf();

    /// m_nDim from the runtime's dimensions.
    void setNumberOfDimensions();
    /// m_nDim from the argument.
    void setNumberOfDimensions(int nDim);
    /// m_shape from the runtime's dimensions.
    void setShape();
    /// m_shape from the argument.
    void setShape(const std::vector<long>& shape);
    /// m_elemSizeInBytes from the runtime's element type.
    void setElementSizeInBytes();
    /// m_bytewiseStrides from m_shape, m_elemSizeInBytes and m_order.
    void setBytewiseStrides();
    /// m_numElems from the runtime.
    void setNumberOfElements();
    /// m_bufferSizeInBytes = m_numElems * m_elemSizeInBytes.
    void setBufferSizeInBytes();
    /// m_order ('F' or 'C').
    void setOrder(char order);

    /// A handle sharing the wrapped array.
    kalvo::data::Array array() const { return m_array; }
    /// The private element buffer; never null after construction (a 0-element array gets a 1-byte block).
    char* buf() const noexcept { return m_buf.get(); }
    /// Size of the element buffer in bytes.
    long getBufferSizeInBytes() const noexcept { return m_bufferSizeInBytes; }
    /// Size of one element (complex counts both parts).
    long getElementSizeInBytes() const noexcept { return m_elemSizeInBytes; }
    /// Number of dimensions.
    int getNumberOfDimensions() const noexcept { return m_nDim; }
    /// Number of elements of the whole array.
    long getNumberOfElements() const noexcept { return m_numElems; }
    /// 'F' or 'C'.
    char getOrder() const noexcept { return m_order; }
    /// Always 1: the buffer is exported read-only.
    int isReadOnly() const noexcept { return m_isReadOnly; }
    /// Extents, one per dimension.
    const std::vector<long>& shape() const noexcept { return m_shape; }
    /// Extents as a buffer-protocol shape array (the protocol never writes through it).
    Py_ssize_t* shapePointer() const noexcept { return const_cast<Py_ssize_t*>(m_shape.data()); }
    /// Byte strides, usable directly as a buffer-protocol strides array (the protocol never writes through it).
    Py_ssize_t* bytewiseStrides() const noexcept { return const_cast<Py_ssize_t*>(m_bytewiseStrides.data()); }
    /// Byte strides as a vector.
    const std::vector<long>& bytewiseStridesVector() const noexcept { return m_bytewiseStrides; }
    /// Always null.
    Py_ssize_t* suboffsets() const noexcept { return nullptr; }
    /// Buffer format string of the element type ("d", "Zf", "?", ...), or null.
    char* format() const;

    /// One more live buffer export.
    void incrementExportCount() noexcept { ++m_exports; }
    /// One live buffer export fewer; the last one frees the shapes and strides reshape() retired.
    void decrementExportCount() noexcept {
        if (--m_exports <= 0)
            m_retired.clear();
    }
    /// Number of live buffer exports pointing into buf().
    long getExportCount() const noexcept { return m_exports; }

    /// index, extent + index for a negative index, -999 when index >= extent of dimension dim.
    long normalizedIndex(long index, long dim) const;
    /// Element offset of `indices` (missing trailing indices count as 0); -1 for too many indices.
    long getElementOffsetFromIndices(const std::vector<long>& indices) const;
    /// New reference to element `offset` in the runtime's iteration order; null (no error set) when out of range.
    PyObject* getElementAsPyObjectFromElementOffset(long offset) const;

    /// Replaces the array by one with dimensions `dims` over the same storage order; all sharers see the new shape.
    /// A different element count throws std::invalid_argument; on any failure the wrapper is unchanged.
    void reshape(const std::vector<long>& dims, kalvo::data::ArrayFactory& factory, char order,
                 kalvo::data::MemoryLayout layout);
    /// 1-by-N copy of a real array.
    kalvo::data::Array noncomplex(kalvo::data::ArrayFactory& factory);
    /// 1-by-N real parts of a complex array.
    kalvo::data::Array real(kalvo::data::ArrayFactory& factory);
    /// 1-by-N imaginary parts of a complex array.
    kalvo::data::Array imag(kalvo::data::ArrayFactory& factory);
    /// 1-by-N array of the requested contents; std::runtime_error when `which` does not suit the element type.
    kalvo::data::Array extractContents(kalvo::data::ArrayFactory& factory,
                                       KDArrayWrapperVisitors::NonComplexVisitor::OutputEnum which);

    /// Writes element number `offset` (storage order) both into the runtime array and into buf().
    /// T is the array's exact element type (std::complex<U> for complex arrays); a mismatch throws the
    /// runtime interface's type exception. The handle is moved into a TypedArray<T>, written through its
    /// writable iterator and moved back, so the runtime copies the data only when another handle shares it.
    /// Returns false, writing nothing, when offset is outside [0, number of elements).
    template <class T>
    bool writeElementAtOffset(long offset, const T& element);
    /// Writes elements[i] at storage offset offsets[i] for i < count, as writeElementAtOffset does
    /// one by one, with one writable access to the runtime's storage for all of them. Returns
    /// false, writing nothing, when any offset is out of range.
    template <class T, class Elements>
    bool writeElementsAtOffsets(const long* offsets, size_t count, const Elements& elements);

    /// Debug dump of the array, description and buffer.
    void writeToOstream(std::ostream& os) const;

private:
    kalvo::data::Array m_array;           ///< the wrapped data-array handle
    std::vector<long> m_shape;            ///< extent of each dimension
    std::vector<long> m_bytewiseStrides;  ///< byte stride of each dimension
    char m_order = 'F';                   ///< 'F' or 'C'
    int32_t m_isReadOnly = 1;             ///< always 1
    long m_exports = 0;                   ///< live buffer exports
    int32_t m_nDim = 0;                   ///< length of m_shape
    long m_numElems = 0;                  ///< number of elements
    long m_bufferSizeInBytes = 0;         ///< m_numElems * m_elemSizeInBytes
    long m_elemSizeInBytes = 0;           ///< bytes per element (complex: both parts)
    std::unique_ptr<char, kalvo::py::MallocFree> m_buf; ///< private copy of all elements, storage order
    /// Shape and stride vectors replaced by reshape() while exports pointed at them, kept until
    /// the last export is released.
    std::vector<std::vector<long>> m_retired;
};

template <class T>
bool KDArrayWrapper::writeElementAtOffset(long offset, const T& element)
{
    return writeElementsAtOffsets<T>(&offset, 1, &element);
}

template <class T, class Elements>
bool KDArrayWrapper::writeElementsAtOffsets(const long* offsets, size_t count, const Elements& elements)
{
    for (size_t i = 0; i < count; ++i)
        if (offsets[i] < 0 || offsets[i] >= m_numElems)
            return false;
    if (count == 0)
        return true;
    // The type check leaves m_array untouched when it throws. Moving keeps the implementation's
    // owner count as it was, so begin() copies the elements only when some other handle (a host's,
    // a materialised copy) really shares them. The runtime keeps the elements contiguous in
    // storage order, so element 0's address reaches every element.
    kalvo::data::TypedArray<T> typed(std::move(m_array));
    T* storage = nullptr;
    try {
        storage = &*typed.begin();
    } catch (...) {
        m_array = std::move(typed);
        throw;
    }
    m_array = std::move(typed);
    for (size_t i = 0; i < count; ++i) {
        const T value = elements[i];
        storage[offsets[i]] = value;
        std::memcpy(m_buf.get() + offsets[i] * m_elemSizeInBytes, &value, sizeof(T));
    }
    return true;
}
