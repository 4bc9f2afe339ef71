// src/protocols/comparison.cpp: a == b and a != b; ordering comparisons are refused
//
// Two arrays are compared by walking both side by side with iterator states (iteration.hpp):
// element items are compared with the interpreter's ==, partial-array items by comparing their
// states in turn. Each item is a new reference held in a PyRef and released before the next step;
// the two walks are destroyed before the comparison returns. The walks share the compared arrays'
// wrappers and check every position against the current shape, so nothing here can read outside
// a buffer whatever a comparison does.

#include "protocols/comparison.hpp"

#include <iostream>

#include "core/kcpp_py_array.hpp"
#include "module/element_kinds.hpp"
#include "module/guard.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"
#include "module/slots.hpp"
#include "protocols/iteration.hpp"
#include "protocols/reading.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

const char* const kNotInitialized = "object not initialized.";

KCppPyArray* stateOf(PyObject* object) {
    return object == nullptr ? nullptr : reinterpret_cast<KCPyArray*>(object)->state;
}

// The next item of `walk`, or an empty reference once the walk has ended or the step failed;
// either way no exception is left pending, since a missing item simply ends the comparison.
PyRef nextItem(KCppPyIter& walk) {
    PyRef item = PyRef::steal(walk.next());
    if (!item) {
        PyErr_Clear();
    }
    return item;
}

}  // namespace

std::optional<bool> arrayStatesAreEqual(const KCppPyArray& a, const KCppPyArray& b) {
    if (a.getSupportedArrayEnum() != b.getSupportedArrayEnum()) {
        return false;
    }
    KCppPyIter walkA(a);
    KCppPyIter walkB(b);
    for (;;) {
        const PyRef x = nextItem(walkA);
        const PyRef y = nextItem(walkB);
        if (!x || !y) {
            return !x && !y;
        }
        const bool xIsArray = KCPyArray_Check(x.get());
        if (xIsArray != KCPyArray_Check(y.get())) {
            return false;
        }
        if (xIsArray) {
            const KCppPyArray* stateX = stateOf(x.get());
            const KCppPyArray* stateY = stateOf(y.get());
            if (stateX == nullptr || stateY == nullptr) {
                return stateX == stateY;
            }
            const std::optional<bool> itemsEqual = arrayStatesAreEqual(*stateX, *stateY);
            if (!itemsEqual || !*itemsEqual) {
                return itemsEqual;
            }
            continue;
        }
        const int equal = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
        if (equal < 0) {
            std::cout << "PyObject_RichCompareBool() generated an error." << std::endl;
            return std::nullopt;
        }
        if (equal == 0) {
            return false;
        }
    }
}

template<class T>
PyObject* KCPyArray_RichCompare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const KCppPyArray* state = stateOf(self);
        if (state == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
            return nullptr;
        }
        if (op != Py_EQ && op != Py_NE) {
            PyErr_SetString(PyExc_NotImplementedError, "inequality operators not supported.");
            return nullptr;
        }
        // Anything that is not one of our arrays is simply unequal; the other operand's own
        // comparison is never consulted.
        if (!KCPyArray_Check(other)) {
            return PyBool_FromLong(op == Py_NE);
        }
        const KCppPyArray* otherState = stateOf(other);
        if (otherState == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
            return nullptr;
        }
        // Partial arrays made before a reshape may name positions the array no longer has.
        if (!checkIndicesStillValid(state) || !checkIndicesStillValid(otherState)) {
            return nullptr;
        }
        const std::optional<bool> equal = arrayStatesAreEqual(*state, *otherState);
        if (!equal) {
            return nullptr;
        }
        return PyBool_FromLong(*equal == (op == Py_EQ));
    });
}

#define KALVO_INSTANTIATE_RICH_COMPARE(T) \
    template PyObject* KCPyArray_RichCompare<T>(PyObject*, PyObject*, int);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE_RICH_COMPARE)
#undef KALVO_INSTANTIATE_RICH_COMPARE
