// runtime/reorder.hpp: turning a row-major element block into the store's column-major order.
#pragma once

#include <cstddef>

namespace kalvo::runtime {

/// Rearranges the `count` elements of `elemSize` bytes at `data`, laid out row-major (last
/// index fastest) over `dims`, into column-major order (first index fastest), in place.
/// Needs scratch memory of the block's size only when the order really changes (two or more
/// extents above 1). Throws std::bad_alloc when that scratch memory is not available; `data`
/// is unchanged then.
void rowMajorToColumnMajor(void* data, const size_t* dims, size_t ndims, size_t count,
                           size_t elemSize);

}  // namespace kalvo::runtime
