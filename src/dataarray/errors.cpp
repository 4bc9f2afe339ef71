// dataarray/errors.cpp: the error mapper, turning runtime status codes into typed exceptions.
#include <string>

#include "dataarray/exceptions.hpp"

namespace kalvo::data {

namespace {
/// Kinds 28 and 29 report a condition the caller describes; every other kind has a fixed text.
constexpr bool carriesCallerText(int code) { return code == 28 || code == 29; }
}  // namespace

void throwIfError(int status, const std::string& text) {
    if (status == 0) {
        return;
    }
    switch (status) {
#define KALVO_DATA_THROW_CASE(code, name, message) \
    case code: throwArrayException<ExceptionType::name>(carriesCallerText(code) ? text : message);
        KALVO_DATA_EXCEPTION_KINDS(KALVO_DATA_THROW_CASE)
#undef KALVO_DATA_THROW_CASE
    default: throwArrayException<ExceptionType::SystemError>(systemErrorMessage);
    }
}

}  // namespace kalvo::data
