// src/base/pyref.hpp: owning Python references, Py_buffer views and fetched exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include <utility>

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
        if (this != &other)
            reset(other.release());
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

/// Owner of one buffer view: releases it on destruction. The view is either requested here
/// (acquire) or one already filled elsewhere and handed over by address; either way it is
/// released where it lies, since an exporter may keep track of the very Py_buffer it filled.
/// Not copyable or movable for the same reason.
class BufferView {
public:
    BufferView() noexcept = default;
    /// Takes over `filled`, a view PyObject_GetBuffer has filled, which must outlive this owner.
    explicit BufferView(Py_buffer* filled) noexcept : m_view(filled) {}
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    /// Requests a view of `exporter` with `flags`; false with the exporter's Python error set.
    bool acquire(PyObject* exporter, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(exporter, &m_own, flags) != 0) {
            return false;
        }
        m_view = &m_own;
        return true;
    }
    /// True while a view is held.
    bool held() const noexcept { return m_view != nullptr; }
    /// The held view (valid only while held()).
    Py_buffer& view() noexcept { return *m_view; }
    /// Gives a view taken over by address back to its owner, who must release it.
    void handBack() noexcept { m_view = nullptr; }
    /// Releases the view now (no-op when none is held).
    void release() noexcept {
        if (Py_buffer* view = m_view) {
            m_view = nullptr;
            PyBuffer_Release(view);
        }
    }

private:
    Py_buffer m_own{};
    Py_buffer* m_view = nullptr;
};

/// Owner of the exception that was pending when it was made (none if none was), taken out of the
/// interpreter so that calls which must not see it can run. Dropped on destruction unless
/// restored or raised as a cause. From Python 3.12 on a raised exception is one object, the
/// exception instance; earlier versions hand out its type, value and traceback separately.
class FetchedError {
public:
    FetchedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        m_value = PyRef::steal(PyErr_GetRaisedException());
#else
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        m_type = PyRef::steal(type);
        m_value = PyRef::steal(value);
        m_traceback = PyRef::steal(traceback);
#endif
    }
    FetchedError(const FetchedError&) = delete;
    FetchedError& operator=(const FetchedError&) = delete;

    /// True while an exception is held.
    explicit operator bool() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        return static_cast<bool>(m_value);
#else
        return static_cast<bool>(m_type);
#endif
    }

    /// Makes the held exception pending again, unless another one is pending by now (that newer
    /// one is kept and the held one dropped).
    void restoreUnlessPending() noexcept {
        if (!*this || PyErr_Occurred()) {
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(m_value.release());
#else
        PyErr_Restore(m_type.release(), m_value.release(), m_traceback.release());
#endif
    }

    /// Raises `type` with `message`, with the held exception (if any) as its __cause__ and
    /// __context__, so a fixed message does not hide why the work below it failed.
    void raiseWithCause(PyObject* type, const char* message) noexcept {
        PyRef cause = takeInstance();
        PyErr_SetString(type, message);
        if (!cause) {
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, cause.copy().release());  // each steals one reference
        PyException_SetContext(raised, cause.release());
        PyErr_SetRaisedException(raised);
#else
        PyObject *newType = nullptr, *raised = nullptr, *traceback = nullptr;
        PyErr_Fetch(&newType, &raised, &traceback);
        PyErr_NormalizeException(&newType, &raised, &traceback);
        if (raised != nullptr) {
            PyException_SetCause(raised, cause.copy().release());  // each steals one reference
            PyException_SetContext(raised, cause.release());
        }
        PyErr_Restore(newType, raised, traceback);
#endif
    }

private:
    /// The held exception as an instance carrying its traceback; nothing held afterwards.
    /// Normalising can itself fail; the instance is then whatever that failure left.
    PyRef takeInstance() noexcept {
#if PY_VERSION_HEX < 0x030C0000
        if (!m_type) {
            return PyRef();
        }
        PyObject* type = m_type.release();
        PyObject* value = m_value.release();
        PyObject* traceback = m_traceback.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) {
            PyException_SetTraceback(value, traceback);
        }
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        return PyRef::steal(value);
#else
        return std::move(m_value);
#endif
    }

#if PY_VERSION_HEX < 0x030C0000
    PyRef m_type;
    PyRef m_traceback;
#endif
    PyRef m_value;
};

/// A tuple of make(value) for each of `values` (new reference); null with the error set when
/// make or an allocation fails, in which case nothing is leaked.
template<class I, class Make>
PyObject* tupleOf(const std::vector<I>& values, Make make) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple)
        return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (!item)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

}  // namespace kalvo::py
