// src/protocols/pickling.cpp: __reduce__, __reduce_ex__, __copy__ and __deepcopy__
//
// Two pickle forms exist. The nested-list form of __reduce__, (type, (keywords, nested list)),
// is what protocols 0 to 4 write whenever it brings the array back exactly. The exact form,
// (<array type>._rebuild, (dims, is_complex, data)), carries the storage
// bytes in column-major order; protocols 0 to 4 write it, with `data` a bytes copy, only where
// the nested list cannot: complex int64/uint64 parts that a float does not hold exactly (beyond
// 2**53, or the bounds of the type), full arrays whose extents the constructor would not
// rebuild from their nested list (a 0-by-3 array's list is []), and arrays without elements
// whose nested list would be large (a 2**40-by-0 array's is 2**40 empty lists), with empty data.
// Protocol 5 always writes the exact form with `data` a pickle.PickleBuffer over the storage:
// out of band and without a copy when the pickler has a buffer_callback, one block copy into
// the stream otherwise (an array without elements carries empty bytes instead).
//
// A partial array pickles and copies as a new full array of the values it shows, with the
// extents its nested list would give.
// copy.copy and copy.deepcopy of a full array with elements are clones.
//
// The nested list is the state's (KCppPyArray::getNestedListForm), built in one pass over its
// pinned storage that makes each element's Python number once.
//
// Pinning: the bytes of the exact form are read through one memoryview of the array (or of a
// clone of a partial array). An export keeps its storage and layout for as long as it lives, so
// the extents and bytes read from it stay consistent whatever Python code runs meanwhile (the
// tuples built here can start a garbage collection).

#include <complex>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_state.hpp"
#include "core/storage.hpp"
#include "protocols/buffer_export.hpp"
#include "protocols/methods.hpp"
#include "protocols/pickling.hpp"

using kalvo::py::PyRef;

namespace {

/// What the exact form carries as its data.
enum class DataForm { Bytes, PickleBuffer, View };

/// The extents a constructor makes from the nested list of an array with extents `dims` and
/// `count` elements: the list stops at the first zero extent, a single level n is 1-by-n (or
/// 0-by-0), and trailing extents of 1 beyond the second are dropped.
std::vector<Py_ssize_t> nestedListExtents(std::vector<Py_ssize_t> dims, Py_ssize_t count) {
    if (count == 0) {
        for (size_t i = 0; i < dims.size(); ++i) {
            if (dims[i] == 0) {
                dims.resize(i + 1);
                break;
            }
        }
    }
    if (dims.size() == 1)
        dims = dims[0] == 0 ? std::vector<Py_ssize_t>{0, 0} : std::vector<Py_ssize_t>{1, dims[0]};
    while (dims.size() > 2 && dims.back() == 1)
        dims.pop_back();
    return dims;
}

/// Whether the nested list of an array without elements with extents `dims` has at most a few
/// thousand (empty) lists: one list, then one per entry of each extent down to the first zero.
bool nestedListIsSmall(const std::vector<Py_ssize_t>& dims) {
    constexpr Py_ssize_t kMaxLists = 1 << 12;
    Py_ssize_t lists = 1;
    Py_ssize_t width = 1;
    for (size_t i = 0; i + 1 < dims.size() && dims[i] != 0; ++i) {
        if (dims[i] > kMaxLists || (width *= dims[i]) > kMaxLists || (lists += width) > kMaxLists)
            return false;
    }
    return true;
}

/// Whether integer `v` comes back unchanged from the float a nested list holds for it: the
/// float must equal it and lie inside the open range the complex conversion accepts.
template<class I>
bool survivesFloat(I v) {
    const double d = static_cast<double>(v);
    if constexpr (std::is_signed_v<I>) {
        if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0))
            return false;
    } else if (!(d < 18446744073709551616.0)) {
        return false;
    }
    return static_cast<I>(d) == v;
}

/// Whether every part of the complex elements of `kind` in `view` survives the nested list.
/// Only 64-bit integer parts can fail; every other element type is carried exactly.
bool nestedListIsExact(SupportedArrayEnum kind, bool isComplex, const Py_buffer& view) {
    if (!isComplex || (kind != KIND_INT64 && kind != KIND_UINT64))
        return true;
    auto scan = [&](auto tag) {
        using I = typename decltype(tag)::type;
        const size_t parts = static_cast<size_t>(view.len) / sizeof(I);
        const char* bytes = static_cast<const char*>(view.buf);
        for (size_t i = 0; i < parts; ++i) {
            I v;
            std::memcpy(&v, bytes + i * sizeof(I), sizeof(I));
            if (!survivesFloat(v))
                return false;
        }
        return true;
    };
    return kind == KIND_INT64 ? scan(TypeTag<int64_t>{}) : scan(TypeTag<uint64_t>{});
}

/// The class method the exact form calls, bound to `type` (new reference).
PyRef rebuildFunction(PyTypeObject* type) {
    return PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "_rebuild"));
}

/// The extents `self` shows when it shows no element; nothing when it shows elements or its
/// extents cannot be read (the caller's general path then reports that).
std::optional<std::vector<Py_ssize_t>> extentsWithoutElements(PyObject* self) {
    PyRef size = PyRef::steal(KCPyArray_GetArraySize(self, nullptr));
    if (!size) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<Py_ssize_t> dims;
    bool empty = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(size.get()); ++i) {
        dims.push_back(PyLong_AsSsize_t(PyTuple_GET_ITEM(size.get(), i)));  // exact ints
        empty = empty || dims.back() == 0;
    }
    if (!empty)
        return std::nullopt;
    return dims;
}

/// (<type>._rebuild, (dims, is_complex, data)).
PyObject* exactForm(PyObject* self, const std::vector<Py_ssize_t>& dims, bool isComplex,
                    PyRef data) {
    if (!data)
        return nullptr;
    PyRef extents = PyRef::steal(kalvo::py::tupleOf(dims, PyLong_FromSsize_t));
    if (!extents)
        return nullptr;
    PyRef function = rebuildFunction(Py_TYPE(self));
    if (!function)
        return nullptr;
    PyRef arguments =
        PyRef::steal(PyTuple_Pack(3, extents.get(), isComplex ? Py_True : Py_False, data.get()));
    if (!arguments)
        return nullptr;
    return PyTuple_Pack(2, function.get(), arguments.get());
}

/// (callable, arguments) that rebuild `self`. `preferNestedList` keeps the form of __reduce__
/// wherever it is exact; `form` says what carries the bytes otherwise.
PyObject* reduceAs(PyObject* self, bool preferNestedList, DataForm form) {
    KCppPyArray* state = requireState(self);
    if (!state)
        return nullptr;
    const SupportedArrayEnum kind = state->getSupportedArrayEnum();
    const bool isComplex = state->isComplex();
    const bool partial = !state->indicesAreEmpty();
    const bool wideComplex = isComplex && (kind == KIND_INT64 || kind == KIND_UINT64);
    // Without elements the extents are all there is to carry, and the nested list costs one
    // list per entry of the leading extents (a 2**40-by-0 array's is 2**40 empty lists). Such
    // an array keeps the nested-list form where that is exact and small, and otherwise takes
    // the exact form with no bytes; a partial one gets the extents its nested list would give.
    // (A partial array left behind by a reshape of its source takes the general path, which
    // reports that.)
    std::optional<std::vector<Py_ssize_t>> shown;
    if (state->indicesStillValid() && (shown = extentsWithoutElements(self))) {
        const std::vector<Py_ssize_t> dims =
            partial ? nestedListExtents(std::move(*shown), 0) : std::move(*shown);
        if (preferNestedList && (partial || nestedListExtents(dims, 0) == dims) &&
            nestedListIsSmall(dims))
            return KCPyArray_Reduce(self, nullptr);
        return exactForm(self, dims, isComplex,
                         PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0)));
    }
    if (partial && preferNestedList && !wideComplex)
        return KCPyArray_Reduce(self, nullptr);

    PyRef source = partial ? PyRef::steal(KCPyArray_Clone(self, nullptr)) : PyRef::borrow(self);
    if (!source)
        return nullptr;
    PyRef memory = PyRef::steal(PyMemoryView_FromObject(source.get()));
    if (!memory)
        return nullptr;
    const Py_buffer& view = *PyMemoryView_GET_BUFFER(memory.get());
    std::vector<Py_ssize_t> dims(view.shape, view.shape + view.ndim);
    const Py_ssize_t count = view.itemsize > 0 ? view.len / view.itemsize : 0;
    if (partial) {
        if (count == 0)
            return KCPyArray_Reduce(self, nullptr);
        dims = nestedListExtents(std::move(dims), count);
    }
    if (preferNestedList && nestedListExtents(dims, count) == dims &&
        nestedListIsExact(kind, isComplex, view))
        return KCPyArray_Reduce(self, nullptr);

    PyRef data;
    switch (form) {
    case DataForm::Bytes:
        data =
            PyRef::steal(PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len));
        break;
    case DataForm::PickleBuffer:
        data = PyRef::steal(PyPickleBuffer_FromObject(memory.get()));
        break;
    case DataForm::View: data = memory.copy(); break;
    }
    return exactForm(self, dims, isComplex, std::move(data));
}

/// An independent array holding what `self` shows, as pickling and unpickling would give it.
PyObject* copyOf(PyObject* self) {
    KCppPyArray* state = requireState(self);
    if (!state)
        return nullptr;
    const KDArrayWrapper* wrapper = state->getKDAWrapper();
    if (state->indicesAreEmpty() && wrapper && wrapper->getNumberOfElements() > 0)
        return KCPyArray_Clone(self, nullptr);
    PyRef reduced = PyRef::steal(reduceAs(self, false, DataForm::View));
    if (!reduced)
        return nullptr;
    return PyObject_Call(PyTuple_GET_ITEM(reduced.get(), 0), PyTuple_GET_ITEM(reduced.get(), 1),
                         nullptr);
}

}  // namespace

/// __reduce__(): (type, (keywords, nested list)). Calling the type with a leading dictionary
/// takes it as the keyword arguments, so unpickling rebuilds the same kind, complexity and values.
/// A partial array pickles the values it shows and comes back as a full array of them.
PyObject* KCPyArray_Reduce(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state)
            return nullptr;
        PyRef keywords = PyRef::steal(PyDict_New());
        if (!keywords)
            return nullptr;
        if (state->isComplex() && PyDict_SetItemString(keywords.get(), "is_complex", Py_True) < 0) {
            PyErr_SetString(PyExc_RuntimeError, "unable to insert 'is_complex' value into dict.");
            return nullptr;
        }
        PyRef values = PyRef::steal(state->getNestedListForm());
        if (!values)
            return nullptr;
        PyRef arguments = PyRef::steal(PyTuple_Pack(2, keywords.get(), values.get()));
        if (!arguments)
            return nullptr;
        return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), arguments.get());
    });
}

/// __reduce_ex__(protocol): the nested-list form of __reduce__ below protocol 5 wherever it is
/// exact, else the exact form (see the top of this file).
PyObject* KCPyArray_ReduceEx(PyObject* self, PyObject* protocol) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const long level = PyLong_AsLong(protocol);
        if (level == -1 && PyErr_Occurred())
            return nullptr;
        return level < 5 ? reduceAs(self, true, DataForm::Bytes)
                         : reduceAs(self, false, DataForm::PickleBuffer);
    });
}

/// __copy__(): a new, independent array (see copyOf).
PyObject* KCPyArray_Copy(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* { return copyOf(self); });
}

/// __deepcopy__(memo): as __copy__; elements are numbers, so there is nothing deeper to copy.
PyObject* KCPyArray_DeepCopy(PyObject* self, PyObject* /*memo*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* { return copyOf(self); });
}
