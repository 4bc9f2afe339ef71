// tests/cpp/embedded_python.hpp: the interpreter the embedded suites run in, and running Python from a test
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace embedded {

struct Decref {
    void operator()(PyObject* object) const noexcept { Py_XDECREF(object); }
};
/// An owned Python reference.
using Obj = std::unique_ptr<PyObject, Decref>;
/// Python names bound for one run().
using Names = std::initializer_list<std::pair<const char*, PyObject*>>;

/// The namespace every run() starts from: the builtins and whatever the suite's set-up defined.
inline PyObject* globals = nullptr;

/// The pending Python exception as "TypeName: message", cleared; empty when none is pending.
inline std::string takeError() {
    if (!PyErr_Occurred()) {
        return {};
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Obj owned[] = {Obj(type), Obj(value), Obj(traceback)};
    std::string text = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (const Obj message{value ? PyObject_Str(value) : nullptr}) {
        text += std::string(": ") + PyUnicode_AsUTF8(message.get());
    }
    PyErr_Clear();
    return text;
}

/// Runs `code` (an expression, or statements with Py_file_input) in a copy of `globals` with
/// `names` bound; the result, or null with a test failure that shows the Python error.
inline Obj run(const std::string& code, Names names = {}, int mode = Py_eval_input) {
    const Obj scope(PyDict_Copy(globals));
    for (const auto& [name, object] : names) {
        PyDict_SetItemString(scope.get(), name, object);
    }
    Obj result(PyRun_String(code.c_str(), mode, scope.get(), scope.get()));
    if (!result) {
        ADD_FAILURE() << "Python failed on: " << code << "\n" << takeError();
    }
    return result;
}

/// Whether the Python expression `code` is true with `names` bound; a failure shows the repr()
/// of every bound object.
inline ::testing::AssertionResult holds(const std::string& code, Names names = {}) {
    const Obj result = run(code, names);
    if (result && PyObject_IsTrue(result.get()) == 1) {
        return ::testing::AssertionSuccess();
    }
    PyErr_Clear();
    auto failure = ::testing::AssertionFailure() << code;
    for (const auto& [name, object] : names) {
        const Obj text(PyObject_Repr(object));  // "<NULL>" for null
        failure << "; " << name << " = " << (text ? PyUnicode_AsUTF8(text.get()) : "?");
    }
    return failure;
}

/// Starts the interpreter once for the whole test program and finalises it at the end.
/// `afterStart` imports and defines helpers in `globals`; when it returns false the run stops
/// with the Python error.
class Interpreter : public ::testing::Environment {
public:
    explicit Interpreter(std::function<bool()> afterStart) : m_afterStart(std::move(afterStart)) {}

    void SetUp() override {
        Py_Initialize();
        globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        if (!m_afterStart()) {
            PyErr_Print();
            FAIL() << "the embedded interpreter could not be set up";
        }
    }

    void TearDown() override {
        Py_CLEAR(globals);
        EXPECT_EQ(Py_FinalizeEx(), 0);
    }

private:
    std::function<bool()> m_afterStart;
};

}  // namespace embedded
