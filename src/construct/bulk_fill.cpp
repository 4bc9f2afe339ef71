// src/construct/bulk_fill.cpp: filling the element buffer straight from nested exact lists and tuples
//
// The common initializer, a list of lists of floats or ints, is read here without running any
// Python code: exact list and tuple items with PySequence_Fast_ITEMS, exact numbers with their
// macros (convertExactScalar). Elements go straight into the runtime buffer the array is made
// from, already in column-major order, so nothing is collected, copied or reordered later.
//
// The fill is an attempt. It declines anything the generic walk (nested_initializer.cpp) has to
// judge: a subclass of list, tuple, int or float, another sequence type, a string, an empty
// level, ragged or mixed nesting, a value that convertScalar would refuse or convert through
// its error rules. Since the fill runs no Python code and changes nothing before it succeeds,
// the generic walk then starts from the very state the fill saw and gives every message and
// exception type. Only success is final, and a success is exactly what the walk would build.
//
// References: the fill borrows every item from its container; without Python code running,
// nothing can drop them meanwhile.

#include "construct/constructor_parser.hpp"

#include <algorithm>
#include <limits>

#include "base/py_compat.hpp"
#include "construct/parser_support.hpp"
#include "construct/scalar_fast.hpp"

using namespace kalvo::py::construct;

namespace {

/// Deeper nestings are left to the generic walk (and to its limits).
constexpr size_t kMaxFastDepth = 64;

bool isExactListOrTuple(PyObject* o) noexcept {
    return PyList_CheckExact(o) || PyTuple_CheckExact(o);
}

/// The item array of an exact list or tuple (a list's may move when the list changes size,
/// which takes Python code).
PyObject** itemsOf(PyObject* o) noexcept { return PySequence_Fast_ITEMS(o); }

/// Writes the elements of nested exact sequences in column-major order: element (i0, ..., ik-1)
/// goes to out[i0 * stride[0] + ... + ik-1 * stride[k-1]], stride[0] being 1.
template<class T>
class ColumnMajorFill {
public:
    ColumnMajorFill(const std::vector<size_t>& dims, T* out) : m_dims(dims), m_out(out) {
        m_stride.resize(dims.size());
        size_t stride = 1;
        for (size_t j = 0; j < dims.size(); ++j) {
            m_stride[j] = stride;
            stride *= dims[j];
        }
    }

    bool run(PyObject* top) {
        return m_dims.size() == 1 ? fillVector(top, m_out) : fillLevel(top, 0, m_out);
    }

private:
    /// A sequence of level `level` < k - 2: its items are sequences of the next level.
    bool fillLevel(PyObject* seq, size_t level, T* out) {
        if (level + 2 == m_dims.size()) {
            return fillMatrix(seq, out);
        }
        PyObject** items = itemsOf(seq);
        const size_t n = m_dims[level];
        const size_t next = m_dims[level + 1];
        for (size_t i = 0; i < n; ++i) {
            PyObject* child = items[i];
            if (!isExactListOrTuple(child) || static_cast<size_t>(Py_SIZE(child)) != next) {
                return false;
            }
            if (!fillLevel(child, level + 1, out + i * m_stride[level])) {
                return false;
            }
        }
        return true;
    }

    /// A one-level sequence of numbers stored contiguously.
    bool fillVector(PyObject* seq, T* out) {
        PyObject** items = itemsOf(seq);
        const size_t n = m_dims[0];
        for (size_t i = 0; i < n; ++i) {
            if (!convertExactScalar<T>(items[i], out[i])) {
                return false;
            }
        }
        return true;
    }

    /// The last two levels: `rows` sequences of `cols` numbers. Rows are taken a block at a time
    /// so that, for a two-level initializer (row stride 1), each column's part of a block is one
    /// run of consecutive elements instead of one cache line per element.
    bool fillMatrix(PyObject* seq, T* out) {
        const size_t level = m_dims.size() - 2;
        const size_t rows = m_dims[level];
        const size_t cols = m_dims[level + 1];
        const size_t rowStride = m_stride[level];
        const size_t colStride = m_stride[level + 1];
        PyObject** items = itemsOf(seq);
        constexpr size_t kBlock = 8;
        constexpr size_t kAhead = 4;
        PyObject** rowItems[kBlock];
        for (size_t r0 = 0; r0 < rows; r0 += kBlock) {
            const size_t block = std::min(kBlock, rows - r0);
            for (size_t b = 0; b < block; ++b) {
                PyObject* row = items[r0 + b];
                if (!isExactListOrTuple(row) || static_cast<size_t>(Py_SIZE(row)) != cols) {
                    return false;
                }
                rowItems[b] = itemsOf(row);
            }
            T* base = out + r0 * rowStride;
            for (size_t c = 0; c < cols; ++c) {
                T* column = base + c * colStride;
                // The numbers themselves are scattered in memory: ask for the ones a few columns
                // ahead while these are converted.
                if (c + kAhead < cols) {
                    for (size_t b = 0; b < block; ++b) {
                        __builtin_prefetch(rowItems[b][c + kAhead]);
                    }
                }
                for (size_t b = 0; b < block; ++b) {
                    if (!convertExactScalar<T>(rowItems[b][c], column[b * rowStride])) {
                        return false;
                    }
                }
            }
        }
        return true;
    }

    const std::vector<size_t>& m_dims;
    std::vector<size_t> m_stride;
    T* m_out;
};

}  // namespace

template<class T>
bool FinalConstructorParser<T>::fillFromExactSequences(PyObject* initializer, bool& raised) {
    raised = false;
    if (!isExactListOrTuple(initializer)) {
        return false;
    }
    // The dimensions follow the first item of each level; the fill checks every other item
    // against them. Empty levels (no elements at all) are left to the generic walk.
    std::vector<size_t> dims;
    size_t count = 1;
    for (PyObject* level = initializer; isExactListOrTuple(level); level = itemsOf(level)[0]) {
        const size_t n = static_cast<size_t>(Py_SIZE(level));
        if (n == 0 || dims.size() == kMaxFastDepth || __builtin_mul_overflow(count, n, &count)) {
            return false;
        }
        dims.push_back(n);
    }
    bool ok = false;
    buffer_t buffer;
    try {
        buffer = factory.template createBuffer<T>(count);
        ok = buffer != nullptr;
    } catch (...) {
        ok = false;  // the generic walk reports a failed allocation itself
    }
    if (!ok || !ColumnMajorFill<T>(dims, buffer.get()).run(initializer)) {
        return false;
    }
    // The generic walk enters one recursion level per nesting level, after all checks of that
    // level (which passed here); near the recursion limit it fails there, and so does this.
    size_t entered = 0;
    for (; entered < dims.size(); ++entered) {
        if (!kalvo::py::compat::enterRecursiveCall(kInitializerRecursionWhere)) {
            break;
        }
    }
    for (size_t i = 0; i < entered; ++i) {
        kalvo::py::compat::leaveRecursiveCall();
    }
    if (entered < dims.size()) {
        raised = true;
        return false;
    }
    initializerDims = std::move(dims);
    dataIsColumnMajor = true;
    m_importedBuffer = std::move(buffer);
    m_importedCount = count;
    m_hasImportedBuffer = true;
    return true;
}

#define KALVO_INSTANTIATE_BULK_FILL(T) \
    template bool FinalConstructorParser<T>::fillFromExactSequences(PyObject*, bool&);
KALVO_FOR_EACH_REPRESENTATION(KALVO_INSTANTIATE_BULK_FILL)
#undef KALVO_INSTANTIATE_BULK_FILL
