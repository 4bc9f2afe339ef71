// src/core/storage.hpp: KDArrayWrapper, a data array together with its shape, strides and element address
#pragma once

#include <Python.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "dataarray/kalvo_data.hpp"

// Shapes and strides are handed to the buffer protocol as copies of these vectors.
static_assert(std::is_same_v<Py_ssize_t, long>,
              "shape and stride vectors double as Py_ssize_t arrays");

namespace kalvo::py {

/// New reference to the Python value of one element: bool, int (signed or unsigned 64-bit), float, or complex.
template<class T>
PyObject* elementToPyObject(const T& element) {
    if constexpr (std::is_same_v<T, bool>) {
        return PyBool_FromLong(element ? 1 : 0);
    } else if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(static_cast<double>(element));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(element));
    } else if constexpr (std::is_integral_v<T>) {  // unsigned kinds and char16_t
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(element));
    } else {  // std::complex<U>
        return PyComplex_FromDoubles(static_cast<double>(element.real()),
                                     static_cast<double>(element.imag()));
    }
}

/// New reference to the Python value of the element stored at `address` (any alignment); a logical byte is true when non-zero.
template<class T>
PyObject* elementBytesToPyObject(const char* address) {
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

}  // namespace kalvo::py

namespace KDArrayWrapperVisitors {

/// Extraction of a real copy, the real parts or the imaginary parts of a data array.
struct NonComplexVisitor {
    /// What extractContents produces.
    enum OutputEnum : int {
        Noncomplex = 0,  ///< real element types: copy of all elements
        Real = 1,        ///< complex element types: real parts
        Imag = 2,        ///< complex element types: imaginary parts
    };
};

}  // namespace KDArrayWrapperVisitors

/// What a reader holds across calls that can run Python code: a share of the storage (so a
/// reshape, a write that unshares or the loss of every other reference cannot free it) and its
/// own copy of the extents and byte strides as they were when it was taken. `base` is element 0
/// of that storage, null when the array has no elements.
struct StoragePin {
    kalvo::data::Array handle;   ///< keeps the storage alive
    const char* base = nullptr;  ///< element 0, storage order
    std::vector<long> shape;     ///< extents when pinned
    std::vector<long> strides;   ///< byte strides when pinned
    long elementSize = 0;        ///< bytes per element (complex: both parts)
};

/// One data-array handle with its shape, byte strides and order. The elements live only in the
/// runtime's storage; the wrapper caches the address of element 0 (and, while it alone owns the
/// storage, the writable address) behind a generation counter that every reshape or unshare bumps.
/// Shared (std::shared_ptr) by a state, every partial array derived from it, and every export.
class KDArrayWrapper {
public:
    /// Takes over `array`; order 'F' (first index fastest) or 'C'.
    KDArrayWrapper(kalvo::data::Array&& array, char order);
    /// Shares `array`; order 'F' or 'C'.
    KDArrayWrapper(const kalvo::data::Array& array, char order);
    /// Shares other's handle (copy on write) and copies its description; export count 0.
    KDArrayWrapper(const KDArrayWrapper& other);
    KDArrayWrapper& operator=(const KDArrayWrapper&) = delete;
    ~KDArrayWrapper() = default;

    /// Reads dimensions, element size, strides, sizes and the element address from the handle.
    void init();

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

    /// A handle sharing the wrapped array (copy on write: a later write through either copies).
    kalvo::data::Array array() const;
    /// The wrapped implementation, lent to host code. The host may share it behind the handle's
    /// back, so from now on every write asks the runtime whether the storage is shared.
    void* implForHost();
    /// Address of element 0 in the runtime's storage (storage order); null when there are no
    /// elements. Valid until the next reshape or write that unshares (see generation()); pin()
    /// before calling anything that can run Python code.
    const char* data() const noexcept { return m_base; }
    /// Bumped by every reshape and every switch to other storage.
    unsigned long generation() const noexcept { return m_generation; }
    /// Bumped by every element write.
    unsigned long writeCount() const noexcept { return m_writes; }
    /// A share of the storage with copies of the shape and strides; a later write copies first.
    StoragePin pin() const;
    /// Address of element 0 for writing, T being the array's exact element type (a mismatch throws
    /// the runtime interface's type exception). Copies the elements first if any other handle
    /// shares them; storage left behind while exports point into it is kept until they are released.
    template<class T>
    T* writableData();
    /// Copies the elements now if any other handle shares them, so this wrapper has storage of its own.
    void makeStoragePrivate();

    /// Size of the element storage in bytes.
    long getBufferSizeInBytes() const noexcept { return m_bufferSizeInBytes; }
    /// Size of one element (complex counts both parts).
    long getElementSizeInBytes() const noexcept { return m_elemSizeInBytes; }
    /// Number of dimensions.
    int getNumberOfDimensions() const noexcept { return m_nDim; }
    /// Number of elements of the whole array.
    long getNumberOfElements() const noexcept { return m_numElems; }
    /// 'F' or 'C'.
    char getOrder() const noexcept { return m_order; }
    /// Always 1: the storage is exported read-only.
    int isReadOnly() const noexcept { return m_isReadOnly; }
    /// Extents, one per dimension.
    const std::vector<long>& shape() const noexcept { return m_shape; }
    /// Byte strides as a vector.
    const std::vector<long>& bytewiseStridesVector() const noexcept { return m_bytewiseStrides; }
    /// Always null.
    Py_ssize_t* suboffsets() const noexcept { return nullptr; }
    /// Buffer format string of the element type ("d", "Zf", "?", ...), or null.
    char* format() const;

    /// One more live buffer export pointing into the current storage.
    void incrementExportCount() noexcept { ++m_exports; }
    /// One live buffer export fewer; the last one lets go of storage kept for exports.
    void decrementExportCount() noexcept {
        if (--m_exports <= 0)
            m_retired.clear();
    }
    /// Number of live buffer exports.
    long getExportCount() const noexcept { return m_exports; }

    /// Element offset of `indices` (missing trailing indices count as 0); -1 for too many indices.
    long getElementOffsetFromIndices(const std::vector<long>& indices) const;

    /// Gives the storage dimensions `dims` (same elements, same storage order) without copying
    /// it when this wrapper alone owns it; all sharers see the new shape. A different element
    /// count throws std::invalid_argument; on any failure the wrapper is unchanged.
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

    /// Writes element number `offset` (storage order) into the runtime's storage.
    /// T is the array's exact element type (std::complex<U> for complex arrays); a mismatch throws the
    /// runtime interface's type exception. Returns false, writing nothing, when offset is outside
    /// [0, number of elements).
    template<class T>
    bool writeElementAtOffset(long offset, const T& element);
    /// Writes elements[i] at storage offset offsets[i] for i < count, with one writable access to
    /// the runtime's storage for all of them. Returns false, writing nothing, when any offset is
    /// out of range.
    template<class T, class Elements>
    bool writeElementsAtOffsets(const long* offsets, size_t count, const Elements& elements);

private:
    /// Re-reads the address of element 0 and forgets the writable address.
    void refreshAddress();
    /// Makes the storage private to m_array (copying it if shared), keeping the storage left
    /// behind alive while exports point into it.
    void unshareForWriting();

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
    kalvo::data::ArrayType m_type{};      ///< the runtime's element class
    const char* m_base = nullptr;         ///< element 0 of m_array's storage, null without elements
    /// m_base for writing, set while m_array is known to be the storage's only owner; reset when a
    /// share is handed out or the storage changes.
    mutable char* m_writable = nullptr;
    bool m_lentToHost = false;       ///< implForHost() was called: never cache m_writable
    unsigned long m_generation = 0;  ///< bumped by reshape and unshare
    unsigned long m_writes = 0;      ///< bumped by element writes
    /// Storage that exports point into but m_array has left (a write had to copy), kept until the
    /// last export is released.
    std::vector<kalvo::data::Array> m_retired;
};

template<class T>
T* KDArrayWrapper::writableData() {
    if (m_writable == nullptr || kalvo::data::arrayTypeOf<T>() != m_type) {
        // The type check leaves m_array untouched when it throws.
        { const kalvo::data::TypedArray<T> check(m_array); }
        unshareForWriting();
        if (!m_lentToHost)
            m_writable = const_cast<char*>(m_base);
    }
    ++m_writes;
    return reinterpret_cast<T*>(const_cast<char*>(m_base));
}

template<class T>
bool KDArrayWrapper::writeElementAtOffset(long offset, const T& element) {
    return writeElementsAtOffsets<T>(&offset, 1, &element);
}

template<class T, class Elements>
bool KDArrayWrapper::writeElementsAtOffsets(const long* offsets, size_t count,
                                            const Elements& elements) {
    for (size_t i = 0; i < count; ++i)
        if (offsets[i] < 0 || offsets[i] >= m_numElems)
            return false;
    if (count == 0)
        return true;
    T* storage = writableData<T>();
    for (size_t i = 0; i < count; ++i)
        storage[offsets[i]] = elements[i];
    return true;
}
