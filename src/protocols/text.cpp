// src/protocols/text.cpp: str() and repr() of arrays and partial arrays
//
// Both slots render the nested-list form of what the object selects, as the interpreter writes
// that list, with every blank removed; repr() wraps it in "kalvo.<name>(...)". The list and its
// text are held in PyRef and released on every path.

#include <algorithm>
#include <string>

#include "core/kcpp_py_array.hpp"
#include "module/element_kinds.hpp"
#include "module/guard.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"
#include "module/slots.hpp"
#include "protocols/reading.hpp"

using kalvo::py::guarded;
using kalvo::py::PyRef;

namespace {

template<class T>
PyObject* renderText(PyObject* self, bool withTypeName) {
    const KCppPyArray* state = self == nullptr ? nullptr : reinterpret_cast<KCPyArray*>(self)->state;
    if (!checkIndicesStillValid(state)) {
        return nullptr;
    }
    PyRef list = PyRef::steal(state->getNestedListForm());
    if (!list) {
        return nullptr;
    }
    PyRef listText = PyRef::steal(PyObject_Str(list.get()));
    if (!listText) {
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(listText.get(), &size);
    if (utf8 == nullptr) {
        return nullptr;
    }

    std::string text;
    if (withTypeName) {
        text.append("kalvo.").append(ElementKind<T>::name()).append("(");
    }
    text.append(utf8, static_cast<size_t>(size));
    // Only the list's ", " separators hold blanks; element texts never do.
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    if (withTypeName) {
        // Appended after the blank removal, so its blank stays.
        if (state->isComplex()) {
            text.append(", is_complex=True");
        }
        text.append(")");
    }
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
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
