// dataarray/resolve.hpp: looking up runtime entries, with the release check for missing ones.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"

namespace kalvo::data {

/// The entry `number` as an Fn. A runtime that does not serve it is too old for the feature:
/// throws kind 22 "This feature requires <release label>".
template<class Fn>
Fn resolveFunction(int number) {
    if (void* found = get_function_ptr(number)) {
        return reinterpret_cast<Fn>(found);
    }
    // First entry number of each release. Walked from the last pair, the first pair whose
    // number does not exceed the request names the oldest release serving it.
    static const std::vector<std::pair<int, std::string>> minRelease{
        {0, "RelA"},   {109, "RelB"}, {110, "RelC"},  {118, "RelD"},
        {128, "RelE"}, {129, "RelE"}, {130, "FUTURE"}};
    std::string label = minRelease.front().second;
    for (auto it = minRelease.rbegin(); it != minRelease.rend(); ++it) {
        if (it->first <= number) {
            label = it->second;
            break;
        }
    }
    throwArrayException<ExceptionType::FeatureNotSupported>("This feature requires " + label);
}

namespace detail {

using kalvo::data::resolveFunction;
using kalvo::data::throwIfError;

/// resolveFunction for an entry of entries.hpp.
template<class E>
typename E::fn resolve() {
    return resolveFunction<typename E::fn>(E::number);
}

/// An optional entry: null when the runtime does not serve it (not an error).
template<class E>
typename E::fn lookupOptional() noexcept {
    return reinterpret_cast<typename E::fn>(get_function_ptr(E::number));
}

}  // namespace detail
}  // namespace kalvo::data
