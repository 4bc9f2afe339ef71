// src/core/state_lifetime.cpp: creation and destruction of array states, with a free list
//
// Partial arrays are made and dropped once per `a[i]`; a released state keeps its index list's
// capacity and goes on a bounded free list (kFreeListCapacity; none in the sanitizer build), so
// the next partial array needs no heap allocation.
// The list is touched only while the interpreter lock is held. Once the module is torn down the
// list is emptied and closed, and released states are freed at once.
#include <array>
#include <memory>
#include <vector>

#include "core/state_lifetime.hpp"

#include "base/objects.hpp"
#include "core/array_state.hpp"

namespace {

struct StateFreeList {
    std::array<KCppPyArray*, kFreeListCapacity> states;
    size_t count = 0;
    bool closed = false;

    KCppPyArray* pop() noexcept { return count == 0 ? nullptr : states[--count]; }
};

StateFreeList freeStates;

}  // namespace

std::unique_ptr<KCppPyArray> takeKCppPyArray(const KCppPyArray& source) {
    if (KCppPyArray* state = freeStates.pop()) {
        std::unique_ptr<KCppPyArray> owned(state);
        owned->reuseAs(source);
        return owned;
    }
    return std::make_unique<KCppPyArray>(source);
}

std::unique_ptr<KCppPyArray> takeKCppPyArray(const KCppPyArray& source,
                                             const std::vector<long>& intIndices) {
    if (KCppPyArray* state = freeStates.pop()) {
        std::unique_ptr<KCppPyArray> owned(state);
        owned->reuseAs(source, intIndices);
        return owned;
    }
    return std::make_unique<KCppPyArray>(source, intIndices);
}

void closeKCppPyArrayFreeList() noexcept {
    freeStates.closed = true;
    while (KCppPyArray* state = freeStates.pop()) {
        delete state;
    }
}

void destroyKCppPyArray(KCppPyArray* state) noexcept {
    if (state == nullptr) {
        return;
    }
    if (freeStates.closed) {
        delete state;
        return;
    }
    // Dropping the wrapper share can free the storage, and dropping the last item frees that
    // array object (whose state may land on this list first); neither runs Python code.
    state->releaseForReuse();
    if (freeStates.count == freeStates.states.size()) {
        delete state;
        return;
    }
    freeStates.states[freeStates.count++] = state;
}
