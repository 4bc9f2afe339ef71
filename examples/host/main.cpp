// examples/host/main.cpp: a C++ program that embeds Python, hands a data array to a Python
// function through kalvo's capsule and takes the edited array back.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include <dataarray/kalvo_data.hpp>
#include <kalvo/host.hpp>

namespace {

/// Owns one Python reference.
struct Decref {
    void operator()(PyObject* object) const noexcept { Py_XDECREF(object); }
};
using PyPtr = std::unique_ptr<PyObject, Decref>;

// The Python side: prints what it was given, edits it in place and returns one row of it.
const char* const kScript = R"(
def edit(a):
    print("python received", a, flush=True)
    a[0][0] = 100
    a[1] = [40, 50, 60]
    print("python edited  ", a, flush=True)
    return a[1]
)";

// Prints a real double array row by row; elements are stored column-major.
void printArray(const char* label, const kalvo::data::TypedArray<double>& array) {
    const std::vector<size_t> dims = array.getDimensions();
    const size_t rows = dims.at(0);
    const size_t cols = array.getNumberOfElements() / (rows ? rows : 1);
    const std::vector<double> elements(array.cbegin(), array.cend());
    std::cout << label << " (" << rows << "-by-" << cols << "):";
    for (size_t r = 0; r < rows; ++r) {
        std::cout << (r ? " |" : "");
        for (size_t c = 0; c < cols; ++c) {
            std::cout << ' ' << elements[c * rows + r];
        }
    }
    std::cout << std::endl;
}

// Runs the example with the interpreter initialised; returns the process exit status.
int run() {
    const kalvo::host::CapsuleTable* api = kalvo::host::importKalvoCapsule();
    if (api == nullptr) {
        return 1;
    }

    // A 2-by-3 array [[1, 2, 3], [4, 5, 6]], built column-major.
    kalvo::data::ArrayFactory factory;
    kalvo::data::TypedArray<double> mine = factory.createArray<double>({2, 3});
    const double columnMajor[] = {1, 4, 2, 5, 3, 6};
    std::copy(std::begin(columnMajor), std::end(columnMajor), mine.begin());
    printArray("host built     ", mine);

    // Slot 0 consumes the implementation it is given; shareImpl() hands it one that shares
    // our elements copy-on-write, so our handle keeps its values whatever Python writes.
    const PyPtr array(api->KCPyArray_KDAImplToKCPyArray(mine.shareImpl()));
    if (!array) {
        return 1;
    }
    const PyPtr globals(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return 1;
    }
    const PyPtr ran(PyRun_String(kScript, Py_file_input, globals.get(), globals.get()));
    PyObject* edit = ran ? PyDict_GetItemString(globals.get(), "edit") : nullptr;  // borrowed
    if (edit == nullptr) {
        return 1;
    }
    const PyPtr row(PyObject_CallFunctionObjArgs(edit, array.get(), nullptr));
    if (!row) {
        return 1;
    }

    // Slot 1 lends the implementation behind the returned partial array (materialised into
    // an array of its own); shareArray makes it a handle we own.
    void* impl = api->KCPyArray_KCPyArrayToKDAImpl(row.get());
    if (impl == nullptr) {
        return 1;
    }
    const kalvo::data::TypedArray<double> back(kalvo::host::shareArray(impl));
    printArray("host got back  ", back);
    printArray("host still has ", mine);
    return 0;
}

}  // namespace

int main() {
    // Starts the Python kalvo was built for, with kalvo's site-packages on sys.path.
    if (!kalvo::host::initializePython()) {
        return 1;
    }
    int status = 1;
    try {
        status = run();
    } catch (const kalvo::Exception& e) {
        std::cerr << "data-array error: " << e.what() << std::endl;
    }
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fflush(stdout);
    if (Py_FinalizeEx() < 0) {
        status = 1;
    }
    return status;
}
