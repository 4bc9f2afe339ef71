// src/protocols/iteration.hpp: the iterator state that walks one dimension of an array
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <vector>

#include "core/array_state.hpp"

/// Items a long walk (==, `in`) takes between two checks for a pending signal, so Ctrl-C stops it.
constexpr long kItemsPerSignalCheck = 1 << 14;

/// A walk over the active dimension of an array state. Each step yields the partial array at the
/// next position or, when only one dimension is left, the element value there. The walk shares
/// the array's wrapper, so assignments made through any array sharing it are seen by later steps.
class KCppPyIter {
public:
    /// Starts a walk over `source`'s active dimension; the state is copied (the wrapper is shared).
    explicit KCppPyIter(const KCppPyArray& source);
    KCppPyIter(const KCppPyIter&) = delete;
    KCppPyIter& operator=(const KCppPyIter&) = delete;

    /// The next item as a new reference; null with StopIteration set at the end, or with another
    /// exception when the step failed (the walk still moves past that position).
    PyObject* next();
    /// The elements a walk over the last dimension has still to yield, as a run in the wrapper's
    /// buffer: address of the first, byte distance from one to the next, and their number.
    struct ElementRun {
        const char* first = nullptr;
        long strideInBytes = 0;
        long count = 0;
    };
    /// Ends a walk over the last dimension (no partial-array items) and returns the elements it
    /// had still to yield, in order, so a caller can read them without a Python object for each.
    /// The run lies inside the buffer as the array is now; it is valid until Python code runs.
    /// Empty when nothing remains; nothing, with a Python error set, when the wrapper has no buffer.
    std::optional<ElementRun> takeRemainingElements();
    /// How many items the walk has still to yield, from the array as it is now (no item is made).
    long remainingItems() const;
    /// True when no element lies ahead: the walk is over, or a later dimension has extent 0. Every
    /// item such a walk yields is then the same empty partial array, whatever its position.
    bool holdsNoElements() const;
    /// The walked copy of the source's state.
    const KCppPyArray& arrayState() const noexcept { return m_arrayState; }
    /// The dimension walked.
    long activeDimension() const noexcept { return m_activeDim; }
    /// The index tuple of the next item (dimensions 0 to activeDimension()).
    const std::vector<long>& position() const noexcept { return m_position; }
    /// True once the walk has ended; it never restarts.
    bool finished() const noexcept { return m_finished; }
    /// True when the items are partial arrays, false when they are element values.
    bool yieldsArrays() const noexcept { return m_yieldsArrays; }

private:
    /// The item at m_position (new reference), or null with an exception set.
    PyObject* itemAtPosition();
    /// Whether m_position still names an item of the array as it is now (a reshape through any
    /// array sharing the wrapper may have moved the bounds under the walk).
    bool positionFitsCurrentShape() const;
    /// Points the element cursor at m_position for the wrapper's current generation; false (no
    /// error set) when the walk yields arrays, is over or its position no longer fits.
    bool primeElementCursor();

    KCppPyArray m_arrayState;      ///< copy of the source's state, sharing its wrapper
    long m_activeDim;              ///< the dimension walked: the source's integer index count
    std::vector<long> m_position;  ///< index tuple of the next item over dimensions 0..m_activeDim
    bool m_finished;               ///< no further item
    bool m_yieldsArrays;           ///< at least two dimensions remain from m_activeDim on

    // Element walks read through a cursor set up once per wrapper generation: the address of the
    // element at m_position, the byte distance to the next, the elements left and the converter.
    // A reshape or switch of storage bumps the generation, and the next step sets it up again
    // from m_position (which every step keeps current) or ends the walk as the general step would.
    const char* m_cursor = nullptr;
    long m_cursorStride = 0;
    long m_cursorLeft = 0;
    long m_cursorStep = 0;
    unsigned long m_cursorGeneration = 0;
    PyObject* (*m_convert)(const char*) = nullptr;
};

/// A new iterator state over `array`'s active dimension; null with a Python error on failure.
KCppPyIter* makeKCppPyIter(const KCppPyArray& array);
/// Destroys an iterator state (null allowed).
void destroyKCppPyIter(KCppPyIter* state) noexcept;
/// tp_iternext of the iterator type.
PyObject* KCPyIter_GetIterNext(PyObject* iterator);
/// tp_dealloc of the iterator type: destroys the state, then frees the object.
void KCPyIter_Delete(PyObject* iterator);

/// tp_iter of every array type: a new iterator over the array's active dimension.
PyObject* KCPyArray_GetIter(PyObject* array);

/// tp_iter of the iterator type: the iterator itself (new reference).
PyObject* KCPyIter_GetIter(PyObject* iterator);

/// The iterator type "kalvo.KCPyIter" (not instantiable from Python).
extern PyTypeObject KCPyIter_Type;
