// src/construct/constructor_parser.cpp: dimension checks and array creation
//
// Ownership: the parser lives for one constructor call (or one view materialisation). Python
// objects it reads are held by owning references for as long as it reads them, because
// converting an element can run Python code that drops the caller's references (a leading
// keyword dictionary is the user's own object). Element buffers are runtime buffers
// (buffer_ptr_t): each step hands its buffer on by move, array creation hands it to the
// runtime, and a dropped buffer is freed by its deleter. Failing steps set exactly one Python
// error; a successful call leaves none pending.

#include "construct/constructor_parser.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>

#include "base/guard.hpp"
#include "base/limits.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "construct/parser_support.hpp"
#include "construct/scalar_conversion.hpp"
#include "construct/scalar_fast.hpp"

using kalvo::py::PyRef;
using namespace kalvo::py::construct;

namespace {

using OutOfMemory =
    kalvo::data::detail::ArrayException<kalvo::Exception, kalvo::data::ExceptionType::OutOfMemory>;

bool isGiven(PyObject* value) { return value != nullptr && value != Py_None; }

}  // namespace

template<class T>
auto FinalConstructorParser<T>::createBuffer(size_t n, bool& ok) -> buffer_t {
    ok = false;
    buffer_t buffer;
    try {
        buffer = factory.template createBuffer<T>(n);
    } catch (const std::bad_alloc&) {
        setAllocationError(n, displayNameOf<T>());
        return {};
    } catch (const std::length_error&) {
        setAllocationError(n, displayNameOf<T>());
        return {};
    } catch (const OutOfMemory&) {
        setAllocationError(n, displayNameOf<T>());
        return {};
    } catch (...) {
        kalvo::py::translateCurrentException();
        return {};
    }
    if (!buffer && n > 0) {
        setAllocationError(n, displayNameOf<T>());
        return {};
    }
    ok = true;
    return buffer;
}

template<class T>
auto FinalConstructorParser<T>::copyElementsToBuffer(bool& ok) -> buffer_t {
    buffer_t buffer = createBuffer(elements.size(), ok);
    if (ok && !elements.empty()) {
        // CollectedElement<T> has T's size and representation (one byte for logical).
        std::memcpy(static_cast<void*>(buffer.get()), elements.data(), elements.size() * sizeof(T));
    }
    return buffer;
}

template<class T>
bool FinalConstructorParser<T>::reserveElements(size_t n) {
    if (storageReserved) {
        return true;
    }
    if (elements.capacity() >= n) {
        storageReserved = true;
        return true;
    }
    try {
        elements.reserve(n);
    } catch (const std::length_error&) {
        setAllocationError(n, displayNameOf<T>());
        return false;
    } catch (const std::bad_alloc&) {
        setAllocationError(n, displayNameOf<T>());
        return false;
    }
    storageReserved = true;
    return true;
}

template<class T>
bool FinalConstructorParser<T>::setSizeDims(const std::vector<size_t>& dims) {
    sizeDims.insert(sizeDims.end(), dims.begin(), dims.end());
    // An overflowing count fails the reservation instead of wrapping around.
    return reserveElements(kalvo::py::productOf(dims).value_or(SIZE_MAX));
}

template<class T>
bool FinalConstructorParser<T>::processSizeKwarg(PyObject* size) {
    if (!isGiven(size)) {
        return false;
    }
    if (!PySequence_Check(size)) {
        PyErr_SetString(PyExc_TypeError, "value of 'size' must be a sequence.");
        return false;
    }
    const Py_ssize_t count = PySequence_Size(size);
    if (count < 0) {
        return false;
    }
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "sequence passed to 'size' must not be empty.");
        return false;
    }
    std::vector<size_t> dims;
    dims.reserve(static_cast<size_t>(count) + 1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(size, i));
        if (!item) {
            const std::string message = "Item " + std::to_string(i) +
                                        " could not be retrieved from the value associated with "
                                        "the 'size' keyword.";
            PyErr_SetString(PyExc_RuntimeError, message.c_str());
            return false;
        }
        if (!PyLong_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "dimensions must be nonnegative integers.");
            return false;
        }
        const Py_ssize_t dim = PyLong_AsSsize_t(item.get());
        if (dim < 0) {
            // Also replaces the OverflowError of an int beyond Py_ssize_t.
            PyErr_SetString(PyExc_ValueError,
                            "size cannot contain negative dimensions. Use nonnegative integers "
                            "for dimensions.");
            return false;
        }
        dims.push_back(static_cast<size_t>(dim));
    }
    if (dims.size() == 1) {
        dims.insert(dims.begin(), 1);  // a single dimension n is a 1-by-n row
    }
    while (dims.size() > 2 && dims.back() == 1) {
        dims.pop_back();
    }
    // An array without elements, whose other extents would still make its strides overflow;
    // reshape() refuses the same dimensions. (With elements, the count itself is too large.)
    if (kalvo::py::productOf(dims) == 0 && !kalvo::py::stridesFit(dims, sizeof(T))) {
        PyErr_SetString(PyExc_ValueError, "dimensions specified by 'size' are too large.");
        return false;
    }
    return setSizeDims(dims);
}

template<class T>
bool FinalConstructorParser<T>::checkInitializerDimsAgainstSize() {
    const std::vector<size_t>& S = sizeDims;
    const std::vector<size_t>& I = initializerDims;
    if (S.empty() || S == I) {
        return true;
    }
    const std::optional<size_t> initializerCount = kalvo::py::productOf(I);
    if (kalvo::py::productOf(S) != initializerCount) {
        setDimsMismatchError(KCPyError::shapeErr, I, S);
        return false;
    }
    // A flat initializer (or vector) with as many elements as 'size' fills it column-major.
    if (S.size() == 2 && S[0] == 1 && I.size() == 1) {
        if (I[0] >= 2) {
            dataIsColumnMajor = true;
        }
        return true;
    }
    if (I.size() == 1 && I[0] >= 2) {
        dataIsColumnMajor = true;
        return true;
    }
    if (initializerCount == 0) {
        return true;
    }
    if (formatDims(I) == formatDims(S)) {
        return true;
    }
    setDimsMismatchError(KCPyError::sizeErr, I, S);
    return false;
}

template<class T>
auto FinalConstructorParser<T>::processVectorKwarg(PyObject* vector, bool& ok) -> buffer_t {
    ok = true;
    if (!PySequence_Check(vector)) {
        PyErr_SetString(PyExc_ValueError, "value of 'vector' must be a sequence.");
        ok = false;
        return {};
    }
    if (PyUnicode_Check(vector)) {
        PyErr_SetString(PyExc_ValueError, "value passed to 'vector' must be numeric.");
        ok = false;
        return {};
    }
    const Py_ssize_t length = PySequence_Size(vector);
    if (length < 0) {
        ok = false;
        return {};
    }
    const size_t n = static_cast<size_t>(length);
    if (sizeDims.empty()) {
        initializerDims.push_back(1);
    }
    initializerDims.push_back(n);
    if (!checkInitializerDimsAgainstSize()) {
        ok = false;
        return {};
    }
    // The elements go straight into the final buffer; the reservation made for 'size' is not
    // needed on this path.
    kalvo::py::CollectedElements<T>().swap(elements);
    buffer_t buffer = createBuffer(n, ok);
    if (!ok || n < 1) {
        return buffer;
    }
    T* out = buffer.get();
    // Exact numbers in an exact list or tuple are converted in place, which runs no Python code;
    // anything else takes the general route below, item by item. That route can run Python code
    // (__getitem__, __index__, __float__) that changes the sequence, so the in-place path checks
    // the sequence's length again at every item.
    const bool exactSequence = PyList_CheckExact(vector) || PyTuple_CheckExact(vector);
    for (size_t i = 0; i < n; ++i) {
        if (exactSequence && static_cast<size_t>(Py_SIZE(vector)) == n &&
            kalvo::py::construct::convertExactScalar<T>(PySequence_Fast_ITEMS(vector)[i], out[i])) {
            continue;
        }
        PyRef item = PyRef::steal(PySequence_GetItem(vector, static_cast<Py_ssize_t>(i)));
        if (!item) {
            const std::string message = "item " + std::to_string(i) + " could not be retrieved.";
            PyErr_SetString(PyExc_RuntimeError, message.c_str());
            ok = false;
            return {};
        }
        if (PySequence_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "value of 'vector' must be an unnested sequence.");
            ok = false;
            return {};
        }
        const ScalarConversionResult<T> converted = convertScalar<T>(item.get(), true);
        if (converted.failed) {
            converted.raiseAs(PyExc_ValueError);
            ok = false;
            return {};
        }
        if (PyErr_Occurred()) {
            ok = false;
            return {};
        }
        out[i] = *converted.value;
    }
    return buffer;
}

template<class T>
auto FinalConstructorParser<T>::processConstructorArgsAndKwargs(PyObject* args, PyObject* kwargs,
                                                                bool& ok) -> buffer_t {
    ok = false;
    PyRef noArgs;
    if (args == nullptr) {
        noArgs = PyRef::steal(PyTuple_New(0));
        if (!noArgs) {
            return {};
        }
        args = noArgs.get();
    }
    PyObject* initializerArg = nullptr;
    PyObject* sizeArg = nullptr;
    PyObject* vectorArg = nullptr;
    PyObject* isComplexArg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO", constructorKeywords, &initializerArg,
                                     &sizeArg, &vectorArg, &isComplexArg)) {
        return {};
    }
    // Keep our own references: reading the values may run Python code that changes the
    // argument containers.
    const PyRef initializer = PyRef::borrow(isGiven(initializerArg) ? initializerArg : nullptr);
    const PyRef size = PyRef::borrow(isGiven(sizeArg) ? sizeArg : nullptr);
    const PyRef vector = PyRef::borrow(isGiven(vectorArg) ? vectorArg : nullptr);

    if (vector && initializer) {
        if (kwargs != nullptr && PyDict_Check(kwargs) &&
            PyDict_GetItemString(kwargs, "vector") != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "initializer and 'vector' must not both be specified.");
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "more than two positional arguments must not be specified. A third "
                            "will be treated as 'vector', which must not be specified when an "
                            "initializer is specified.");
        }
        return {};
    }
    if (!vector && !initializer && !size) {
        static const std::vector<size_t> zeroByZero{0, 0};
        ok = setSizeDims(zeroByZero);
        return {};
    }
    if (size) {
        if (!processSizeKwarg(size.get())) {
            return {};
        }
        if (!vector && !initializer) {
            // The runtime makes the zeros (createArrayFromParser); drop the reservation.
            kalvo::py::CollectedElements<T>().swap(elements);
            zeroFilled = true;
            ok = true;
            return {};
        }
    }
    if (vector) {
        return processVectorKwarg(vector.get(), ok);
    }
    buffer_t buffer = processInitializerKwarg(initializer.get(), ok);
    if (ok && size && !checkInitializerDimsAgainstSize()) {
        ok = false;
        return {};
    }
    return buffer;
}

template<class T>
std::optional<kalvo::data::Array> createArrayFromParser(FinalConstructorParser<T>& parser,
                                                        kalvo::data::buffer_ptr_t<T> buffer) {
    try {
        const std::vector<size_t> dims = parser.finalDims();
        // Every argument has been checked and the elements gathered: only the dimension count
        // can still refuse the array.
        if (!kalvo::py::dimensionCountAllowed(dims.size())) {
            return std::nullopt;
        }
        const size_t count = kalvo::py::productOf(dims).value_or(SIZE_MAX);
        if (parser.zeroFilled) {
            // Fresh runtime storage is zeroed lazily by the system: far cheaper than filling a
            // buffer with zeros and handing it over.
            try {
                return kalvo::data::Array(parser.factory.template createArray<T>(dims));
            } catch (const std::bad_alloc&) {
            } catch (const std::length_error&) {
            } catch (const OutOfMemory&) {
            }
            setAllocationError(count, displayNameOf<T>());
            return std::nullopt;
        }
        bool ok = true;
        if (!buffer) {
            if (count > 0) {
                PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
                return std::nullopt;
            }
            buffer = parser.createBuffer(0, ok);
            if (!ok) {
                return std::nullopt;
            }
        }
        // Row-major and column-major order coincide when at most one extent exceeds 1.
        size_t varyingDims = 0;
        for (size_t d : dims) {
            varyingDims += d > 1 ? 1 : 0;
        }
        if (count >= 2 && !parser.dataIsColumnMajor && varyingDims > 1) {
            // Gather the row-major elements in column-major order (first index fastest): walk
            // the index tuples with an odometer and keep the row-major source offset current.
            const size_t ndim = dims.size();
            std::vector<size_t> rowStride(ndim, 1);
            for (size_t k = ndim - 1; k > 0; --k) {
                rowStride[k - 1] = rowStride[k] * dims[k];
            }
            auto reordered = parser.createBuffer(count, ok);
            if (!ok) {
                return std::nullopt;
            }
            const T* in = buffer.get();
            T* out = reordered.get();
            std::vector<size_t> index(ndim, 0);
            size_t source = 0;
            for (size_t i = 0; i < count; ++i) {
                // A byte copy: a logical element may hold any byte (bit-for-bit imports).
                std::memcpy(static_cast<void*>(out + i), static_cast<const void*>(in + source),
                            sizeof(T));
                for (size_t k = 0; k < ndim; ++k) {
                    if (++index[k] < dims[k]) {
                        source += rowStride[k];
                        break;
                    }
                    source -= (dims[k] - 1) * rowStride[k];
                    index[k] = 0;
                }
            }
            buffer = std::move(reordered);
        }
        return kalvo::data::Array(parser.factory.template createArrayFromBuffer<T>(
            dims, std::move(buffer), kalvo::data::MemoryLayout::COLUMN_MAJOR));
    } catch (...) {
        kalvo::py::translateCurrentException();
        return std::nullopt;
    }
}

#define KALVO_INSTANTIATE_PARSER(T)                                                               \
    template FinalConstructorParser<T>::buffer_t FinalConstructorParser<T>::createBuffer(size_t,  \
                                                                                         bool&);  \
    template FinalConstructorParser<T>::buffer_t FinalConstructorParser<T>::copyElementsToBuffer( \
        bool&);                                                                                   \
    template bool FinalConstructorParser<T>::reserveElements(size_t);                             \
    template bool FinalConstructorParser<T>::setSizeDims(const std::vector<size_t>&);             \
    template bool FinalConstructorParser<T>::processSizeKwarg(PyObject*);                         \
    template bool FinalConstructorParser<T>::checkInitializerDimsAgainstSize();                   \
    template FinalConstructorParser<T>::buffer_t FinalConstructorParser<T>::processVectorKwarg(   \
        PyObject*, bool&);                                                                        \
    template FinalConstructorParser<T>::buffer_t                                                  \
    FinalConstructorParser<T>::processConstructorArgsAndKwargs(PyObject*, PyObject*, bool&);      \
    template std::optional<kalvo::data::Array> createArrayFromParser<T>(                          \
        FinalConstructorParser<T>&, kalvo::data::buffer_ptr_t<T>);
KALVO_FOR_EACH_REPRESENTATION(KALVO_INSTANTIATE_PARSER)
#undef KALVO_INSTANTIATE_PARSER
