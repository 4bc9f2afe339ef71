// src/base/guard.cpp: how C++ exceptions are reported to Python at the slot boundary.
#include "base/guard.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "dataarray/kalvo_data.hpp"

void kalvo::py::translateCurrentException() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "unknown error.");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked to hold more than it can address: a failed allocation to the user.
        PyErr_NoMemory();
    } catch (const kalvo::Exception& e) {
        // Runtime failures carry their own message (e.g. "Array type mismatch.").
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception.");
    }
}
