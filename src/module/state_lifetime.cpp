// src/module/state_lifetime.cpp: destruction of array states, kept apart so that only this file
// needs the complete KCppPyArray.
#include "core/kcpp_py_array.hpp"
#include "module/kcpyarray.hpp"

void destroyKCppPyArray(KCppPyArray* state) noexcept {
    delete state;
}
