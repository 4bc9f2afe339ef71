// src/base/py_args.cpp: small readers of Python argument values
//
// Nothing here keeps a Python reference beyond the call that took it. Functions that fail set the
// Python error themselves and report failure through their return value; none of them throws.

#include "base/py_args.hpp"

#include <string>

#include "base/pyref.hpp"

using kalvo::py::PyRef;

namespace {

std::string decimal(long v) { return std::to_string(v); }

}  // namespace

PyObject* makePyObjectFromLong(long v) {
    PyObject* result = PyLong_FromLong(v);
    if (result == nullptr)
        PyErr_SetString(PyExc_RuntimeError, "unable to construct Python object from integer.");
    return result;
}

bool pyObjectIsEmpty(PyObject* obj) { return obj == nullptr || obj == Py_None; }

bool pyObjectIsUnicodeOrString(PyObject* obj) { return obj != nullptr && PyUnicode_Check(obj); }

bool retrieveBoolKwarg(PyObject* value, const char* name, bool& ok) {
    ok = true;
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        (std::string("value passed to '") + name + "' is null.").c_str());
        ok = false;
        return false;
    }
    if (Py_TYPE(value) == &PyBool_Type)
        return value == Py_True;
    PyErr_SetString(PyExc_TypeError,
                    (std::string("value passed to '") + name + "' must be a bool.").c_str());
    ok = false;
    return false;
}

std::pair<bool, long> getLengthOfPySequence(PyObject* obj) {
    if (obj == nullptr || !PySequence_Check(obj))
        return {true, 1};
    const Py_ssize_t length = PySequence_Size(obj);
    if (length < 0) {
        // A sequence without a length cannot be walked; report it as inconsistent.
        PyErr_Clear();
        return {false, -1};
    }
    if (length < 2)
        return {true, length};
    // No machine stores 2**40 elements, so the walk's reservation refuses such a sequence; its
    // items are not fetched here first (for a lazy sequence like range(2**62) that takes years).
    constexpr Py_ssize_t kLongestCheckedSequence = Py_ssize_t{1} << 40;
    if (length > kLongestCheckedSequence)
        return {true, length};
    // Length of a sequence item, or -1 for a scalar (or an item whose length cannot be read).
    auto itemShape = [](PyObject* item, bool& isSequence) -> Py_ssize_t {
        isSequence = PySequence_Check(item) != 0;
        if (!isSequence)
            return 0;
        const Py_ssize_t n = PySequence_Size(item);
        if (n < 0)
            PyErr_Clear();
        return n;
    };
    bool firstIsSequence = false;
    Py_ssize_t firstLength = 0;
    {
        PyRef first = PyRef::steal(PySequence_GetItem(obj, 0));
        if (!first) {
            PyErr_Clear();
            return {true, length};
        }
        firstLength = itemShape(first.get(), firstIsSequence);
        if (firstLength < 0)
            return {false, length};
    }
    for (Py_ssize_t i = 1; i < length; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
        if (!item) {
            PyErr_Clear();
            return {true, length};
        }
        bool isSequence = false;
        const Py_ssize_t itemLength = itemShape(item.get(), isSequence);
        if (isSequence != firstIsSequence || itemLength != firstLength)
            return {false, length};
    }
    return {true, length};
}

std::vector<long> getDimsFromReshapeArg(PyObject* arg) {
    static const char* const kBadArg =
        "reshape() must be passed a nonempty sequence of nonnegative integers.";
    if (pyObjectIsEmpty(arg) || !PySequence_Check(arg)) {
        PyErr_SetString(PyExc_ValueError, kBadArg);
        return {};
    }
    const Py_ssize_t count = PySequence_Size(arg);
    if (count < 2) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, kBadArg);
        return {};
    }
    std::vector<long> dims;
    dims.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(arg, i));
        if (!item) {
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError,
                            ("Item " + decimal(i) +
                             " could not be retrieved from the value passed to reshape().")
                                .c_str());
            return {};
        }
        if (!PyLong_Check(item.get())) {
            PyErr_SetString(PyExc_ValueError, kBadArg);
            return {};
        }
        const long value = PyLong_AsSsize_t(item.get());
        if (value < 0) {  // also the -1 of an overflowing value
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, kBadArg);
            return {};
        }
        dims.push_back(value);
    }
    while (dims.size() > 2 && dims.back() == 1)
        dims.pop_back();
    return dims;
}
