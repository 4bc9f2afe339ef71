// src/base/element_kinds.cpp: lookup tables between element kinds, format codes and runtime classes.
#include "base/element_kinds.hpp"

#include <map>
#include <mutex>
#include <string>

char TypeAsChar[kNumberOfKinds + 1] = "dfbBhHiIqQ?";

const char* const TypeNames[kNumberOfKinds] = {
    "double", "single", "int8", "uint8", "int16", "uint16",
    "int32", "uint32", "int64", "uint64", "logical",
};

namespace {

// Format character -> kind + 3. The codes of the ten numeric characters equal their real
// ArrayType; '?' gets 13, and users subtract 3 to index TypeObjectPointers.
std::map<char, int> charToArrayTypeEnumMap;
std::once_flag sessionFlag;

void initializeCharToArrayTypeEnumMap() {
    for (int k = 0; k < kNumberOfKinds; ++k) charToArrayTypeEnumMap[TypeAsChar[k]] = k + 3;
}

// Runtime-class table, indexed by ArrayType 0 to 22.
constexpr TypeAndComplexity kUnsupportedClass{false, KIND_LOGICAL, true};

constexpr TypeAndComplexity classRecord(int t) {
    if (t == 0) return {true, KIND_LOGICAL, false};
    if (t >= 3 && t <= 12) return {true, static_cast<SupportedArrayEnum>(t - 3), false};
    if (t >= 13 && t <= 22) return {true, static_cast<SupportedArrayEnum>(t - 13), true};
    return kUnsupportedClass;
}

// The 21 format strings in writable storage: the buffer protocol's format field is char*.
char formatStrings[21][3] = {"d",  "f",  "q",  "Q",  "i",  "I",  "h",  "H",  "b",  "B",  "?",
                             "Zd", "Zf", "Zq", "ZQ", "Zi", "ZI", "Zh", "ZH", "Zb", "ZB"};
constexpr int formatClasses[21] = {3, 4, 11, 12, 9, 10, 7, 8, 5, 6, 0,
                                   13, 14, 21, 22, 19, 20, 17, 18, 15, 16};

std::map<int, char*> buildFormatTable() {
    std::map<int, char*> table;
    for (int i = 0; i < 21; ++i) table.emplace(formatClasses[i], formatStrings[i]);
    return table;
}

}  // namespace

std::optional<int> getArrayTypeEnumFromChar(char c) {
    std::call_once(sessionFlag, initializeCharToArrayTypeEnumMap);
    const auto found = charToArrayTypeEnumMap.find(c);
    if (found != charToArrayTypeEnumMap.end()) return found->second;
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
    return classRecord(static_cast<int>(t));
}

char* classid2format(kalvo::data::ArrayType t) noexcept {
    try {
        // A failed build leaves the static uninitialised, so the next call tries again.
        static const std::map<int, char*> table = buildFormatTable();
        const auto found = table.find(static_cast<int>(t));
        return found == table.end() ? nullptr : found->second;
    } catch (...) {
        return nullptr;
    }
}

bool pyObjectIsLong(PyObject* o) noexcept {
    return o != nullptr && PyLong_Check(o);
}

void kalvo::py::detail::throwInvalidVisitorType() {
    kalvo::data::throwArrayException<kalvo::data::ExceptionType::ArrayTypeMismatch>(
        "Invalid type of array passed to apply_numeric_visitor.");
}
