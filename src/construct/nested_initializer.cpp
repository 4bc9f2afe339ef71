// src/construct/nested_initializer.cpp: reading the 'initializer' argument and walking nested sequences
//
// The walk collects converted elements in nesting (row-major) order and discovers one
// dimension per nesting level; the first completed sequence of a level fixes its size.
// Item references are owned (PyRef) and released before the next item is fetched. The walk is
// recursive and guarded by the interpreter's recursion limit, so a self-containing list or an
// absurdly deep nesting raises RecursionError instead of exhausting the C stack.

#include "construct/constructor_parser.hpp"

#include <cstdint>
#include <stdexcept>

#include "base/limits.hpp"
#include "base/objects.hpp"
#include "base/py_args.hpp"
#include "base/py_compat.hpp"
#include "base/pyref.hpp"
#include "construct/parser_support.hpp"
#include "construct/scalar_conversion.hpp"
#include "core/array_object.hpp"
#include "core/index_items.hpp"

using kalvo::py::BufferView;
using kalvo::py::PyRef;
using namespace kalvo::py::construct;

namespace {

constexpr const char* kNotRectangular = "arrays must be rectangular.";

void setNotNumeric() {
    PyErr_SetString(PyExc_ValueError, "value passed to initializer must be numeric.");
}

/// Leaves the interpreter's recursion accounting on every exit of a walk level.
class RecursionGuard {
public:
    RecursionGuard()
        : m_entered(kalvo::py::compat::enterRecursiveCall(kInitializerRecursionWhere)) {}
    ~RecursionGuard() {
        if (m_entered) {
            kalvo::py::compat::leaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const noexcept { return m_entered; }

private:
    bool m_entered;
};

}  // namespace

template<class T>
bool FinalConstructorParser<T>::checkCollectedCountMatchesDims() {
    // A level whose first sequences are empty takes its size from a later sequence
    // ([[[], []], [[1], [2]]]), which leaves fewer elements than the dimensions promise. Such
    // an initializer is not rectangular; array creation must never see it.
    if (elements.size() != kalvo::py::productOf(initializerDims)) {
        PyErr_SetString(PyExc_ValueError, kNotRectangular);
        return false;
    }
    return true;
}

template<class T>
bool FinalConstructorParser<T>::processNestedInitializer(PyObject* item, bool lenient) {
    if (item == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
        return false;
    }
    if (!PySequence_Check(item)) {
        ScalarConversionResult<T> converted;
        try {
            converted = convertScalar<T>(item, lenient);
        } catch (const std::runtime_error& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            return false;
        }
        if (converted.failed) {
            converted.raise();
            return false;
        }
        if (scalarDepth == 0) {
            scalarDepth = depth;
        } else if (depth != scalarDepth) {
            PyErr_SetString(PyExc_ValueError, kNotRectangular);
            return false;
        }
        // Room for the full count was reserved at the first scalar, so this never reallocates
        // for a rectangular initializer.
        elements.push_back(*converted.value);
        if (initializerDims.empty()) {
            initializerDims = {1, 1};
        }
        if (!storageReserved) {
            // An overflowing count fails the reservation instead of wrapping around.
            return reserveElements(kalvo::py::productOf(lengthsAtDepth).value_or(SIZE_MAX));
        }
        return true;
    }
    if (pyObjectIsUnicodeOrString(item)) {
        setNotNumeric();
        return false;
    }
    const auto [consistent, length] = getLengthOfPySequence(item);
    if (!consistent || length < 0) {
        PyErr_SetString(PyExc_ValueError, "elements of array are of different lengths or types.");
        return false;
    }
    const RecursionGuard recursion;
    if (!recursion.entered()) {
        return false;
    }
    const size_t d = depth;
    ++depth;
    if (initializerDims.size() <= d) {
        initializerDims.push_back(0);
    }
    if (lengthsAtDepth.size() <= d) {
        lengthsAtDepth.push_back(0);
    }
    lengthsAtDepth[d] = static_cast<size_t>(length);
    for (long i = 0; i < length; ++i) {
        const PyRef child = PyRef::steal(PySequence_GetItem(item, i));
        if (!child) {
            // Replaces whatever the failed fetch raised.
            PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
            return false;
        }
        if (!processNestedInitializer(child.get(), lenient)) {
            return false;
        }
    }
    if (initializerDims[d] == 0) {
        initializerDims[d] = lengthsAtDepth[d];
    } else if (lengthsAtDepth[d] != initializerDims[d]) {
        PyErr_SetString(PyExc_ValueError, kNotRectangular);
        return false;
    }
    lengthsAtDepth[d] = 0;
    --depth;
    if (depth == 0) {
        return checkCollectedCountMatchesDims();
    }
    return true;
}

template<class T>
bool FinalConstructorParser<T>::finishFlatInitializerDims() {
    if (initializerDims.size() != 1) {
        return true;
    }
    const size_t n = initializerDims[0];
    if (!sizeDims.empty()) {
        if (collectedCount() != kalvo::py::productOf(sizeDims)) {
            setDimsMismatchError(KCPyError::shapeErr, initializerDims, sizeDims);
            return false;
        }
        return true;
    }
    if (n > 0) {
        initializerDims = {1, n};
    } else {
        initializerDims = {0, 0};
    }
    return true;
}

template<class T>
auto FinalConstructorParser<T>::processInitializerKwarg(PyObject* initializer, bool& ok)
    -> buffer_t {
    ok = false;
    if (pyObjectIsUnicodeOrString(initializer)) {
        setNotNumeric();
        return {};
    }
    // A kalvo array also offers the buffer protocol, but it is read element by element through
    // its sequence protocol instead.
    if (PyObject_CheckBuffer(initializer) && Py_TYPE(initializer)->tp_dealloc != KCPyArray_Delete) {
        BufferView view;
        if (!view.acquire(initializer, PyBUF_ANY_CONTIGUOUS | PyBUF_FORMAT)) {
            return {};
        }
        if (!processBufferInitializer(&view.view())) {
            return {};
        }
    } else {
        // Exact lists and tuples of exact numbers fill the buffer directly; whatever that fill
        // declines is walked generically from the start (the fill ran no Python code, so the
        // generic walk sees exactly what the fill saw).
        bool raised = false;
        if (!fillFromExactSequences(initializer, raised)) {
            if (raised || !processNestedInitializer(initializer, true)) {
                return {};
            }
        }
    }
    if (!finishFlatInitializerDims()) {
        return {};
    }
    while (initializerDims.size() > 2 && initializerDims.back() == 1) {
        initializerDims.pop_back();
    }
    if (m_hasImportedBuffer) {
        ok = true;
        return std::move(m_importedBuffer);
    }
    return copyElementsToBuffer(ok);
}

#define KALVO_INSTANTIATE_NESTED(T)                                                     \
    template bool FinalConstructorParser<T>::checkCollectedCountMatchesDims();          \
    template bool FinalConstructorParser<T>::processNestedInitializer(PyObject*, bool); \
    template bool FinalConstructorParser<T>::finishFlatInitializerDims();               \
    template FinalConstructorParser<T>::buffer_t                                        \
    FinalConstructorParser<T>::processInitializerKwarg(PyObject*, bool&);
KALVO_FOR_EACH_REPRESENTATION(KALVO_INSTANTIATE_NESTED)
#undef KALVO_INSTANTIATE_NESTED
