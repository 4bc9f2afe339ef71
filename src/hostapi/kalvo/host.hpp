// kalvo/host.hpp: the capsule through which C++ programs that embed Python exchange data arrays
// with kalvo's array objects.
//
// Usage (after kalvo::host::initializePython(), GIL held):
//
//     const kalvo::host::CapsuleTable* api = kalvo::host::importKalvoCapsule();
//     if (!api) { PyErr_Print(); ... }
//     kalvo::data::Array mine = factory.createArray<double>({2, 3});
//     PyObject* a = api->KCPyArray_KDAImplToKCPyArray(mine.shareImpl());  // consumes the impl
//     ...                                                   // Python works on `a`
//     kalvo::data::Array back = kalvo::host::shareArray(api->KCPyArray_KCPyArrayToKDAImpl(a));
//     Py_DECREF(a);
//
// Ownership: slot 0 consumes the implementation pointer it is given, on failure too; slot 1
// returns a borrowed pointer, valid while the Python object lives and its elements are not
// replaced: shareArray() turns it into a handle of the host's own. Handles share elements
// copy-on-write, so a handle the host keeps never sees later writes made from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "dataarray/kalvo_data.hpp"

namespace kalvo::host {

/// The name under which the extension publishes its capsule.
inline constexpr const char* capsuleName = "kalvomultidimarrayforpython._capi";

/// The value slot 2 stores in `*type` when the object's buffer could not be inspected.
inline constexpr int noArrayType = 32;

/// The capsule's table: five function pointers in this order (the order is the interface).
/// Every function must be called with the GIL held; failures leave a Python exception set.
struct CapsuleTable {
    /// Slot 0: a new array object over `impl` (an owned implementation pointer, always
    /// consumed); null with RuntimeError for a null impl or an element class kalvo lacks, and
    /// with ValueError for extents whose byte strides overflow or more than 64 dimensions.
    PyObject* (*KCPyArray_KDAImplToKCPyArray)(void* impl);
    /// Slot 1: the implementation behind an array object (borrowed); a partial array gives
    /// its materialised copy, cached so repeated calls return the same pointer.
    void* (*KCPyArray_KCPyArrayToKDAImpl)(PyObject* array);
    /// Slot 2: a new array object copied from any buffer exporter; `*type` receives the
    /// ArrayType built (13 also for a logical buffer, 23 for a complex logical one), or
    /// noArrayType. A non-exporter gives null with no exception set.
    PyObject* (*KCPyArray_BufferObjectToKCPyArray)(PyObject* exporter, int* type);
    /// Slot 3: destroys an array object at once; the caller must hold its only reference.
    void (*KCPyArray_DestroyKCPyArray)(PyObject* array);
    /// Slot 4: whether `object` offers the buffer protocol (false for null).
    bool (*KCPyArray_SatisfiesBufferProtocol)(PyObject* object);
};
static_assert(sizeof(CapsuleTable) == 5 * sizeof(void (*)()),
              "the table is five function pointers, nothing else");
static_assert(offsetof(CapsuleTable, KCPyArray_SatisfiesBufferProtocol) == 4 * sizeof(void (*)()),
              "slot 4 is the fifth pointer");

/// Starts the embedded interpreter so that it finds this kalvo with no environment variable
/// set: the Python home is the one kalvo was built for (when that directory exists) and the
/// site-packages directory kalvo is installed in joins sys.path (with its .pth files). The CMake
/// target kalvo::kalvo defines both locations (KALVO_PYTHON_HOME, KALVO_SITE_PACKAGES); other
/// builds may define them or pass `sitePackages`. PYTHONHOME and PYTHONPATH, when set, still
/// take effect. Returns false, with the reason on stderr, when the interpreter cannot start
/// or the directory cannot be added.
inline bool initializePython(const char* sitePackages =
#ifdef KALVO_SITE_PACKAGES
                                 KALVO_SITE_PACKAGES
#else
                                 nullptr
#endif
                             ) noexcept {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
#ifdef KALVO_PYTHON_HOME
    if (std::getenv("PYTHONHOME") == nullptr && KALVO_PYTHON_HOME[0] != '\0') {
        struct stat info;
        if (::stat(KALVO_PYTHON_HOME, &info) == 0 && S_ISDIR(info.st_mode)) {
            PyConfig_SetBytesString(&config, &config.home, KALVO_PYTHON_HOME);
        }
    }
#endif
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        std::fprintf(stderr, "Python could not start: %s\n",
                     status.err_msg ? status.err_msg : "unknown error");
        return false;
    }
    if (sitePackages == nullptr || sitePackages[0] == '\0') {
        return true;
    }
    PyObject* site = PyImport_ImportModule("site");
    PyObject* added = site ? PyObject_CallMethod(site, "addsitedir", "s", sitePackages) : nullptr;
    Py_XDECREF(site);
    if (added == nullptr) {
        PyErr_Print();
        return false;
    }
    Py_DECREF(added);
    return true;
}

/// Imports kalvomultidimarrayforpython (if needed) and returns its capsule table, or null with
/// the Python error set.
inline const CapsuleTable* importKalvoCapsule() noexcept {
    return static_cast<const CapsuleTable*>(PyCapsule_Import(capsuleName, 0));
}

/// A handle of the caller's own that shares the elements of `borrowedImpl` (copy-on-write),
/// for keeping what slot 1 returned beyond the life of the Python object. Throws a
/// kalvo::Exception if the runtime refuses.
inline kalvo::data::Array shareArray(void* borrowedImpl) {
    void* shared = nullptr;
    kalvo::data::throwIfError(
        kalvo::data::detail::resolve<kalvo::data::entry::shareArray>()(borrowedImpl, &shared));
    return kalvo::data::Array(shared);
}

}  // namespace kalvo::host
