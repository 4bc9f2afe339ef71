// tests/cpp/host/test_row_major_host.cpp: a host hands Python arrays built from row-major and
// column-major buffers and gets back what Python built; both sides see the same elements.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <kalvo/host.hpp>

#include "dataarray/kalvo_data.hpp"

namespace {

using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::data::TypedArray;

struct Decref {
    void operator()(PyObject* object) const noexcept { Py_XDECREF(object); }
};
using Obj = std::unique_ptr<PyObject, Decref>;

const kalvo::host::CapsuleTable* api = nullptr;

/// An array over `dims` whose buffer holds value(n) at offset n, in the given layout.
template<class T, class F>
TypedArray<T> fromBuffer(std::vector<size_t> dims, MemoryLayout layout, F value) {
    ArrayFactory factory;
    size_t n = 1;
    for (size_t d : dims) {
        n *= d;
    }
    auto buffer = factory.createBuffer<T>(n);
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = value(i);
    }
    return factory.createArrayFromBuffer<T>(std::move(dims), std::move(buffer), layout);
}

/// Python's value of `expression` with `a` bound to a new array object over `array`'s elements.
template<class T>
std::string evalWith(const TypedArray<T>& array, const char* expression) {
    Obj object(api->KCPyArray_KDAImplToKCPyArray(array.shareImpl()));
    Obj scope(PyDict_New());
    PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(scope.get(), "a", object.get());
    Obj result(PyRun_String(expression, Py_eval_input, scope.get(), scope.get()));
    Obj text(result ? PyObject_Str(result.get()) : nullptr);
    if (!text) {
        PyErr_Print();
        return "<error>";
    }
    return PyUnicode_AsUTF8(text.get());
}

TEST(RowMajorHost, PythonSeesElementsAtTheirLayoutsOffsets) {
    const auto counting = [](size_t n) { return double(n + 1); };
    EXPECT_EQ(evalWith(fromBuffer<double>({2, 3}, MemoryLayout::ROW_MAJOR, counting), "a"),
              "[[1.0,2.0,3.0],[4.0,5.0,6.0]]");
    EXPECT_EQ(evalWith(fromBuffer<double>({2, 3}, MemoryLayout::COLUMN_MAJOR, counting), "a"),
              "[[1.0,3.0,5.0],[2.0,4.0,6.0]]");
    const auto complexCounting = [](size_t n) { return std::complex<float>(float(n), -float(n)); };
    EXPECT_EQ(evalWith(fromBuffer<std::complex<float>>({2, 2}, MemoryLayout::ROW_MAJOR, complexCounting),
                       "a[1][0] == 2 - 2j and a[0][1] == 1 - 1j"),
              "True");
}

// Sizes that are not multiples of the transposition tile, and more than two dimensions.
TEST(RowMajorHost, LargeAndHigherDimensionalBuffers) {
    const auto value = [](size_t n) { return int32_t(n); };
    EXPECT_EQ(evalWith(fromBuffer<int32_t>({67, 45}, MemoryLayout::ROW_MAJOR, value),
                       "all(a[i][j] == i * 45 + j for i in range(67) for j in range(45))"),
              "True");
    EXPECT_EQ(evalWith(fromBuffer<int32_t>({3, 1, 4, 5}, MemoryLayout::ROW_MAJOR, value),
                       "all(a[i][0][k][m] == (i * 4 + k) * 5 + m"
                       " for i in range(3) for k in range(4) for m in range(5))"),
              "True");
    EXPECT_EQ(evalWith(fromBuffer<uint8_t>({0, 3}, MemoryLayout::ROW_MAJOR, value), "a.size"), "(0, 3)");
}

TEST(RowMajorHost, HostReadsWhatPythonBuilt) {
    Obj scope(PyDict_New());
    PyDict_SetItemString(scope.get(), "__builtins__", PyEval_GetBuiltins());
    Obj made(PyRun_String("__import__('kalvo').double([[1, 2, 3], [4, 5, 6]])", Py_eval_input,
                          scope.get(), scope.get()));
    ASSERT_TRUE(made);
    const TypedArray<double> back(kalvo::host::shareArray(api->KCPyArray_KCPyArrayToKDAImpl(made.get())));
    EXPECT_EQ(back.getDimensions(), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(std::vector<double>(back.cbegin(), back.cend()), (std::vector<double>{1, 4, 2, 5, 3, 6}));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    PyObject* path = PySys_GetObject("path");  // borrowed
    for (const char* dir : {KALVO_TEST_PACKAGE_DIR, KALVO_TEST_MODULE_DIR}) {
        Obj entry(PyUnicode_FromString(dir));
        PyList_Insert(path, 0, entry.get());
    }
    api = kalvo::host::importKalvoCapsule();
    if (api == nullptr) {
        PyErr_Print();
        return 1;
    }
    const int status = RUN_ALL_TESTS();
    return Py_FinalizeEx() < 0 ? 1 : status;
}
