// src/contract/huge_pages.hpp: transparent huge pages for large element blocks, shared by the
// runtime and the extension.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kalvo::data::detail {

/// Asks the kernel to back the page-aligned part of a freshly allocated block of `bytes` bytes
/// at `block` with huge pages. Filling a block of many megabytes is otherwise dominated by one
/// page fault per 4 KiB. Blocks below 4 MiB, systems without the hint and refusals are left as
/// they are: this is advice, never a requirement.
inline void adviseHugePages(void* block, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kThreshold = size_t{4} << 20;
    constexpr uintptr_t kPage = 4096;
    if (block == nullptr || bytes < kThreshold) {
        return;
    }
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(block) + bytes;
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace kalvo::data::detail
