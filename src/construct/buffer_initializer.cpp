// src/construct/buffer_initializer.cpp: importing an initializer that offers the buffer protocol
//
// The exporter's memory is copied with one block copy straight into the runtime buffer the
// array will be made from; no element is converted. The view itself is owned and released by
// the caller (processInitializerKwarg). An exporter's description is checked for consistency
// (item size, shape against byte length, contiguity) before any byte is read, since the
// reordering at array creation trusts the dimensions recorded here.

#include "construct/constructor_parser.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/limits.hpp"
#include "construct/parser_support.hpp"

using namespace kalvo::py::construct;

namespace {

void setBufferError(const std::string& message) {
    PyErr_SetString(PyExc_BufferError, message.c_str());
}

constexpr const char* kInconsistentExporter =
    "input buffer's shape and item size do not match its length.";

/// A copyable element of `Size` bytes: elements are moved as bytes, never loaded as values.
template<size_t Size>
struct Bytes {
    unsigned char b[Size];
};

/// Copies a rows-by-cols block stored row-major at `in` (row stride `inRow` elements) into
/// column-major order at `out` (column stride `outCol` elements), a cache-sized tile at a time:
/// the tile's source rows stay in the first-level cache while its columns are written out.
template<class E>
void transposeBlock(const E* in, E* out, size_t rows, size_t cols, size_t inRow, size_t outCol) {
    constexpr size_t kTile = 32;
    for (size_t r0 = 0; r0 < rows; r0 += kTile) {
        const size_t r1 = std::min(rows, r0 + kTile);
        for (size_t c0 = 0; c0 < cols; c0 += kTile) {
            const size_t c1 = std::min(cols, c0 + kTile);
            for (size_t c = c0; c < c1; ++c) {
                E* column = out + c * outCol;
                const E* source = in + c;
                for (size_t r = r0; r < r1; ++r) {
                    column[r] = source[r * inRow];
                }
            }
        }
    }
}

/// Reverses the axis order of elements of `Size` bytes: row-major data of extents
/// `dims` become column-major data of the same extents. Extents of 1 do not change the order
/// and are dropped; the first and last remaining axes form the tiles, and the axes between
/// them are walked with an odometer.
template<size_t Size>
void transposeElements(const void* source, void* target, const std::vector<size_t>& dims) {
    using E = Bytes<Size>;
    std::vector<size_t> e;
    for (size_t d : dims) {
        if (d != 1) {
            e.push_back(d);
        }
    }
    const E* in = static_cast<const E*>(source);
    E* out = static_cast<E*>(target);
    const size_t m = e.size();
    if (m <= 1) {
        // The count was checked against the exporter's length, so it fits.
        std::memcpy(static_cast<void*>(out), in, *kalvo::py::productOf(dims) * Size);
        return;
    }
    // Strides in elements: row-major for the source, column-major for the target.
    std::vector<size_t> inStride(m, 1);
    std::vector<size_t> outStride(m, 1);
    for (size_t t = m - 1; t > 0; --t) {
        inStride[t - 1] = inStride[t] * e[t];
    }
    for (size_t t = 1; t < m; ++t) {
        outStride[t] = outStride[t - 1] * e[t - 1];
    }
    std::vector<size_t> index(m, 0);
    size_t inBase = 0;
    size_t outBase = 0;
    for (;;) {
        transposeBlock(in + inBase, out + outBase, e[0], e[m - 1], inStride[0], outStride[m - 1]);
        size_t t = 1;
        for (; t + 1 < m; ++t) {
            inBase += inStride[t];
            outBase += outStride[t];
            if (++index[t] < e[t]) {
                break;
            }
            inBase -= e[t] * inStride[t];
            outBase -= e[t] * outStride[t];
            index[t] = 0;
        }
        if (t + 1 >= m) {
            return;
        }
    }
}

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
    if (kalvo::py::productOf(dims) != n) {
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
    // byte as true when it is non-zero, so no byte value is invalid). Row-major data with two or
    // more dimensions are transposed into column-major order on the way, straight from the
    // exporter's memory; everything else is one block copy.
    if (n > 0) {
        if (view->ndim >= 2 && !fortranOrder) {
            transposeElements<sizeof(T)>(view->buf, buffer.get(), dims);
            dataIsColumnMajor = true;
        } else {
            std::memcpy(static_cast<void*>(buffer.get()), view->buf,
                        static_cast<size_t>(view->len));
        }
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
