// src/protocols/buffer_export.cpp: read-only buffer export, storage descriptions, and the array.array and memoryview conversions
//
// Ownership of an export. A filled Py_buffer holds one reference to the array object that was asked
// (view->obj) and, in view->internal, an ExportBlock with everything else it needs: a share of the
// KDArrayWrapper it points into (the object's own for a full array, the index-restricted copy's for a
// partial array, which holds only the elements the partial array shows) and its own copies of the
// shape and strides. bf_releasebuffer frees the block and decrements the export count of the same
// wrapper the fill incremented; nothing else keeps track of exports.
// While exports are live the wrapper keeps the storage they point into: reshape() moves the same block
// into the reshaped array, and a write that has to copy (the storage was shared with a clone or a host)
// keeps the old storage until the last export is released. Element assignment otherwise writes into the
// same storage in place, so an export of a full array shows later assignments. A partial array's copy
// is made again after a write, so later exports show it; earlier ones keep the copy they were given.

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/objects.hpp"
#include "base/py_args.hpp"
#include "base/pyref.hpp"
#include "core/array_state.hpp"
#include "core/index_items.hpp"
#include "core/storage.hpp"
#include "protocols/buffer_export.hpp"
#include "protocols/iteration.hpp"

using kalvo::py::PyRef;

namespace {

/// The object's own wrapper, or null (with RuntimeError "null data pointer." set).
KDArrayWrapper* requireWrapper(const KCppPyArray& state) {
    KDArrayWrapper* wrapper = state.getKDAWrapper();
    if (!wrapper)
        PyErr_SetString(PyExc_RuntimeError, "null data pointer.");
    return wrapper;
}

/// The wrapper a view of `state` exports: the own one for a full array, the index-restricted
/// copy's for a partial array (built and cached on the first export). Empty with an error set.
std::shared_ptr<KDArrayWrapper> exportSource(KCppPyArray& state) {
    if (state.indicesAreEmpty())
        return state.getKDAWrapperAsSharedPtr();
    state.updateIndexRestrictedKCppPyArrayIfNecessary(kalvo::data::MemoryLayout::COLUMN_MAJOR,
                                                      true);
    const KCppPyArray* restricted = state.getIndexRestrictedKCppPyArray();
    std::shared_ptr<KDArrayWrapper> wrapper;
    if (restricted)
        wrapper = restricted->getKDAWrapperAsSharedPtr();
    if (!wrapper) {
        // Whatever made the materialisation fail stays visible as the cause.
        kalvo::py::FetchedError cause;
        cause.raiseWithCause(PyExc_RuntimeError, "null data pointer.");
    }
    return wrapper;
}

/// Everything one export needs, hung on view->internal and freed by bf_releasebuffer.
struct ExportBlock {
    std::shared_ptr<KDArrayWrapper> owner;  ///< keeps the storage the export points into
    std::vector<Py_ssize_t> shape;          ///< the extents when exported
    std::vector<Py_ssize_t> strides;        ///< the byte strides when exported
};

/// The address exports and buffer_info() give: element 0 of the storage, or for an array without
/// elements (which has no storage address) a fixed non-null stand-in that nothing reads.
char* exportAddress(const KDArrayWrapper& wrapper) {
    static char noElements = 0;
    return wrapper.data() != nullptr ? const_cast<char*>(wrapper.data()) : &noElements;
}

/// Fails a buffer request: sets `type` with `message`; the view keeps no object.
int refuseView(Py_buffer* view, PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    view->obj = nullptr;
    return -1;
}

}  // namespace

int KCPyArray_GetBuffer(PyObject* self, Py_buffer* view, int flags) {
    return kalvo::py::guarded(-1, [&]() -> int {
        if (view)
            view->obj = nullptr;
        KCppPyArray* state = requireState(self);
        if (!state)
            return -1;
        if (!view) {
            PyErr_SetString(PyExc_RuntimeError, "null pointer to view object null.");
            return -1;
        }
        std::shared_ptr<KDArrayWrapper> source = exportSource(*state);
        if (!source)
            return -1;
        // Allocated before anything is handed out, so a failure here leaves nothing to undo.
        auto block = std::make_unique<ExportBlock>();
        KDArrayWrapper& wrapper = *source;
        block->shape.assign(wrapper.shape().begin(), wrapper.shape().end());
        block->strides.assign(wrapper.bytewiseStridesVector().begin(),
                              wrapper.bytewiseStridesVector().end());
        block->owner = std::move(source);

        view->buf = exportAddress(wrapper);
        view->len = wrapper.getBufferSizeInBytes();
        view->itemsize = wrapper.getElementSizeInBytes();
        view->ndim = wrapper.getNumberOfDimensions();
        if ((flags & PyBUF_WRITABLE) && wrapper.isReadOnly())
            return refuseView(view, PyExc_ValueError, "underlying buffer is not writable.");
        view->readonly = wrapper.isReadOnly();
        view->format = nullptr;
        if (flags & PyBUF_FORMAT) {
            view->format = wrapper.format();
            if (!view->format)
                return refuseView(view, PyExc_ValueError, "format field is null.");
        }
        // The storage is first-index-fastest; a demand for C order is refused outright, without
        // looking at whether this particular shape would happen to qualify.
        if ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS)
            return refuseView(view, PyExc_ValueError, "underlying buffer not C-contiguous.");
        // Shape and strides are always given, whatever the flags: consumers that only asked for
        // a simple buffer ignore them, and every other consumer needs the Fortran strides.
        view->shape = block->shape.data();
        view->strides = block->strides.data();
        view->suboffsets = nullptr;
        view->internal = block.release();
        Py_INCREF(self);
        view->obj = self;
        wrapper.incrementExportCount();
        return 0;
    });
}

void KCPyArray_ReleaseBuffer(PyObject* /*self*/, Py_buffer* view) {
    kalvo::py::guardedVoid([&] {
        if (!view || !view->internal)
            return;
        std::unique_ptr<ExportBlock> block(static_cast<ExportBlock*>(view->internal));
        view->internal = nullptr;
        block->owner->decrementExportCount();
    });
}

PyObject* KCPyArray_BufferInfo(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        KDArrayWrapper* wrapper = state ? requireWrapper(*state) : nullptr;
        if (!wrapper)
            return nullptr;
        // The whole underlying array, also for a partial array.
        PyRef address = PyRef::steal(PyLong_FromVoidPtr(exportAddress(*wrapper)));
        PyRef count = PyRef::steal(PyLong_FromLong(wrapper->getNumberOfElements()));
        if (!address || !count)
            return nullptr;
        return PyTuple_Pack(2, address.get(), count.get());
    });
}

PyObject* KCPyArray_GetBytewiseStrides(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        KDArrayWrapper* wrapper = state ? requireWrapper(*state) : nullptr;
        if (!wrapper)
            return nullptr;
        // Copied: allocating the tuple can run a collection whose finalizers reshape the array.
        const std::vector<long> strides = wrapper->bytewiseStridesVector();
        return kalvo::py::tupleOf(strides, makePyObjectFromLong);
    });
}

PyObject* KCPyArray_GetArraySize(PyObject* self, void* /*closure*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state)
            return nullptr;
        const KDArrayWrapper* wrapper = requireWrapper(*state);
        if (!wrapper)
            return nullptr;
        const std::vector<IndexItem>& items = state->getIndicesRef();
        const long n = wrapper->getNumberOfDimensions();
        const long k = state->getNumberOfIntegerIndicesSoFar();
        const long s = static_cast<long>(items.size()) - k;
        if (s >= 2) {
            PyErr_SetString(PyExc_RuntimeError, "at most one slice expected.");
            return nullptr;
        }
        // A reshape of the source can leave a partial array with more items than dimensions.
        if (k + s > n) {
            PyErr_SetString(PyExc_RuntimeError, "too many indices.");
            return nullptr;
        }
        // The entries are settled before anything is allocated: allocating can run a collection
        // whose finalizers reshape the array under us.
        std::vector<long> extents;
        extents.reserve(static_cast<size_t>(n - k));
        long dim = k;
        if (s == 1) {
            const auto* slice = std::get_if<SliceIndexItem>(&items[static_cast<size_t>(k)]);
            if (!slice) {
                PyErr_SetString(PyExc_RuntimeError, "slice expected in final position.");
                return nullptr;
            }
            extents.push_back(slice->m_slice_len.value_or(0));
            ++dim;
        }
        for (; dim < n; ++dim)
            extents.push_back(wrapper->shape()[static_cast<size_t>(dim)]);
        return kalvo::py::tupleOf(extents, makePyObjectFromLong);
    });
}

PyObject* KCPyArray_GetElementSize(PyObject* self, void* /*closure*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        KDArrayWrapper* wrapper = state ? requireWrapper(*state) : nullptr;
        if (!wrapper)
            return nullptr;
        PyObject* size = PyLong_FromLong(wrapper->getElementSizeInBytes());
        if (!size)
            PyErr_SetString(PyExc_RuntimeError, "unable to return size of element.");
        return size;
    });
}

PyObject* KCPyArray_ToArrayArray(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyArray* state = requireState(self);
        if (!state || !requireWrapper(*state))
            return nullptr;
        // The same walk iter(self) makes: element values when one dimension is left.
        PyRef iterator = PyRef::steal(KCPyArray_GetIter(self));
        if (!iterator)
            return nullptr;
        // array.array has no boolean code; logical elements go in as unsigned bytes.
        const SupportedArrayEnum kind = state->getSupportedArrayEnum();
        const char typecode = kalvo::kinds::kRows[kind == KIND_LOGICAL ? KIND_UINT8 : kind].format;
        PyRef code = PyRef::steal(PyUnicode_FromStringAndSize(&typecode, 1));
        PyRef args = code ? PyRef::steal(PyTuple_Pack(2, code.get(), iterator.get())) : PyRef();
        if (!args) {
            if (PyErr_Occurred())
                PyErr_Print();
            PyErr_SetString(PyExc_RuntimeError, "unable to set arg tuple.");
            return nullptr;
        }
        PyRef result =
            ArrayArray::s_arrayClass
                ? PyRef::steal(PyObject_Call(ArrayArray::s_arrayClass, args.get(), nullptr))
                : PyRef();
        if (!result) {
            // array.array's own complaint goes to stderr; ours says what the caller can change.
            if (PyErr_Occurred())
                PyErr_Print();
            const long remaining =
                state->getNumberOfDimensions() - state->getNumberOfIntegerIndicesSoFar();
            PyErr_SetString(PyExc_RuntimeError,
                            remaining != 1
                                ? "toarray() can be called only on a one-dimensional sequence."
                                : "toarray() failed.");
            return nullptr;
        }
        return result.release();
    });
}

PyObject* KCPyArray_ToMemoryView(PyObject* self, PyObject* /*unused*/) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!requireState(self))
            return nullptr;
        return PyMemoryView_FromObject(self);
    });
}
