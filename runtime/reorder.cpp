// runtime/reorder.cpp: row-major to column-major reordering of adopted element buffers.
//
// Row-major order over extents d0..dn-1 is column-major order over the reversed extents, so
// the reordering reverses the axes. It runs as a sequence of 2-D transposes between the first
// and the last axis (one per position of the middle axes), each walked in square tiles small
// enough that a tile of the source and one of the destination stay in the L1 cache together.
#include "reorder.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kalvo::runtime {
namespace {

/// An element moved as one fixed-size block of bytes.
template<size_t N>
struct Bytes {
    unsigned char b[N];
};

/// Tile edge in elements: 32 x 32 elements of up to 16 bytes is 16 KiB per side.
constexpr size_t kTile = 32;

/// dst[i + j * dstJ] = src[i * srcI + j] for i < rows, j < cols, in tiles.
template<size_t N>
void transpose(unsigned char* dstBytes, const unsigned char* srcBytes, size_t rows, size_t cols,
               size_t dstJ, size_t srcI) {
    using E = Bytes<N>;
    E* dst = reinterpret_cast<E*>(dstBytes);
    const E* src = reinterpret_cast<const E*>(srcBytes);
    for (size_t i0 = 0; i0 < rows; i0 += kTile) {
        const size_t i1 = i0 + kTile < rows ? i0 + kTile : rows;
        for (size_t j0 = 0; j0 < cols; j0 += kTile) {
            const size_t j1 = j0 + kTile < cols ? j0 + kTile : cols;
            for (size_t j = j0; j < j1; ++j) {
                for (size_t i = i0; i < i1; ++i) {
                    dst[i + j * dstJ] = src[i * srcI + j];
                }
            }
        }
    }
}

using TransposeFn = void (*)(unsigned char*, const unsigned char*, size_t, size_t, size_t, size_t);

TransposeFn transposeFor(size_t elemSize) {
    switch (elemSize) {
    case 1: return &transpose<1>;
    case 2: return &transpose<2>;
    case 4: return &transpose<4>;
    case 8: return &transpose<8>;
    case 16: return &transpose<16>;
    default: return nullptr;
    }
}

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

}  // namespace

void rowMajorToColumnMajor(void* data, const size_t* dims, size_t ndims, size_t count,
                           size_t elemSize) {
    // Extents of 1 do not move anything: drop them. With at most one extent left, both
    // orders are the same.
    std::vector<size_t> kept;
    for (size_t k = 0; k < ndims; ++k) {
        if (dims[k] != 1) {
            kept.push_back(dims[k]);
        }
    }
    if (count == 0 || kept.size() < 2) {
        return;
    }
    const TransposeFn fn = transposeFor(elemSize);
    if (fn == nullptr) {
        throw std::bad_alloc();  // no element class of the store has another size
    }
    const std::unique_ptr<void, FreeDeleter> scratch(std::malloc(count * elemSize));
    if (!scratch) {
        throw std::bad_alloc();
    }
    std::memcpy(scratch.get(), data, count * elemSize);
    const auto* src = static_cast<const unsigned char*>(scratch.get());
    auto* dst = static_cast<unsigned char*>(data);

    // Element strides of every axis in both orders.
    const size_t n = kept.size();
    std::vector<size_t> colStride(n), rowStride(n);
    for (size_t k = 0, s = 1; k < n; s *= kept[k], ++k) {
        colStride[k] = s;
    }
    for (size_t k = n, s = 1; k-- > 0; s *= kept[k]) {
        rowStride[k] = s;
    }
    // Walk the middle axes 1..n-2 with an odometer; each position is one 2-D transpose of
    // axis 0 (contiguous in the destination) against axis n-1 (contiguous in the source).
    std::vector<size_t> pos(n, 0);
    size_t dstOffset = 0, srcOffset = 0;
    for (;;) {
        fn(dst + dstOffset * elemSize, src + srcOffset * elemSize, kept[0], kept[n - 1],
           colStride[n - 1], rowStride[0]);
        size_t k = 1;
        for (; k + 1 < n; ++k) {
            dstOffset += colStride[k];
            srcOffset += rowStride[k];
            if (++pos[k] < kept[k]) {
                break;
            }
            dstOffset -= colStride[k] * kept[k];
            srcOffset -= rowStride[k] * kept[k];
            pos[k] = 0;
        }
        if (k + 1 >= n) {
            return;
        }
    }
}

}  // namespace kalvo::runtime
