// src/protocols/iteration.cpp: iter(a), next(it) and the iterator object's lifetime
//
// Ownership rules
// - A KCPyIter owns its KCppPyIter exclusively (made by makeKCppPyIter, destroyed by
//   KCPyIter_Delete). The iterator state holds no reference to the source Python object: its copy
//   of the source's KCppPyArray keeps the shared wrapper, and so the storage, alive.
// - Each step returns a new reference. A partial-array item is a new object of the source's type
//   whose state is built first and handed over once the object exists.
// - Every step checks its position against the wrapper's current shape before reading: a reshape
//   through any array sharing the wrapper may shrink the dimensions under a walk in progress, and
//   a position outside the current shape ends the walk (StopIteration) instead of reading outside
//   the buffer.

#include "protocols/iteration.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/guard.hpp"
#include "base/kind_dispatch.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "core/state_lifetime.hpp"
#include "protocols/reading.hpp"

using kalvo::py::guarded;
using kalvo::py::guardedVoid;
using kalvo::py::PyRef;

namespace {

/// The Python value of the element at `address`, E being the element type (complex included).
template<class E>
PyObject* convertElementAt(const char* address) {
    return kalvo::py::elementBytesToPyObject<E>(address);
}

}  // namespace

KCppPyIter::KCppPyIter(const KCppPyArray& source)
    : m_arrayState(source),
      m_activeDim(source.getNumberOfIntegerIndicesSoFar()),
      m_position(m_arrayState.getIndicesOfStartElement(m_activeDim + 1)),
      m_finished(!m_arrayState.containsElementWithIndices(m_position, m_activeDim + 1)),
      m_yieldsArrays(m_arrayState.getNumberOfDimensions() - m_activeDim >= 2) {}

bool KCppPyIter::positionFitsCurrentShape() const {
    const std::vector<long>& shape = m_arrayState.getKDAWrapper()->shape();
    const long nDim = static_cast<long>(shape.size());
    if (nDim <= m_activeDim || (nDim - m_activeDim >= 2) != m_yieldsArrays) {
        return false;
    }
    for (long d = 0; d <= m_activeDim; ++d) {
        if (m_position[d] < 0 || m_position[d] >= shape[d]) {
            return false;
        }
    }
    return true;
}

PyObject* KCppPyIter::itemAtPosition() {
    if (m_yieldsArrays) {
        // The partial array at this position: one integer item per entry of m_position, so a
        // trailing slice of the source becomes the absolute position the walk has reached.
        std::unique_ptr<KCppPyArray> view = takeKCppPyArray(m_arrayState, m_position);
        PyRef object =
            PyRef::steal(allocKCPyArray(TypeObjectPointers[m_arrayState.getSupportedArrayEnum()]));
        return attachState(std::move(object), std::move(view));
    }
    // Every dimension is fixed: the element value, read from the runtime's storage.
    return m_arrayState.getNumericPyObjectFromNormalizedIntIndicesWithoutTemplate(m_position);
}

bool KCppPyIter::primeElementCursor() {
    m_cursorLeft = 0;
    if (m_yieldsArrays || m_finished || !positionFitsCurrentShape()) {
        return false;
    }
    const KDArrayWrapper& wrapper = *m_arrayState.getKDAWrapper();
    const long d = m_activeDim;
    const long left = remainingItems();
    if (left <= 0 || wrapper.data() == nullptr) {
        return false;
    }
    const std::vector<long>& strides = wrapper.bytewiseStridesVector();
    const std::vector<IndexItem>& items = m_arrayState.getIndicesRef();
    const char* address = wrapper.data();
    for (long k = 0; k <= d; ++k) {
        address += m_position[k] * strides[k];
    }
    m_cursorStep = getStepFromShapeDimsAndRestrictingIndices(d, wrapper.shape(), items);
    m_cursor = address;
    m_cursorStride = strides[d] * m_cursorStep;
    m_cursorLeft = left;
    m_cursorGeneration = wrapper.generation();
    m_convert =
        kalvo::py::visitElementKind(m_arrayState.getSupportedArrayEnum(), m_arrayState.isComplex(),
                                    [](auto tag) -> PyObject* (*)(const char*) {
                                        return &convertElementAt<typename decltype(tag)::type>;
                                    });
    return true;
}

PyObject* KCppPyIter::next() {
    if (!m_yieldsArrays && !m_finished &&
        ((m_cursorLeft > 0 && m_cursorGeneration == m_arrayState.getKDAWrapper()->generation()) ||
         primeElementCursor())) {
        // Nothing between the set-up and here ran Python code under this generation, so the
        // cursor's address, stride and count still describe the array.
        PyObject* item = m_convert(m_cursor);
        m_cursor += m_cursorStride;
        m_position[m_activeDim] += m_cursorStep;
        if (--m_cursorLeft == 0) {
            m_finished = true;
        }
        return item;
    }
    if (!m_finished && !positionFitsCurrentShape()) {
        m_finished = true;
    }
    if (m_finished) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyRef item;
    try {
        item = PyRef::steal(itemAtPosition());
    } catch (...) {
        m_finished = !m_arrayState.incrementIndices(m_position);
        throw;
    }
    // Only the active dimension moves; the integer items before it cannot carry.
    m_finished = !m_arrayState.incrementIndices(m_position);
    return item.release();
}

long KCppPyIter::remainingItems() const {
    if (m_finished || !positionFitsCurrentShape()) {
        return 0;
    }
    const std::vector<long>& shape = m_arrayState.getKDAWrapper()->shape();
    const std::vector<IndexItem>& items = m_arrayState.getIndicesRef();
    const long d = m_activeDim;
    const long step = getStepFromShapeDimsAndRestrictingIndices(d, shape, items);
    const long from = m_position[d];
    // The positions the odometer would visit: from `from` in steps of `step` while before the
    // bound, which never lies beyond the current extent.
    if (step > 0) {
        const long stop =
            std::min(getStopFromShapeDimsAndRestrictingIndices(d, shape, items), shape[d]);
        return from < stop ? (stop - from - 1) / step + 1 : 0;
    }
    if (step < 0) {
        const long stop = std::max(getStopFromShapeDimsAndRestrictingIndices(d, shape, items), -1L);
        return from > stop ? (from - stop - 1) / -step + 1 : 0;
    }
    return 1;
}

bool KCppPyIter::holdsNoElements() const {
    if (remainingItems() == 0) {
        return true;
    }
    const std::vector<long>& shape = m_arrayState.getKDAWrapper()->shape();
    return std::any_of(shape.begin() + m_activeDim + 1, shape.end(),
                       [](long extent) { return extent == 0; });
}

std::optional<KCppPyIter::ElementRun> KCppPyIter::takeRemainingElements() {
    if (!m_finished && !positionFitsCurrentShape()) {
        m_finished = true;
    }
    if (m_finished || m_yieldsArrays) {
        m_finished = true;
        return ElementRun{};
    }
    ElementRun run;
    run.count = remainingItems();
    m_finished = true;
    const long d = m_activeDim;
    const long step = getStepFromShapeDimsAndRestrictingIndices(
        d, m_arrayState.getKDAWrapper()->shape(), m_arrayState.getIndicesRef());
    run.first = m_arrayState.getAddressOfElementFromNormalizedIntIndices(m_position);
    if (run.first == nullptr) {
        return std::nullopt;
    }
    run.strideInBytes = m_arrayState.getKDAWrapper()->bytewiseStridesVector()[d] * step;
    return run;
}

KCppPyIter* makeKCppPyIter(const KCppPyArray& array) {
    return guarded<KCppPyIter*>(nullptr, [&]() -> KCppPyIter* {
        // A partial array made before a reshape may name positions the array no longer has.
        if (!checkIndicesStillValid(&array)) {
            return nullptr;
        }
        return new KCppPyIter(array);
    });
}

void destroyKCppPyIter(KCppPyIter* state) noexcept { delete state; }

PyObject* KCPyArray_GetIter(PyObject* array) {
    return kalvo::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const KCppPyArray* source = requireState(array);
        if (!source) {
            return nullptr;
        }
        // Released through KCPyIter_Delete (state still null) if the state cannot be built.
        auto iterator = kalvo::py::PyRef::steal(KCPyIter_Type.tp_alloc(&KCPyIter_Type, 0));
        if (!iterator) {
            PyErr_SetString(PyExc_RuntimeError, "unable to initialize C object.");
            return nullptr;
        }
        KCppPyIter* state = makeKCppPyIter(*source);
        if (!state)
            return nullptr;
        reinterpret_cast<KCPyIter*>(iterator.get())->state = state;
        return iterator.release();
    });
}

PyObject* KCPyIter_GetIter(PyObject* iterator) {
    Py_INCREF(iterator);
    return iterator;
}

PyObject* KCPyIter_GetIterNext(PyObject* iterator) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        KCppPyIter* state =
            iterator == nullptr ? nullptr : reinterpret_cast<KCPyIter*>(iterator)->state;
        if (state == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "object not initialized.");
            return nullptr;
        }
        return state->next();
    });
}

void KCPyIter_Delete(PyObject* iterator) {
    guardedVoid([&] {
        auto* object = reinterpret_cast<KCPyIter*>(iterator);
        destroyKCppPyIter(std::exchange(object->state, nullptr));
    });
    PyObject_Free(iterator);
}

// Iterators come only from iter() on an array: no tp_new, so Python code cannot make one.
// clang-format off
PyTypeObject KCPyIter_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "kalvo.KCPyIter",           /* tp_name */
    sizeof(KCPyIter),           /* tp_basicsize */
    0,                          /* tp_itemsize */
    KCPyIter_Delete,            /* tp_dealloc */
    0,                          /* tp_vectorcall_offset */
    nullptr,                    /* tp_getattr */
    nullptr,                    /* tp_setattr */
    nullptr,                    /* tp_as_async */
    nullptr,                    /* tp_repr */
    nullptr,                    /* tp_as_number */
    nullptr,                    /* tp_as_sequence */
    nullptr,                    /* tp_as_mapping */
    nullptr,                    /* tp_hash */
    nullptr,                    /* tp_call */
    nullptr,                    /* tp_str */
    nullptr,                    /* tp_getattro */
    nullptr,                    /* tp_setattro */
    nullptr,                    /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,         /* tp_flags */
    "Internal iterator object", /* tp_doc */
    nullptr,                    /* tp_traverse */
    nullptr,                    /* tp_clear */
    nullptr,                    /* tp_richcompare */
    0,                          /* tp_weaklistoffset */
    KCPyIter_GetIter,           /* tp_iter */
    KCPyIter_GetIterNext,       /* tp_iternext */
    nullptr,                    /* tp_methods */
    nullptr,                    /* tp_members */
    nullptr,                    /* tp_getset */
    nullptr,                    /* tp_base */
    nullptr,                    /* tp_dict */
    nullptr,                    /* tp_descr_get */
    nullptr,                    /* tp_descr_set */
    0,                          /* tp_dictoffset */
    nullptr,                    /* tp_init */
    nullptr,                    /* tp_alloc */
    nullptr,                    /* tp_new */
    nullptr,                    /* tp_free */
    nullptr,                    /* tp_is_gc */
    nullptr,                    /* tp_bases */
    nullptr,                    /* tp_mro */
    nullptr,                    /* tp_cache */
    nullptr,                    /* tp_subclasses */
    nullptr,                    /* tp_weaklist */
    nullptr,                    /* tp_del */
    0,                          /* tp_version_tag */
    nullptr,                    /* tp_finalize */
    nullptr,                    /* tp_vectorcall */
};
// clang-format on
