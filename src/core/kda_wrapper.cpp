// src/core/kda_wrapper.cpp: KDArrayWrapper, the data-array handle with its private element buffer
//
// Ownership rules of the array core:
// - A KDArrayWrapper owns its element buffer m_buf (malloc/free through a unique_ptr) and one share
//   of the runtime's array m_array. Copying a wrapper shares m_array but never m_buf.
// - m_buf mirrors m_array element for element, in storage order. It is refilled from m_array by
//   init(), setBuf(), the copy constructor and reshape(), and otherwise changes only through
//   writeElementAtOffset(), which writes the runtime array and m_buf together. Nothing copies m_buf
//   back into the runtime.
// - m_buf is never null once a wrapper exists (a 0-element array gets a 1-byte block), so readers
//   never meet a missing buffer. A failed allocation throws std::bad_alloc, which the slot guard
//   turns into MemoryError; the wrapper is left as it was.
// - Buffer exports point into m_buf, m_shape and m_bytewiseStrides. init() and setBuf() replace
//   m_buf and are never called while getExportCount() is non-zero. reshape() is allowed then: it
//   keeps m_buf (the same elements in the same storage order) and retires the old shape and
//   stride vectors until the last export is released, so every view stays valid.
// - A KCppPyArray (kcpp_py_array.cpp) holds the wrapper through a std::shared_ptr; the Python object
//   owns its KCppPyArray exclusively. No Python reference is kept by either.

#include "core/kda_wrapper.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "core/typed_dispatch.hpp"
#include "dataarray/huge_pages.hpp"
#include "module/element_kinds.hpp"

using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::data::TypedArray;
using kalvo::py::MallocFree;
using kalvo::py::TypedElementT;
using Output = KDArrayWrapperVisitors::NonComplexVisitor::OutputEnum;

namespace {

/// A malloc'ed copy of all elements of `array` (`bytes` bytes, at least one byte allocated).
std::unique_ptr<char, MallocFree> makeFilledBufferFrom(const Array& array, long bytes)
{
    std::unique_ptr<char, MallocFree> buffer(
        static_cast<char*>(std::malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1)));
    if (!buffer)
        throw std::bad_alloc();
    kalvo::data::detail::adviseHugePages(buffer.get(), static_cast<size_t>(bytes));
    if (bytes > 0) {
        apply_numeric_visitor(array, [&](auto&& typed) {
            using T = TypedElementT<decltype(typed)>;
            // The runtime keeps an array's elements contiguous in storage order, so the address
            // of element 0 starts all of them. Read access through a const view shares the
            // storage: no private copy is made first.
            const TypedArray<T>& view = typed;
            if (view.getNumberOfElements() * sizeof(T) < static_cast<size_t>(bytes))
                throw std::logic_error("element buffer is larger than the data array.");
            const T& first = *view.cbegin();
            std::memcpy(buffer.get(), &first, static_cast<size_t>(bytes));
        });
    }
    return buffer;
}

} // namespace

KDArrayWrapper::KDArrayWrapper(Array&& array, char order) : m_array(std::move(array)), m_order(order)
{
    init();
}

KDArrayWrapper::KDArrayWrapper(const Array& array, char order) : m_array(array), m_order(order)
{
    init();
}

KDArrayWrapper::KDArrayWrapper(const KDArrayWrapper& other)
    : m_array(other.m_array),
      m_shape(other.m_shape),
      m_bytewiseStrides(other.m_bytewiseStrides),
      m_order(other.m_order),
      m_isReadOnly(other.m_isReadOnly),
      m_exports(0), // exports belong to the wrapper whose buffer they point into
      m_nDim(other.m_nDim),
      m_numElems(other.m_numElems),
      m_bufferSizeInBytes(other.m_bufferSizeInBytes),
      m_elemSizeInBytes(other.m_elemSizeInBytes),
      m_buf(makeFilledBufferFrom(m_array, m_bufferSizeInBytes))
{
}

void KDArrayWrapper::init()
{
    setShape();
    setNumberOfDimensions(static_cast<int>(m_shape.size()));
    setElementSizeInBytes();
    setBytewiseStrides();
    setNumberOfElements();
    setBufferSizeInBytes();
    setBuf();
}

void KDArrayWrapper::setBuf() { m_buf = makeFilledBufferFrom(m_array, m_bufferSizeInBytes); }

void KDArrayWrapper::setNumberOfDimensions()
{
    m_nDim = static_cast<int32_t>(m_array.getDimensions().size());
}

void KDArrayWrapper::setNumberOfDimensions(int nDim) { m_nDim = nDim; }

void KDArrayWrapper::setShape()
{
    const std::vector<size_t> dims = m_array.getDimensions();
    m_shape.assign(dims.begin(), dims.end());
}

void KDArrayWrapper::setShape(const std::vector<long>& shape) { m_shape = shape; }

void KDArrayWrapper::setElementSizeInBytes()
{
    m_elemSizeInBytes = apply_numeric_visitor(m_array, [](auto&& typed) -> long {
        return static_cast<long>(sizeof(TypedElementT<decltype(typed)>));
    });
}

void KDArrayWrapper::setBytewiseStrides()
{
    std::vector<long> strides(static_cast<size_t>(m_nDim), 0);
    if (m_nDim > 0)
        PyBuffer_FillContiguousStrides(m_nDim, m_shape.data(), strides.data(),
                                       static_cast<int>(m_elemSizeInBytes), m_order);
    m_bytewiseStrides.swap(strides);
}

void KDArrayWrapper::setNumberOfElements() { m_numElems = static_cast<long>(m_array.getNumberOfElements()); }

void KDArrayWrapper::setBufferSizeInBytes() { m_bufferSizeInBytes = m_numElems * m_elemSizeInBytes; }

void KDArrayWrapper::setOrder(char order) { m_order = order; }

char* KDArrayWrapper::format() const { return classid2format(m_array.getType()); }

long KDArrayWrapper::normalizedIndex(long index, long dim) const
{
    const long extent = m_shape.at(static_cast<size_t>(dim));
    if (index >= extent)
        return -999;
    return index < 0 ? extent + index : index;
}

long KDArrayWrapper::getElementOffsetFromIndices(const std::vector<long>& indices) const
{
    if (indices.size() > static_cast<size_t>(m_nDim))
        return -1;
    long byteOffset = 0;
    for (size_t i = 0; i < indices.size(); ++i)
        byteOffset += indices[i] * m_bytewiseStrides[i];
    return byteOffset / m_elemSizeInBytes;
}

PyObject* KDArrayWrapper::getElementAsPyObjectFromElementOffset(long offset) const
{
    if (offset < 0 || offset >= static_cast<long>(m_array.getNumberOfElements()))
        return nullptr;
    return apply_numeric_visitor(m_array, [offset](auto&& typed) -> PyObject* {
        using T = TypedElementT<decltype(typed)>;
        const TypedArray<T>& view = typed;
        auto it = view.begin();
        it += static_cast<size_t>(offset);
        return kalvo::py::elementBytesToPyObject<T>(reinterpret_cast<const char*>(&*it));
    });
}

void KDArrayWrapper::reshape(const std::vector<long>& dims, ArrayFactory& factory, char order,
                             MemoryLayout layout)
{
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
    Array replacement = apply_numeric_visitor(m_array, [&](auto&& typed) -> Array {
        using T = TypedElementT<decltype(typed)>;
        return factory.createArrayFromBuffer<T>(newDims, typed.release(), layout);
    });
    std::vector<long> newShape(dims);
    std::vector<long> newStrides(dims.size(), 0);
    if (!dims.empty())
        PyBuffer_FillContiguousStrides(static_cast<int>(dims.size()), newShape.data(), newStrides.data(),
                                       static_cast<int>(m_elemSizeInBytes), order);
    // Exports read m_buf, which already holds these elements in this order: it stays.
    const bool exported = m_exports > 0;
    std::unique_ptr<char, MallocFree> newBuf;
    if (exported)
        m_retired.reserve(m_retired.size() + 2);
    else
        newBuf = makeFilledBufferFrom(replacement, m_bufferSizeInBytes);
    // Everything that can fail has run; commit.
    m_array = std::move(replacement);
    m_nDim = static_cast<int32_t>(dims.size());
    m_shape.swap(newShape);
    m_order = order;
    m_bytewiseStrides.swap(newStrides);
    if (exported) {
        m_retired.push_back(std::move(newShape));  // now the old shape
        m_retired.push_back(std::move(newStrides));
    } else {
        m_buf = std::move(newBuf);
    }
}

Array KDArrayWrapper::noncomplex(ArrayFactory& factory) { return extractContents(factory, Output::Noncomplex); }

Array KDArrayWrapper::real(ArrayFactory& factory) { return extractContents(factory, Output::Real); }

Array KDArrayWrapper::imag(ArrayFactory& factory) { return extractContents(factory, Output::Imag); }

Array KDArrayWrapper::extractContents(ArrayFactory& factory, Output which)
{
    // m_buf holds the elements in the runtime's iteration order, so the extraction reads it directly.
    const char* source = m_buf.get();
    const long n = m_numElems;
    return apply_numeric_visitor(m_array, [&](auto&& typed) -> Array {
        using T = TypedElementT<decltype(typed)>;
        const std::vector<size_t> dims{1, static_cast<size_t>(n)};
        if constexpr (kalvo::py::IsComplexElement<T>::value) {
            if (which != Output::Real && which != Output::Imag)
                throw std::runtime_error("Invalid enum for complex array: " + std::to_string(static_cast<int>(which)));
            using R = typename T::value_type;
            auto buffer = factory.createBuffer<R>(static_cast<size_t>(n));
            const size_t part = which == Output::Real ? 0 : 1;
            for (long i = 0; i < n; ++i)
                std::memcpy(&buffer[i], source + (2 * i + part) * sizeof(R), sizeof(R));
            return factory.createArrayFromBuffer<R>(dims, std::move(buffer), MemoryLayout::COLUMN_MAJOR);
        } else {
            if (which != Output::Noncomplex)
                throw std::runtime_error("Invalid enum for noncomplex array: " +
                                         std::to_string(static_cast<int>(which)));
            auto buffer = factory.createBuffer<T>(static_cast<size_t>(n));
            if (n > 0)
                std::memcpy(buffer.get(), source, static_cast<size_t>(n) * sizeof(T));
            return factory.createArrayFromBuffer<T>(dims, std::move(buffer), MemoryLayout::COLUMN_MAJOR);
        }
    });
}

void KDArrayWrapper::writeToOstream(std::ostream& os) const
{
    apply_numeric_visitor(m_array, [&](auto&& typed) {
        using T = TypedElementT<decltype(typed)>;
        const TypedArray<T>& view = typed;
        os << "KDA buffer: ";
        for (auto it = view.begin(); it != view.end(); ++it)
            kalvo::py::writeElementBytes<T>(os, reinterpret_cast<const char*>(&*it)) << " ";
        os << std::endl;
        os << "m_shape: ";
        for (long extent : m_shape)
            os << extent << " ";
        os << std::endl;
        os << "m_bytewiseStrides: ";
        for (long stride : m_bytewiseStrides)
            os << stride << " ";
        os << std::endl;
        os << "m_order: " << m_order << std::endl;
        os << "m_isReadOnly: " << m_isReadOnly << std::endl;
        os << "m_exports: " << m_exports << std::endl;
        os << "m_nDim: " << m_nDim << std::endl;
        os << "m_numElems: " << m_numElems << std::endl;
        os << "m_bufferSizeInBytes: " << m_bufferSizeInBytes << std::endl;
        os << "m_elemSizeInBytes: " << m_elemSizeInBytes << std::endl;
        os << "m_buf: ";
        for (long i = 0; i < m_numElems; ++i)
            kalvo::py::writeElementBytes<T>(os, m_buf.get() + i * static_cast<long>(sizeof(T))) << " ";
        os << std::endl;
    });
}
