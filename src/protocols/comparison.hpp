// src/protocols/comparison.hpp: equality of two array states
#pragma once

#include <optional>

class KCppPyArray;

/// Whether two array states are equal: same element kind, the same number of positions along
/// every walked dimension and pairwise equal element values by Python's ==. The complex flags are
/// not compared (1+0j equals 1.0). Nothing when an element comparison raised (the exception is
/// left pending).
std::optional<bool> arrayStatesAreEqual(const KCppPyArray& a, const KCppPyArray& b);
