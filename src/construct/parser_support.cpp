// src/construct/parser_support.cpp: the constructor keywords and the messages shared by the
// constructor parser's source files.
#include "construct/parser_support.hpp"

#include <sstream>

namespace kalvo::py::construct {

char* constructorKeywords[5] = {const_cast<char*>("initializer"), const_cast<char*>("size"),
                                const_cast<char*>("vector"), const_cast<char*>("is_complex"),
                                nullptr};

std::string formatDims(const std::vector<size_t>& dims) {
    std::ostringstream text;
    for (size_t i = 0; i < dims.size(); ++i) {
        if (i > 0) {
            text << ", ";
        }
        text << dims[i];
    }
    return text.str();
}

void setDimsMismatchError(PyObject* type, const std::vector<size_t>& initializerDims,
                          const std::vector<size_t>& sizeDims) {
    const std::string message = "dimensions of initializer (" + formatDims(initializerDims) +
                                ") do not match dimensions specified by 'size' (" +
                                formatDims(sizeDims) + ").";
    PyErr_SetString(type, message.c_str());
}

void setAllocationError(size_t n, const char* typeName) {
    std::ostringstream message;
    message << "unable to allocate memory for array with number of elements = " << n
            << "; type = " << typeName;
    PyErr_SetString(PyExc_MemoryError, message.str().c_str());
}

}  // namespace kalvo::py::construct
