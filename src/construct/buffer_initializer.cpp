// src/construct/buffer_initializer.cpp: importing an initializer that offers the buffer protocol
//
// The exporter's memory is copied with one block copy straight into the runtime buffer the
// array will be made from; no element is converted. The view itself is owned and released by
// the caller (processInitializerKwarg). An exporter's description is checked for consistency
// (item size, shape against byte length, contiguity) before any byte is read, since the
// reordering at array creation trusts the dimensions recorded here.

#include "construct/constructor_parser.hpp"

#include <cstring>
#include <string>

#include "construct/parser_support.hpp"

using namespace kalvo::py::construct;

namespace {

void setBufferError(const std::string& message) {
    PyErr_SetString(PyExc_BufferError, message.c_str());
}

constexpr const char* kInconsistentExporter =
    "input buffer's shape and item size do not match its length.";

}  // namespace

template<class T>
bool FinalConstructorParser<T>::processBufferInitializer(Py_buffer* view) {
    const char* format = view->format;
    if (format == nullptr || format[0] == '\0') {
        setBufferError("input 'format' field is null.");
        return false;
    }
    constexpr bool isComplex = ElementKind<T>::isComplex;
    const char expected = ElementKind<RealOfT<T>>::formatChar();
    const std::string expectedFormat =
        isComplex ? std::string("Z") + expected : std::string(1, expected);

    // Only one character is examined: the first, or for complex output the one after 'Z'.
    char examined = format[0];
    if (isComplex) {
        if (format[0] != 'Z') {
            setBufferError(std::string("input buffer format ('") + format +
                           "') does not begin with 'Z', but output type is complex");
            return false;
        }
        examined = format[1];
    }
    if (examined != expected && !areDifferentButCompatible(examined, expected, view->itemsize)) {
        setBufferError(std::string("input buffer format ('") + format +
                       "') is not compatible with output format ('" + expectedFormat +
                       "'); use a different input or output type");
        return false;
    }

    constexpr Py_ssize_t elementSize = static_cast<Py_ssize_t>(sizeof(T));
    if (view->len < 0 || view->len % elementSize != 0) {
        setBufferError("input does not fit evenly into output type.");
        return false;
    }
    const size_t n = static_cast<size_t>(view->len / elementSize);

    // The exporter's own description must agree with its byte length.
    if (view->itemsize != elementSize) {
        setBufferError(kInconsistentExporter);
        return false;
    }
    std::vector<size_t> dims;
    if (view->ndim == 0) {
        dims.push_back(1);
    } else if (view->ndim == 1 && view->shape == nullptr) {
        dims.push_back(n);
    } else if (view->ndim < 0) {
        setBufferError(kInconsistentExporter);
        return false;
    } else {
        if (view->shape == nullptr) {
            setBufferError("shape is null.");
            return false;
        }
        for (int i = 0; i < view->ndim; ++i) {
            if (view->shape[i] < 0) {
                setBufferError(kInconsistentExporter);
                return false;
            }
            dims.push_back(static_cast<size_t>(view->shape[i]));
        }
    }
    if (productOf(dims) != n) {
        setBufferError(kInconsistentExporter);
        return false;
    }

    if (n > 0 && view->buf == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
        return false;
    }
    // Column-major when the first index moves fastest in memory. Extents of 1 carry no ordering
    // information (their strides are arbitrary), which PyBuffer_IsContiguous ignores; a view
    // that is neither C- nor Fortran-contiguous cannot be copied as one block.
    // (Without a shape there are no strides to look at: the bytes are the elements in order.)
    const bool described = view->ndim >= 1 && view->shape != nullptr;
    const bool fortranOrder = described && PyBuffer_IsContiguous(view, 'F') != 0;
    if (described && !fortranOrder && !PyBuffer_IsContiguous(view, 'C')) {
        setBufferError("input buffer is not contiguous.");
        return false;
    }
    if (view->ndim >= 2 && fortranOrder) {
        dataIsColumnMajor = true;
    }

    // The reservation made for 'size' is not needed: the bytes go straight into the buffer.
    kalvo::py::CollectedElements<T>().swap(elements);
    bool ok = false;
    buffer_t buffer = createBuffer(n, ok);
    if (!ok) {
        return false;
    }
    // Bit for bit: a 'B' byte becomes a logical element unchanged (every reader takes a logical
    // byte as true when it is non-zero, so no byte value is invalid).
    if (n > 0) {
        std::memcpy(static_cast<void*>(buffer.get()), view->buf, static_cast<size_t>(view->len));
    }
    initializerDims.insert(initializerDims.end(), dims.begin(), dims.end());
    m_importedBuffer = std::move(buffer);
    m_importedCount = n;
    m_hasImportedBuffer = true;
    return true;
}

#define KALVO_INSTANTIATE_BUFFER_IMPORT(T) \
    template bool FinalConstructorParser<T>::processBufferInitializer(Py_buffer*);
KALVO_FOR_EACH_REPRESENTATION(KALVO_INSTANTIATE_BUFFER_IMPORT)
#undef KALVO_INSTANTIATE_BUFFER_IMPORT
