// src/base/element_kinds.cpp: lookups between format characters, element kinds and runtime classes.
#include "base/element_kinds.hpp"

#include <string>

using kalvo::kinds::kClassCount;
using kalvo::kinds::kRows;

namespace {

// The format string of every class, "d" or "Zd", in writable storage: the buffer protocol's format
// field is char*. Empty for a class without one.
struct FormatStrings {
    char text[kClassCount][3];
};

constexpr FormatStrings buildFormatStrings() {
    FormatStrings formats{};
    for (const kalvo::kinds::Row& row : kRows) {
        formats.text[row.realClass][0] = row.format;
        if (row.mayBeComplex()) {
            formats.text[row.complexClass][0] = 'Z';
            formats.text[row.complexClass][1] = row.format;
        }
    }
    return formats;
}

FormatStrings formatStrings = buildFormatStrings();

}  // namespace

std::optional<int> getArrayTypeEnumFromChar(char c) {
    // The code is the kind plus 3, which makes it the real class of the ten numeric kinds; users
    // subtract 3 to index TypeObjectPointers, so '?' gets 13 rather than its class 0.
    for (int k = 0; k < kNumberOfKinds; ++k) {
        if (kRows[k].format == c)
            return k + 3;
    }
    const std::string message = std::string("format character not supported: ") + c;
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return std::nullopt;
}

bool areDifferentButCompatible(char input, char output, long itemsize) {
    switch (input) {
    case 'L': return itemsize == 4 ? output == 'I' : output == 'Q';
    case 'l': return itemsize == 4 ? output == 'i' : output == 'q';
    case '?': return output == 'B';
    case 'B': return output == '?';
    default: return false;
    }
}

TypeAndComplexity getTypeAndComplexityFromArrayType(kalvo::data::ArrayType t) noexcept {
    const kalvo::kinds::ClassRow c = kalvo::kinds::classRow(static_cast<int32_t>(t));
    if (!c.isKind())
        return {false, KIND_LOGICAL, true};
    return {true, static_cast<SupportedArrayEnum>(c.kind), c.isComplex};
}

char* classid2format(kalvo::data::ArrayType t) noexcept {
    const int c = static_cast<int>(t);
    if (c < 0 || c >= kClassCount || formatStrings.text[c][0] == '\0')
        return nullptr;
    return formatStrings.text[c];
}

bool pyObjectIsLong(PyObject* o) noexcept { return o != nullptr && PyLong_Check(o); }

void kalvo::py::detail::throwInvalidVisitorType() {
    kalvo::data::throwArrayException<kalvo::data::ExceptionType::ArrayTypeMismatch>(
        "Invalid type of array passed to apply_numeric_visitor.");
}
