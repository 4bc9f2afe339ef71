// src/base/pyref.hpp: owning Python references and Py_buffer views.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kalvo::py {

/// Owning reference to a Python object (or null); releases it on destruction.
class PyRef {
public:
    /// An empty reference.
    PyRef() noexcept = default;
    /// Takes over a new reference (null allowed, e.g. a failed API call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Takes an additional reference to a borrowed object (null allowed).
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : m_object(other.m_object) { other.m_object = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(m_object); }

    /// A second owning reference to the same object.
    PyRef copy() const noexcept { return borrow(m_object); }
    /// The object, still owned by this reference.
    PyObject* get() const noexcept { return m_object; }
    /// Gives up ownership: the caller now owns the returned reference.
    PyObject* release() noexcept {
        PyObject* object = m_object;
        m_object = nullptr;
        return object;
    }
    /// Replaces the held object by `object` (a new reference, or null).
    /// The old object is released last, since its destructor may run Python code.
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = m_object;
        m_object = object;
        Py_XDECREF(old);
    }
    /// True when an object is held.
    explicit operator bool() const noexcept { return m_object != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : m_object(object) {}
    PyObject* m_object = nullptr;
};

/// Move-only owner of a Py_buffer; releases the view on destruction.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(BufferView&& other) noexcept : m_view(other.m_view), m_held(other.m_held) {
        other.m_held = false;
    }
    BufferView& operator=(BufferView&& other) noexcept {
        if (this != &other) {
            release();
            m_view = other.m_view;
            m_held = other.m_held;
            other.m_held = false;
        }
        return *this;
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    /// Requests a view of `exporter` with `flags`; false with the exporter's Python error set.
    bool acquire(PyObject* exporter, int flags) noexcept {
        release();
        m_held = PyObject_GetBuffer(exporter, &m_view, flags) == 0;
        return m_held;
    }
    /// True while a view is held.
    bool held() const noexcept { return m_held; }
    /// The held view (valid only while held()).
    Py_buffer& view() noexcept { return m_view; }
    /// Releases the view now (no-op when none is held).
    void release() noexcept {
        if (m_held) {
            m_held = false;
            PyBuffer_Release(&m_view);
        }
    }

private:
    Py_buffer m_view{};
    bool m_held = false;
};

}  // namespace kalvo::py
