// src/protocols/comparison.cpp: a == b and a != b, and `x in a`; ordering comparisons are refused
//
// Two whole arrays (no pending indices) of one element kind, complexity and shape are compared
// straight through their storage, in storage order and in blocks the compiler vectorises, with
// the == of the Python values a read gives: for those that is the element type's own == (NaN
// never equal, -0.0 equal to 0.0, logical bytes equal when both or neither are non-zero).
//
// Everything else is compared by walking both arrays side by side with iterator states
// (iteration.hpp): element items are compared with the interpreter's ==, partial-array items by
// comparing their states in turn. Each item is a new reference held in a PyRef and released
// before the next step; the two walks are destroyed before the comparison returns. The walks
// share the compared arrays' wrappers and check every position against the current shape, so
// nothing here can read outside the storage whatever a comparison does.
//
// When both walks are over the last dimension, the elements are compared straight from the
// storage instead: each element is turned into a C++ image of the Python value a read would give
// (bool, exact integer, double, or complex of doubles) and compared with an == that gives what
// Python's == gives on those objects, so the comparison makes no Python object per element. The
// item-by-item loop then only meets partial arrays; its element branch is the general rule for
// item values the storage cannot answer for.

#include "protocols/comparison.hpp"

#include <algorithm>
#include <complex>
#include <cstring>
#include <iostream>
#include <type_traits>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/kind_dispatch.hpp"
#include "base/objects.hpp"
#include "base/pyref.hpp"
#include "core/array_object.hpp"
#include "core/array_state.hpp"
#include "protocols/iteration.hpp"
#include "protocols/reading.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

// The state of an array object, or null (without an error) when it has none.
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

// The Python value of the element of type E stored at `address`, as a C++ value whose == is
// Python's: a logical byte is true when non-zero, integers stay exact, single precision widens to
// double, and complex parts become the doubles a Python complex is made of.
template<class E>
auto pythonValue(const char* address) {
    if constexpr (std::is_same_v<E, bool>) {
        unsigned char byte;
        std::memcpy(&byte, address, 1);
        return byte != 0;
    } else {
        E element;
        std::memcpy(&element, address, sizeof(E));
        if constexpr (kalvo::py::IsComplexElement<E>::value) {
            return std::complex<double>(static_cast<double>(element.real()),
                                        static_cast<double>(element.imag()));
        } else if constexpr (std::is_floating_point_v<E>) {
            return static_cast<double>(element);
        } else {
            return element;
        }
    }
}

// Python's int == float, which is exact: an integer equals a double only when the double is
// that very integer.
template<class I>
bool integerEqualsDouble(I v, double d) {
    if constexpr (sizeof(I) < 8) {
        return static_cast<double>(v) == d;  // every such integer is a double exactly
    } else if constexpr (std::is_signed_v<I>) {
        return d >= -0x1p63 && d < 0x1p63 && static_cast<double>(v) == d && static_cast<I>(d) == v;
    } else {
        return d >= 0.0 && d < 0x1p64 && static_cast<double>(v) == d && static_cast<I>(d) == v;
    }
}

// Python's == between two element values as pythonValue gives them.
template<class X, class Y>
bool valuesEqual(const X& x, const Y& y) {
    if constexpr (std::is_same_v<X, Y>) {
        return x == y;
    } else if constexpr (std::is_same_v<X, std::complex<double>>) {
        return valuesEqual(y, x);
    } else {  // a real value against a complex one: the imaginary part must be 0
        if (y.imag() != 0.0) {
            return false;
        }
        if constexpr (std::is_floating_point_v<X>) {
            return x == y.real();
        } else {
            return integerEqualsDouble(x, y.real());
        }
    }
}

// Both walks yield element values, of types EA and EB (one element kind, each side real or
// complex): compares what they have still to yield, pairwise. Nothing runs Python code in
// between, so the runs stay valid throughout.
template<class EA, class EB>
std::optional<bool> storedElementsEqual(KCppPyIter& walkA, KCppPyIter& walkB) {
    const std::optional<KCppPyIter::ElementRun> x = walkA.takeRemainingElements();
    const std::optional<KCppPyIter::ElementRun> y = walkB.takeRemainingElements();
    if (!x || !y) {
        return std::nullopt;
    }
    if (x->count != y->count) {
        return false;
    }
    const char* px = x->first;
    const char* py = y->first;
    for (long i = 0; i < x->count; ++i, px += x->strideInBytes, py += y->strideInBytes) {
        if (!valuesEqual(pythonValue<EA>(px), pythonValue<EB>(py))) {
            return false;
        }
    }
    return true;
}

// storedElementsEqual for the element kind of both states and each side's complexity.
std::optional<bool> storedElementsEqual(const KCppPyArray& a, KCppPyIter& walkA,
                                        const KCppPyArray& b, KCppPyIter& walkB) {
    return kalvo::py::visitElementKind(a.getSupportedArrayEnum(), a.isComplex(), [&](auto tagA) {
        using EA = typename decltype(tagA)::type;
        return kalvo::py::visitRepresentation<RealOfT<EA>>(b.isComplex(), [&](auto tagB) {
            return storedElementsEqual<EA, typename decltype(tagB)::type>(walkA, walkB);
        });
    });
}

// Two walks whose arrays hold no elements (KCppPyIter::holdsNoElements). Every item of such a
// walk is the same empty partial array, so the item-by-item comparison below would give, for each
// pair, what its first pair gives: this follows that first pair down, one dimension per level,
// without making any item. The walks are equal when their item counts agree at every level
// reached; a level where either walk yields nothing, or yields element values, is the last.
bool emptyWalksEqual(const KCppPyIter& walkA, const KCppPyIter& walkB) {
    const std::vector<long>& shapeA = walkA.arrayState().getKDAWrapper()->shape();
    const std::vector<long>& shapeB = walkB.arrayState().getKDAWrapper()->shape();
    const long ndimA = static_cast<long>(shapeA.size());
    const long ndimB = static_cast<long>(shapeB.size());
    long levelA = walkA.activeDimension();
    long levelB = walkB.activeDimension();
    long countA = walkA.remainingItems();
    long countB = walkB.remainingItems();
    for (;;) {
        const bool arraysA = ndimA - levelA >= 2;
        const bool arraysB = ndimB - levelB >= 2;
        if (countA == 0 || countB == 0 || !arraysA || !arraysB) {
            return countA == countB && (countA == 0 || arraysA == arraysB);
        }
        if (countA != countB) {
            return false;
        }
        countA = shapeA[++levelA];
        countB = shapeB[++levelB];
    }
}

// Elements compared between two checks for a pending signal in the whole-array comparison.
constexpr long kElementsPerSignalCheck = 1 << 20;

// Whether the n scalars at x and y are pairwise equal by ==, S being a floating-point type, or
// unsigned char for logical bytes (equal when both or neither are non-zero). Sixteen bytes at a
// time, in the machine's vector registers: the lanes' mismatch masks are or-ed together and
// looked at once at the end.
template<class S, bool Logical>
bool blockEqual(const S* x, const S* y, long n) {
    typedef S Vector __attribute__((vector_size(16)));
    constexpr long kLanes = 16 / sizeof(S);
    decltype(Vector{} != Vector{}) mismatch = {};
    long i = 0;
    // Unrolled, so the loop's cost does not hinge on where its few instructions happen to fall
    // against the processor's fetch windows.
#pragma GCC unroll 4
    for (; i + kLanes <= n; i += kLanes) {
        Vector a;
        Vector b;
        std::memcpy(&a, x + i, sizeof a);
        std::memcpy(&b, y + i, sizeof b);
        if constexpr (Logical) {
            mismatch |= (a == 0) != (b == 0);
        } else {
            mismatch |= a != b;  // NaN is never equal; -0.0 equals 0.0
        }
    }
    bool differs = false;
    for (long lane = 0; lane < kLanes; ++lane) {
        differs |= mismatch[lane] != 0;
    }
    for (; i < n; ++i) {
        if constexpr (Logical) {
            differs |= (x[i] == 0) != (y[i] == 0);
        } else {
            differs |= !(x[i] == y[i]);
        }
    }
    return !differs;
}

// Whether the n scalars at x and y are pairwise equal by the == of their Python values, S being
// the element type, the part type of a complex element, or unsigned char for logical bytes.
// Parts of complex integer elements read as doubles, so 64-bit ones are compared as the doubles
// they round to (AsDouble). Other integers are equal exactly when their bytes are. The rest go
// through blockEqual a block at a time, stopping after the first block with a difference.
template<class S, bool Logical, bool AsDouble>
bool scalarsEqual(const S* x, const S* y, long n) {
    if constexpr (std::is_integral_v<S> && !Logical && !AsDouble) {
        return std::memcmp(x, y, static_cast<size_t>(n) * sizeof(S)) == 0;
    } else {
        constexpr long kBlock = 1024;
        for (long begin = 0; begin < n; begin += kBlock) {
            const long end = std::min(n, begin + kBlock);
            if constexpr (AsDouble) {
                for (long i = begin; i < end; ++i) {
                    if (static_cast<double>(x[i]) != static_cast<double>(y[i])) {
                        return false;
                    }
                }
            } else if (!blockEqual<S, Logical>(x + begin, y + begin, end - begin)) {
                return false;
            }
        }
        return true;
    }
}

// Whole arrays a and b of one kind and complexity, with equal shapes and strides and at least
// one element: compares their storages scalar by scalar in storage order. Nothing here runs
// Python code but the signal check between chunks, and the pins keep both storages alive and
// unchanged across it (a write there copies first). Nothing, without an error set, when the
// storage does not hold the kind's elements; the walk then reports that.
std::optional<bool> storagesEqual(const KCppPyArray& a, const KCppPyArray& b, bool& handled) {
    const StoragePin x = a.getKDAWrapper()->pin();
    const StoragePin y = b.getKDAWrapper()->pin();
    handled = false;
    return dispatchOnKind(a.getSupportedArrayEnum(), [&](auto tag) -> std::optional<bool> {
        using T = typename decltype(tag)::type;
        constexpr bool logical = std::is_same_v<T, bool>;
        using S = std::conditional_t<logical, unsigned char, T>;
        const long parts = a.isComplex() && !logical ? 2 : 1;
        if (x.base == nullptr || y.base == nullptr ||
            x.elementSize != parts * static_cast<long>(sizeof(S)) ||
            y.elementSize != x.elementSize) {
            return std::nullopt;
        }
        handled = true;
        const S* px = reinterpret_cast<const S*>(x.base);
        const S* py = reinterpret_cast<const S*>(y.base);
        const long scalars = a.getNumberOfElements() * parts;
        for (long begin = 0; begin < scalars; begin += kElementsPerSignalCheck) {
            if (begin != 0 && PyErr_CheckSignals() != 0) {
                return std::
                    nullopt;  // Ctrl-C (or a signal handler's exception) ends the comparison
            }
            const long n = std::min(scalars - begin, kElementsPerSignalCheck);
            const bool equal = parts == 2 && std::is_integral_v<S> && sizeof(S) == 8
                                   ? scalarsEqual<S, logical, true>(px + begin, py + begin, n)
                                   : scalarsEqual<S, logical, false>(px + begin, py + begin, n);
            if (!equal) {
                return false;
            }
        }
        return true;
    });
}

// Whether a and b can be compared through storagesEqual: both whole arrays, one complexity,
// elements laid out alike. Assumptions: the element kinds are equal.
bool comparableByStorage(const KCppPyArray& a, const KCppPyArray& b) {
    const KDArrayWrapper& wa = *a.getKDAWrapper();
    const KDArrayWrapper& wb = *b.getKDAWrapper();
    return a.indicesAreEmpty() && b.indicesAreEmpty() && a.isComplex() == b.isComplex() &&
           wa.getNumberOfElements() > 0 && wa.shape() == wb.shape() &&
           wa.bytewiseStridesVector() == wb.bytewiseStridesVector();
}

/// `value in a` for a walk whose items are all the same empty partial array (holdsNoElements):
/// the first item answers for every position, so a walk over an extent of 2**40 ends at once.
/// Such an item's == decides on its own without consulting `value` and runs no Python code
/// (no element is ever compared), so the answer is what comparing each item would give.
int emptyItemsContain(const KCppPyIter& walk, PyObject* value) {
    if (walk.remainingItems() == 0 || !KCPyArray_Check(value)) {
        return 0;  // no item, or an item == a non-array is False
    }
    const KCppPyArray* other = requireState(value);
    if (other == nullptr) {
        return -1;
    }
    const KCppPyArray item(walk.arrayState(), walk.position());
    if (!checkIndicesStillValid(&item) || !checkIndicesStillValid(other)) {
        return -1;
    }
    const std::optional<bool> equal = arrayStatesAreEqual(item, *other);
    return !equal ? -1 : *equal ? 1 : 0;
}

}  // namespace

std::optional<bool> arrayStatesAreEqual(const KCppPyArray& a, const KCppPyArray& b) {
    if (a.getSupportedArrayEnum() != b.getSupportedArrayEnum()) {
        return false;
    }
    if (comparableByStorage(a, b)) {
        bool handled = false;
        const std::optional<bool> equal = storagesEqual(a, b, handled);
        if (handled) {
            return equal;
        }
    }
    KCppPyIter walkA(a);
    KCppPyIter walkB(b);
    if (!walkA.yieldsArrays() && !walkB.yieldsArrays()) {
        return storedElementsEqual(a, walkA, b, walkB);
    }
    if (walkA.holdsNoElements() && walkB.holdsNoElements()) {
        return emptyWalksEqual(walkA, walkB);
    }
    for (long count = 1;; ++count) {
        if (count % kItemsPerSignalCheck == 0 && PyErr_CheckSignals() != 0) {
            return std::nullopt;  // Ctrl-C (or a signal handler's exception) ends the comparison
        }
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
        const KCppPyArray* state = requireState(self);
        if (state == nullptr) {
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
        const KCppPyArray* otherState = requireState(other);
        if (otherState == nullptr) {
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

int KCPyArray_Contains(PyObject* self, PyObject* value) {
    return guarded<int>(-1, [&]() -> int {
        // `value in a` is the interpreter's own search over iter(a): the same walk, the same
        // errors, item == value for each item in turn.
        PyRef iterator = PyRef::steal(KCPyArray_GetIter(self));
        if (!iterator) {
            return -1;
        }
        const KCppPyIter* walk = reinterpret_cast<KCPyIter*>(iterator.get())->state;
        if (walk != nullptr && walk->yieldsArrays() && walk->holdsNoElements()) {
            return emptyItemsContain(*walk, value);
        }
        for (long count = 1;; ++count) {
            PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
            if (!item) {
                return PyErr_Occurred() ? -1 : 0;
            }
            const int equal = PyObject_RichCompareBool(item.get(), value, Py_EQ);
            if (equal != 0) {
                return equal > 0 ? 1 : -1;
            }
            if (count % kItemsPerSignalCheck == 0 && PyErr_CheckSignals() != 0) {
                return -1;
            }
        }
    });
}
