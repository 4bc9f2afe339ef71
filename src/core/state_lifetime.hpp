// src/core/state_lifetime.hpp: where array states come from and go to (a bounded free list).
#pragma once

#include <memory>
#include <vector>

class KCppPyArray;

/// A state equal to a copy of `source` (or to KCppPyArray(source, intIndices)), taken from the
/// free list of released states when one is there. Owned by the caller; destroyKCppPyArray
/// hands it back, plain delete frees it.
std::unique_ptr<KCppPyArray> takeKCppPyArray(const KCppPyArray& source);
/// As above, with one integer item per entry of `intIndices` instead of source's index list.
std::unique_ptr<KCppPyArray> takeKCppPyArray(const KCppPyArray& source,
                                             const std::vector<long>& intIndices);
/// Frees every state on the free list; later releases free at once.
void closeKCppPyArrayFreeList() noexcept;
/// Destroys an array state (null allowed).
void destroyKCppPyArray(KCppPyArray* state) noexcept;
