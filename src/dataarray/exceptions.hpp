// dataarray/exceptions.hpp: the exception family of the data-array client and the error mapper.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "contract/data_contract.hpp"

namespace kalvo {

/// Root of every exception the data-array client throws.
class Exception {
public:
    virtual ~Exception() = default;
    /// The message.
    virtual const char* what() const noexcept = 0;
};

}  // namespace kalvo

namespace kalvo::data {

// Failure kinds: X(code, enumerator, message). The runtime returns these codes as statuses
// and throwIfError turns each into its own exception class. Codes 4, 20, 48, 49 and 50 have
// no entry of their own here (20 is the catch-all below); 28 and 29 carry the caller's text,
// so their message column is empty.
// clang-format off
#define KALVO_DATA_EXCEPTION_KINDS(X) \
    X(1, InvalidArrayIndex, "Array index is invalid.") \
    X(2, StringIndexMustBeLast, "String index must be last.") \
    X(3, StringIndexNotValid, "String index not valid for this array.") \
    X(5, NotEnoughIndicesProvided, "Not enough indices provided.") \
    X(6, TooManyIndicesProvided, "Too many indices provided.") \
    X(7, OnlyOneStringIndex, "Can only provide one string index.") \
    X(8, DataTypeMismatch, "Data type mismatch.") \
    X(9, ArrayTypeMismatch, "Array type mismatch.") \
    X(10, NoSuchField, "Field does not exist in this struct.") \
    X(11, DataLoadFailed, "Failed to load data.") \
    X(12, SymbolResolutionFailed, "Failed to resolve symbol.") \
    X(13, ClassNameRequired, "Must specify a class name.") \
    X(14, WrongEnumCount, "Wrong number of enums supplied.") \
    X(15, NonAsciiData, "Input data can only contain ASCII characters.") \
    X(16, NotConvertibleToString, "Can't create a std::string from this data.") \
    X(17, SparseDimensions, "Sparse Array can only have two dimensions.") \
    X(18, DuplicateFieldName, "Duplicate field names not allowed.") \
    X(19, OutOfMemory, "Not enough memory available to support the request.") \
    X(21, EmptyArrayIndex, "Can't index into an empty array.") \
    X(22, FeatureNotSupported, "The specified feature is not supported.") \
    X(23, LayoutMismatch, "Memory layout mismatch.") \
    X(24, LayoutMismatchRowMajor, "Memory layout mismatch.") \
    X(25, LayoutMismatchColumnMajor, "Memory layout mismatch.") \
    X(26, TooManyElements, "Number of elements exceeds max.") \
    X(27, ObjectArrayMixedClasses, "ObjectArray not created. Elements must belong to the same class, or to classes that are part of a heterogeneous hierarchy.") \
    X(28, CallerReported, "") \
    X(29, CallerReportedDetail, "") \
    X(30, ObjectNotFound, "Object not found.") \
    X(31, StructVectorSize, "Vector size is wrong for the struct.") \
    X(32, PropertyExists, "The property already exists.") \
    X(33, ConstructorFailed, "Failed to execute class constructor.") \
    X(34, HandleObjectNotFound, "Handle Object not found.") \
    X(35, ObjectArrayHierarchy, "ObjectArray not created. Elements must belong to the same class, or to classes that are part of a heterogeneous hierarchy.") \
    X(36, InvalidObjectType, "Invalid object type.") \
    X(37, ClassNotFound, "Requested class was not found.") \
    X(38, RecursionLimit, "Recursion limit exceeded.") \
    X(39, PropertyNotFound, "Property not found.") \
    X(40, InvalidPropertyValue, "Invalid property value.") \
    X(41, SerializeFailed, "Failed to serialize object.") \
    X(42, InvalidEnumeration, "Invalid enumeration.") \
    X(43, MissingString, "Missing string encountered.") \
    X(44, UnsupportedOperation, "Unsupported operation.") \
    X(45, ObjectSerializationFailed, "Object serialization failed.") \
    X(46, JavaNotSupported, "Java not supported.") \
    X(47, InvalidFieldIdentifier, "Field name is not a valid KALVO identifier.") \
    X(51, ContainerIntoOptimizedArray, "Cannot assign a container array to an element of an array created for optimization ") \
    X(52, NonUtf8Data, "Input data must contain UTF8 characters.") \
    X(53, Utf16ToUtf8Conversion, "Invalid conversion from UTF-16 input to UTF-8 encoding.")
// clang-format on

/// Failure kinds; the value is the runtime status code that produces the kind.
enum class ExceptionType : int {
#define KALVO_DATA_EXCEPTION_ENUMERATOR(code, name, message) name = code,
    KALVO_DATA_EXCEPTION_KINDS(KALVO_DATA_EXCEPTION_ENUMERATOR)
#undef KALVO_DATA_EXCEPTION_ENUMERATOR
        SystemError = 20  ///< every status not listed above
};

// Every status the runtime returns is a failure kind of its own here.
static_assert(int(ExceptionType::InvalidArrayIndex) == status::kInvalidIndex &&
                  int(ExceptionType::DataTypeMismatch) == status::kDataTypeMismatch &&
                  int(ExceptionType::ArrayTypeMismatch) == status::kArrayTypeMismatch &&
                  int(ExceptionType::OutOfMemory) == status::kOutOfMemory &&
                  int(ExceptionType::SystemError) == status::kSystemError &&
                  int(ExceptionType::EmptyArrayIndex) == status::kEmptyArray &&
                  int(ExceptionType::FeatureNotSupported) == status::kNotSupported,
              "the runtime's statuses and the client's failure kinds disagree");

/// "System Error.": the message of kind 20.
inline constexpr const char* systemErrorMessage = "System Error.";

namespace detail {

/// The exception class of failure kind N.
template<class Base, ExceptionType N>
class ArrayException : public Base, public std::exception {
public:
    /// The failure kind this class stands for.
    static constexpr ExceptionType kind = N;

    explicit ArrayException(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

}  // namespace detail

/// Returns for status 0; otherwise throws the ArrayException of the status's kind (unknown
/// statuses give kind 20 "System Error."). Kinds 28 and 29 carry `text` as their message.
void throwIfError(int status, const std::string& text = {});

/// Throws kind N with `message`, bypassing the message table.
template<ExceptionType N>
[[noreturn]] void throwArrayException(std::string message) {
    throw detail::ArrayException<kalvo::Exception, N>(std::move(message));
}

}  // namespace kalvo::data
