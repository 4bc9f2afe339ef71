// src/core/storage.cpp: KDArrayWrapper, the data-array handle with its shape, strides and element address
//
// Ownership rules of the array core:
// - The elements live once, in the runtime's storage behind m_array. A KDArrayWrapper holds one
//   share of that array; copying a wrapper shares it copy-on-write.
// - m_base caches the address of element 0 (read through a const iterator, which never copies).
//   It changes only when m_array moves to other storage: reshape(), a write that has to unshare,
//   init(). Each of those bumps m_generation.
// - m_writable caches the same address for writing once a write has made the storage private to
//   m_array. Handing out a share (array(), pin(), implForHost()) or moving storage forgets it, so
//   the next write asks the runtime again and copy on write holds for clones, readers' pins and
//   host handles.
// - Readers that call anything able to run Python code take a StoragePin first: a handle sharing
//   the storage plus copies of shape and strides. A reshape or write meanwhile then works on
//   storage of its own and the reader's memory stays valid.
// - Buffer exports hold a std::shared_ptr to the wrapper and their own shape and strides
//   (buffer_export.cpp) and point into the current storage. While m_exports is non-zero, storage
//   that m_array leaves (a write that had to copy) is kept in m_retired; reshape() moves the same
//   block into the new array, so the address exports hold stays valid and shows later writes.
// - A KCppPyArray (array_state.cpp) holds the wrapper through a std::shared_ptr; the Python object
//   owns its KCppPyArray exclusively. No Python reference is kept by either.

#include "core/storage.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "base/element_kinds.hpp"
#include "base/kind_dispatch.hpp"

using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::data::TypedArray;
using kalvo::py::TypedElementT;
using Output = KDArrayWrapperVisitors::NonComplexVisitor::OutputEnum;

namespace {

/// Address of element 0 of `array` without unsharing it; null when it has no elements.
const char* elementAddress(const Array& array) {
    if (array.getNumberOfElements() == 0)
        return nullptr;
    return apply_numeric_visitor(array, [](auto&& typed) -> const char* {
        using T = TypedElementT<decltype(typed)>;
        const TypedArray<T>& view = typed;
        return reinterpret_cast<const char*>(&*view.cbegin());
    });
}

}  // namespace

KDArrayWrapper::KDArrayWrapper(Array&& array, char order)
    : m_array(std::move(array)), m_order(order) {
    init();
}

KDArrayWrapper::KDArrayWrapper(const Array& array, char order) : m_array(array), m_order(order) {
    init();
}

KDArrayWrapper::KDArrayWrapper(const KDArrayWrapper& other)
    : m_array(other.m_array),
      m_shape(other.m_shape),
      m_bytewiseStrides(other.m_bytewiseStrides),
      m_order(other.m_order),
      m_isReadOnly(other.m_isReadOnly),
      m_exports(0),  // exports belong to the wrapper they were taken from
      m_nDim(other.m_nDim),
      m_numElems(other.m_numElems),
      m_bufferSizeInBytes(other.m_bufferSizeInBytes),
      m_elemSizeInBytes(other.m_elemSizeInBytes),
      m_type(other.m_type),
      m_base(other.m_base),
      m_lentToHost(other.m_lentToHost) {
    other.m_writable = nullptr;  // the storage is shared now
}

void KDArrayWrapper::init() {
    setShape();
    setNumberOfDimensions(static_cast<int>(m_shape.size()));
    setElementSizeInBytes();
    setBytewiseStrides();
    setNumberOfElements();
    setBufferSizeInBytes();
    m_type = m_array.getType();
    refreshAddress();
}

void KDArrayWrapper::refreshAddress() {
    m_base = elementAddress(m_array);
    m_writable = nullptr;
    ++m_generation;
}

void KDArrayWrapper::unshareForWriting() {
    std::optional<Array> previous = m_array.unshareKeepingPrevious();
    if (!previous)
        return;
    if (m_exports > 0)
        m_retired.push_back(std::move(*previous));
    refreshAddress();
}

void KDArrayWrapper::makeStoragePrivate() {
    unshareForWriting();
    if (!m_lentToHost)
        m_writable = const_cast<char*>(m_base);
}

Array KDArrayWrapper::array() const {
    m_writable = nullptr;
    return m_array;
}

void* KDArrayWrapper::implForHost() {
    m_lentToHost = true;
    m_writable = nullptr;
    return m_array.getImpl();
}

StoragePin KDArrayWrapper::pin() const {
    m_writable = nullptr;  // the pin shares the storage: the next write must copy it first
    return StoragePin{m_array, m_base, m_shape, m_bytewiseStrides, m_elemSizeInBytes};
}

void KDArrayWrapper::setNumberOfDimensions() {
    m_nDim = static_cast<int32_t>(m_array.getDimensions().size());
}

void KDArrayWrapper::setNumberOfDimensions(int nDim) { m_nDim = nDim; }

void KDArrayWrapper::setShape() {
    const std::vector<size_t> dims = m_array.getDimensions();
    m_shape.assign(dims.begin(), dims.end());
}

void KDArrayWrapper::setShape(const std::vector<long>& shape) { m_shape = shape; }

void KDArrayWrapper::setElementSizeInBytes() {
    m_elemSizeInBytes = apply_numeric_visitor(m_array, [](auto&& typed) -> long {
        return static_cast<long>(sizeof(TypedElementT<decltype(typed)>));
    });
}

void KDArrayWrapper::setBytewiseStrides() {
    std::vector<long> strides(static_cast<size_t>(m_nDim), 0);
    if (m_nDim > 0)
        PyBuffer_FillContiguousStrides(m_nDim, m_shape.data(), strides.data(),
                                       static_cast<int>(m_elemSizeInBytes), m_order);
    m_bytewiseStrides.swap(strides);
}

void KDArrayWrapper::setNumberOfElements() {
    m_numElems = static_cast<long>(m_array.getNumberOfElements());
}

void KDArrayWrapper::setBufferSizeInBytes() {
    m_bufferSizeInBytes = m_numElems * m_elemSizeInBytes;
}

char* KDArrayWrapper::format() const { return classid2format(m_array.getType()); }

long KDArrayWrapper::getElementOffsetFromIndices(const std::vector<long>& indices) const {
    if (indices.size() > static_cast<size_t>(m_nDim))
        return -1;
    long byteOffset = 0;
    for (size_t i = 0; i < indices.size(); ++i)
        byteOffset += indices[i] * m_bytewiseStrides[i];
    return byteOffset / m_elemSizeInBytes;
}

void KDArrayWrapper::reshape(const std::vector<long>& dims, ArrayFactory& factory, char order,
                             MemoryLayout layout) {
    long product = 1;
    for (long d : dims) {
        if (d < 0)
            throw std::invalid_argument("reshape() must be passed nonnegative dimensions.");
        product *= d;
    }
    // The runtime reads the released storage with the new dimensions; a different count would
    // make it read past the storage.
    if (product != m_numElems)
        throw std::invalid_argument("reshape() must keep the number of elements.");
    const std::vector<size_t> newDims(dims.begin(), dims.end());
    std::vector<long> newShape(dims);
    std::vector<long> newStrides(dims.size(), 0);
    if (!dims.empty())
        PyBuffer_FillContiguousStrides(static_cast<int>(dims.size()), newShape.data(),
                                       newStrides.data(), static_cast<int>(m_elemSizeInBytes),
                                       order);
    // Only a private storage can be handed to the new array as it is: a storage shared with a
    // clone, a host or a reader's pin is copied first (and kept while exports point into it).
    unshareForWriting();
    const std::vector<size_t> oldDims(m_shape.begin(), m_shape.end());
    // Moving keeps the handle's owner count at one, so release() hands the block out as it is and
    // the new array takes over the same block. A failed type check leaves m_array untouched.
    apply_numeric_visitor(std::move(m_array), [&](auto&& owner) {
        using T = TypedElementT<decltype(owner)>;
        kalvo::data::buffer_ptr_t<T> block;
        try {
            block = owner.release();
        } catch (...) {
            m_array = std::move(owner);
            throw;
        }
        try {
            m_array = factory.createArrayFromBuffer<T>(newDims, std::move(block), layout);
        } catch (...) {
            // The block is still ours: give it back its old dimensions.
            m_array = factory.createArrayFromBuffer<T>(oldDims, std::move(block), layout);
            refreshAddress();
            throw;
        }
    });
    m_nDim = static_cast<int32_t>(dims.size());
    m_shape.swap(newShape);
    m_order = order;
    m_bytewiseStrides.swap(newStrides);
    refreshAddress();
}

Array KDArrayWrapper::noncomplex(ArrayFactory& factory) {
    return extractContents(factory, Output::Noncomplex);
}

Array KDArrayWrapper::real(ArrayFactory& factory) { return extractContents(factory, Output::Real); }

Array KDArrayWrapper::imag(ArrayFactory& factory) { return extractContents(factory, Output::Imag); }

Array KDArrayWrapper::extractContents(ArrayFactory& factory, Output which) {
    // The storage holds the elements in the runtime's iteration order; nothing here runs Python code.
    const char* source = m_base;
    const long n = m_numElems;
    return apply_numeric_visitor(m_array, [&](auto&& typed) -> Array {
        using T = TypedElementT<decltype(typed)>;
        const std::vector<size_t> dims{1, static_cast<size_t>(n)};
        if constexpr (kalvo::py::IsComplexElement<T>::value) {
            if (which != Output::Real && which != Output::Imag)
                throw std::runtime_error("Invalid enum for complex array: " +
                                         std::to_string(static_cast<int>(which)));
            using R = typename T::value_type;
            auto buffer = factory.createBuffer<R>(static_cast<size_t>(n));
            const size_t part = which == Output::Real ? 0 : 1;
            for (long i = 0; i < n; ++i)
                std::memcpy(&buffer[i], source + (2 * i + part) * sizeof(R), sizeof(R));
            return factory.createArrayFromBuffer<R>(dims, std::move(buffer),
                                                    MemoryLayout::COLUMN_MAJOR);
        } else {
            if (which != Output::Noncomplex)
                throw std::runtime_error("Invalid enum for noncomplex array: " +
                                         std::to_string(static_cast<int>(which)));
            auto buffer = factory.createBuffer<T>(static_cast<size_t>(n));
            if (n > 0)
                std::memcpy(buffer.get(), source, static_cast<size_t>(n) * sizeof(T));
            return factory.createArrayFromBuffer<T>(dims, std::move(buffer),
                                                    MemoryLayout::COLUMN_MAJOR);
        }
    });
}
