// src/protocols/text.cpp: str() and repr() of arrays and partial arrays
//
// Both slots write the text of the nested-list form of what the object selects, as the
// interpreter writes such a list but without blanks: "[[1.0,2.0],[3.0,4.0]]". repr() wraps it in
// "kalvo.<name>(...)" and adds ", is_complex=True" for complex arrays. The text is written
// straight from the storage into one ASCII buffer, element by element in index order (first index
// outermost), without making a Python object per element. Element texts are those of the Python
// values a read gives: float.__repr__ for double and single, decimal integers, True/False, and
// complex.__repr__ for complex elements. Nothing in the walk runs Python code; the storage is
// pinned all the same, so the addresses stay valid whatever the allocations do.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/element_kinds.hpp"
#include "base/guard.hpp"
#include "base/kind_dispatch.hpp"
#include "base/objects.hpp"
#include "core/array_state.hpp"
#include "protocols/reading.hpp"
#include "protocols/text.hpp"

using kalvo::py::guarded;

namespace {

/// The text being built; every character is ASCII.
using Text = std::string;

/// Appends `v` as the interpreter's float formatting with mode 'r' and `flags` writes it
/// (Py_DTSF_ADD_DOT_0 for float.__repr__, Py_DTSF_SIGN for the imaginary part of a complex).
/// False with MemoryError set when the formatter cannot allocate.
bool appendDouble(Text& text, double v, int flags) {
    // Integral values below 2**53 are written by their shortest round-trip digits, which are the
    // integer's own digits in fixed notation: format them here and spare the formatter's
    // allocation. -0.0 takes this path too and keeps its sign.
    if (v > -0x1p53 && v < 0x1p53 && v == std::trunc(v)) {
        if (std::signbit(v)) {
            text.push_back('-');
        } else if ((flags & Py_DTSF_SIGN) != 0) {
            text.push_back('+');
        }
        char digits[24];
        const auto magnitude = static_cast<unsigned long long>(std::fabs(v));
        const auto end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
        text.append(digits, end);
        if ((flags & Py_DTSF_ADD_DOT_0) != 0) {
            text.append(".0");
        }
        return true;
    }
    char* formatted = PyOS_double_to_string(v, 'r', 0, flags, nullptr);
    if (formatted == nullptr) {
        return false;
    }
    text.append(formatted);
    PyMem_Free(formatted);
    return true;
}

/// Appends the Python text of the element of type E stored at `address` (any alignment).
template<class E>
bool appendElement(Text& text, const char* address) {
    if constexpr (std::is_same_v<E, bool>) {
        unsigned char byte;
        std::memcpy(&byte, address, 1);
        text.append(byte != 0 ? "True" : "False");
        return true;
    } else {
        E element;
        std::memcpy(&element, address, sizeof(E));
        if constexpr (kalvo::py::IsComplexElement<E>::value) {
            // complex.__repr__: a real part of +0.0 is left out, with the parentheses.
            const double re = static_cast<double>(element.real());
            const double im = static_cast<double>(element.imag());
            if (re == 0.0 && !std::signbit(re)) {
                if (!appendDouble(text, im, 0)) {
                    return false;
                }
                text.push_back('j');
                return true;
            }
            text.push_back('(');
            if (!appendDouble(text, re, 0) || !appendDouble(text, im, Py_DTSF_SIGN)) {
                return false;
            }
            text.append("j)");
            return true;
        } else if constexpr (std::is_floating_point_v<E>) {
            return appendDouble(text, static_cast<double>(element), Py_DTSF_ADD_DOT_0);
        } else {
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, element).ptr;
            text.append(digits, end);
            return true;
        }
    }
}

/// Appends the nested-list text of `selection`, elements of type E, without recursion: an
/// odometer over the outer levels, each step closing and opening as many brackets as levels it
/// carried over, and a plain loop over the innermost level. Below a level of extent 0 every
/// entry is "[]", whatever the later extents.
template<class E>
bool appendSelection(Text& text, const Selection& selection) {
    const size_t levels = selection.counts.size();
    if (levels == 0) {
        text.append("[]");
        return true;
    }
    size_t outer = levels - 1;  // levels walked by the odometer; the next one is written whole
    for (size_t level = 0; level < levels; ++level) {
        if (selection.counts[level] == 0) {
            outer = level;
            break;
        }
    }
    const bool innermostIsElements = outer == levels - 1 && selection.counts[outer] > 0;
    const long rowCount = innermostIsElements ? selection.counts[outer] : 0;
    const unsigned long rowStride = innermostIsElements ? selection.strides[outer] : 0;

    std::vector<long> position(outer, 0);
    unsigned long block = selection.first;
    text.append(outer, '[');
    for (;;) {
        text.push_back('[');
        unsigned long offset = block;
        for (long i = 0; i < rowCount; ++i, offset += rowStride) {
            if (i != 0) {
                text.push_back(',');
            }
            if (!appendElement<E>(text, selection.base + static_cast<long>(offset))) {
                return false;
            }
        }
        text.push_back(']');

        // Step the odometer: the deepest outer level that can move on does, the ones below it
        // go back to their first entry.
        size_t level = outer;
        bool moved = false;
        while (level > 0) {
            --level;
            if (++position[level] < selection.counts[level]) {
                block += selection.strides[level];
                moved = true;
                break;
            }
            block -= static_cast<unsigned long>(position[level] - 1) * selection.strides[level];
            position[level] = 0;
        }
        if (!moved) {
            break;
        }
        const size_t closed = outer - 1 - level;
        text.append(closed, ']');
        text.push_back(',');
        text.append(closed, '[');
    }
    text.append(outer, ']');
    return true;
}

/// The number of characters to reserve for the text of `selection`: exact when it holds no
/// element (only brackets and commas, however many), else a guess from the element count.
/// Nothing when the exact length would not fit in memory's address range.
std::optional<size_t> textLength(const Selection& selection, size_t charactersPerElement) {
    size_t lists = 1;  // lists at the current depth
    size_t length = 0;
    for (long count : selection.counts) {
        // Each list at this depth: its brackets, and commas between its `count` entries.
        size_t perList = 2 + (count > 0 ? static_cast<size_t>(count) - 1 : 0);
        size_t added = 0;
        if (__builtin_mul_overflow(lists, perList, &added) ||
            __builtin_add_overflow(length, added, &length)) {
            return std::nullopt;
        }
        if (count == 0) {
            return length;
        }
        if (__builtin_mul_overflow(lists, static_cast<size_t>(count), &lists)) {
            return std::nullopt;
        }
    }
    // `lists` is now the element count, which the storage already holds.
    constexpr size_t kMaxGuess = size_t{1} << 28;
    return std::min(kMaxGuess, length + std::min(kMaxGuess, lists) * charactersPerElement);
}

/// Writes the text of `state`, elements of type E, after `text`'s current contents.
struct TextOfSelection {
    const KCppPyArray& state;
    const StoragePin& pin;
    Text& text;

    template<class E>
    bool operator()(TypeTag<E>) const {
        if (pin.elementSize != static_cast<long>(sizeof(E))) {
            PyErr_SetString(PyExc_RuntimeError, "element kind does not match the wrapped array.");
            return false;
        }
        const Selection selection = selectionOf(state, pin);
        // Shortest float texts run to about 20 characters, integers to their digits and a comma.
        const std::optional<size_t> length =
            textLength(selection, std::is_integral_v<E> ? 2 + sizeof(E) : 24);
        if (!length) {
            PyErr_NoMemory();
            return false;
        }
        text.reserve(text.size() + *length + 32);
        return appendSelection<E>(text, selection);
    }
};

/// A new str holding `text` (ASCII).
PyObject* asciiString(const Text& text) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (result != nullptr) {
        std::memcpy(PyUnicode_1BYTE_DATA(result), text.data(), text.size());
    }
    return result;
}

template<class T>
PyObject* renderText(PyObject* self, bool withTypeName) {
    const KCppPyArray* state = requireState(self);
    if (state == nullptr || !checkIndicesStillValid(state)) {
        return nullptr;
    }
    Text text;
    if (withTypeName) {
        text.append("kalvo.").append(ElementKind<T>::name()).append("(");
    }
    const StoragePin pin = state->getKDAWrapper()->pin();
    if (!kalvo::py::visitElementKind(state->getSupportedArrayEnum(), state->isComplex(),
                                     TextOfSelection{*state, pin, text})) {
        return nullptr;
    }
    if (withTypeName) {
        if (state->isComplex()) {
            text.append(", is_complex=True");
        }
        text.append(")");
    }
    return asciiString(text);
}

}  // namespace

template<class T>
PyObject* KCPyArray_GetStr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return renderText<T>(self, false); });
}

template<class T>
PyObject* KCPyArray_GetRepr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return renderText<T>(self, true); });
}

#define KALVO_INSTANTIATE_TEXT(T)                      \
    template PyObject* KCPyArray_GetStr<T>(PyObject*); \
    template PyObject* KCPyArray_GetRepr<T>(PyObject*);
KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_INSTANTIATE_TEXT)
#undef KALVO_INSTANTIATE_TEXT
