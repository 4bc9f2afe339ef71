// tests/cpp/core/core_test_support.cpp: interpreter start-up and small helpers for the array-core tests
#include "core_test_support.hpp"

#include <gtest/gtest.h>

#include "base/objects.hpp"

PyMODINIT_FUNC PyInit_kalvomultidimarrayforpython();

using kalvo::py::PyRef;

namespace {

// Starts the interpreter with the module registered as a built-in and imports it, so that the
// eleven array types are ready for the states that allocate Python objects.
class InterpreterEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        PyImport_AppendInittab("kalvomultidimarrayforpython", PyInit_kalvomultidimarrayforpython);
        Py_Initialize();
        m_module = PyImport_ImportModule("kalvomultidimarrayforpython");
        if (m_module == nullptr)
            PyErr_Print();
        ASSERT_NE(m_module, nullptr);
    }
    void TearDown() override
    {
        Py_XDECREF(m_module);
        Py_FinalizeEx();
    }

private:
    PyObject* m_module = nullptr;
};

::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new InterpreterEnvironment);

} // namespace

namespace coretest {

PyRef eval(const std::string& expression)
{
    PyRef globals = PyRef::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    PyRef result = PyRef::steal(PyRun_String(expression.c_str(), Py_eval_input, globals.get(), globals.get()));
    if (!result)
        ADD_FAILURE() << "cannot evaluate " << expression << ": " << takePythonError();
    return result;
}

std::string takePythonError()
{
    if (!PyErr_Occurred())
        return {};
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(v.get()));
    return std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": " +
           (text ? PyUnicode_AsUTF8(text.get()) : "?");
}

std::string repr(PyObject* object)
{
    if (object == nullptr)
        return "<null>";
    PyRef text = PyRef::steal(PyObject_Repr(object));
    return text ? PyUnicode_AsUTF8(text.get()) : "<repr failed>";
}

std::vector<double> iota(size_t n)
{
    std::vector<double> values(n);
    for (size_t i = 0; i < n; ++i)
        values[i] = static_cast<double>(i);
    return values;
}

} // namespace coretest
