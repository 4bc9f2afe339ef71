// src/contract/data_contract.hpp: what the data-array runtime and its client agree on: the
// numbered entry points, the status codes and the element classes. It includes nothing of either
// side, so the runtime builds without the client's headers and the client without the runtime's.
//
// KALVO_DATA_ENTRIES(X) calls X(number, name, (parameters)) for every entry. The client
// generates its function-pointer types from it (kalvo::data::entry::<name>::fn) and the
// runtime generates its declarations and its get_function_ptr switch from it, so the two
// sides cannot disagree on a signature. Numbers are never reused: a retired entry keeps its
// number out of circulation.
//
// Every entry is extern "C", returns an int status (0 = success, otherwise a code of the
// error mapper, see Status below and
// dataarray/exceptions.hpp) and never lets a C++ exception escape. On failure out parameters
// are left untouched and no ownership changes hands.
//
// Handles are opaque: `factory`, `array`, `iter` and `ref` are implementation objects owned
// by whoever the entry comment says; each kind has exactly one destroy entry.
//
// Release labels (see dataarray/resolve.hpp): 0-108 RelA, 109 RelB, 110-117 RelC, 118-127 RelD,
// 128-129 RelE, 130 and above FUTURE. Entries 110, 113, 114 and 115 are optional: clients
// fall back to older entries when the runtime does not serve them.
//
// Iterator entries 65, 66 and 67 (increment, advance by n, equality) are our own additions
// to the client/runtime contract, numbered in the RelA range.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
/// Frees a buffer that the runtime allocated or adopted.
typedef void (*kalvo_data_deleter_t)(void*);
}

// clang-format off
#define KALVO_DATA_ENTRIES(X)                                                                   \
    /* New array of extents dims[0..ndims), every element zero. *array: owned by the caller,  \
       released through 50. */                                                                  \
    X(1, createArray, (void* factory, int32_t type, const size_t* dims, size_t ndims,         \
                       void** array))                                                           \
    /* New 1-by-1 array holding a copy of the element at `value`. *array: owned by the caller, \
       released through 50. */                                                                  \
    X(3, createScalar, (void* factory, int32_t type, const void* value, void** array))        \
    /* New array over a column-major buffer. On success the runtime owns `buffer` and frees it \
       with `deleter`; on failure the caller still owns it. *array: owned by the caller. */    \
    X(11, createArrayFromBuffer, (void* factory, int32_t type, const size_t* dims,            \
                                  size_t ndims, void* buffer, kalvo_data_deleter_t deleter,    \
                                  void** array))                                                \
    /* Uninitialised room for n elements of `type`. *buffer is owned by the caller, who frees \
       it with *deleter or hands both to 11/110. */                                             \
    X(13, createBuffer, (void* factory, int32_t type, size_t n, void** buffer,                \
                         kalvo_data_deleter_t* deleter))                                        \
    /* New factory. *factory: owned by the caller, released through 15. */                    \
    X(14, createFactory, (void** factory))                                                     \
    /* Releases a factory made by 14; consumes `factory`. */                                   \
    X(15, destroyFactory, (void* factory))                                                     \
    /* Releases an element reference made by 56 or 72; consumes `ref`. */                     \
    X(23, destroyReference, (void* ref))                                                       \
    /* New empty (0-by-0, DOUBLE) array. *array: owned by the caller, released through 50. */  \
    X(49, createEmptyArray, (void** array))                                                    \
    /* Releases one array implementation; consumes `array`. Element storage goes when the last \
       array, iterator or reference using it goes. */                                          \
    X(50, destroyArray, (void* array))                                                         \
    /* Extents of `array` (borrowed). *dims stays valid while `array` lives and is not         \
       released through 60. */                                                                  \
    X(51, getDimensions, (void* array, const size_t** dims, size_t* ndims))                    \
    /* Product of the extents. */                                                               \
    X(52, getNumberOfElements, (void* array, size_t* n))                                       \
    /* ArrayType of the elements. */                                                            \
    X(53, getType, (void* array, int32_t* type))                                               \
    /* New array implementation sharing the element storage of `array` copy-on-write.         \
       *shared: owned by the caller, released through 50; `array` is borrowed. */              \
    X(54, shareArray, (void* array, void** shared))                                            \
    /* Prepares `array` for writing. `soleOwner` says whether the calling handle is the only \
       owner of `array`. If it is not, or the storage is shared with another implementation, \
       *unshared receives a new implementation with a private copy of the elements (owned by \
       the caller, who drops its ownership of `array`); otherwise *unshared is set to null. */ \
    X(55, unshareArray, (void* array, bool soleOwner, void** unshared))                        \
    /* Reference to element `index` in storage order. *ref: owned by the caller, released     \
       through 23; it keeps the storage alive. Status 21 on an empty array, 1 out of range. */ \
    X(56, getElementReference, (void* array, size_t index, void** ref))                        \
    /* Iterator at the first element (storage order). *iter: owned by the caller, released    \
       through 64; it keeps the storage alive but does not count as a sharer for 55. */        \
    X(57, begin, (void* array, void** iter))                                                   \
    /* Iterator one past the last element; ownership as for 57. */                             \
    X(58, end, (void* array, void** iter))                                                     \
    /* *convertible = whether an array of ArrayType `actual` can be viewed as `wanted`. */     \
    X(59, checkTypedArray, (int32_t wanted, int32_t actual, bool* convertible))                \
    /* Hands the element storage out: *buffer and *deleter are owned by the caller afterwards \
       and `array` becomes empty (0-by-0). Storage shared with another implementation is      \
       copied first, so the other keeps its elements. */                                       \
    X(60, releaseBuffer, (void* array, void** buffer, kalvo_data_deleter_t* deleter))          \
    /* Independent iterator at the same position. *copy: owned by the caller (64). */         \
    X(63, cloneIterator, (void* iter, void** copy))                                            \
    /* Releases an iterator; consumes `iter`. */                                                \
    X(64, destroyIterator, (void* iter))                                                       \
    /* Moves `iter` one element forward. */                                                     \
    X(65, incrementIterator, (void* iter))                                                     \
    /* Moves `iter` by n elements (n may be negative); status 1 if it would leave the range    \
       [begin, end]. */                                                                          \
    X(66, advanceIterator, (void* iter, ptrdiff_t n))                                          \
    /* *equal = whether both iterators are over the same storage at the same position. */     \
    X(67, iteratorsEqual, (void* a, void* b, bool* equal))                                     \
    /* *address = the current element (borrowed, valid while the storage lives). Status 1 at  \
       the end position. */                                                                     \
    X(71, iteratorElementAddress, (void* iter, void** address))                                \
    /* Reference to the current element. *ref: owned by the caller, released through 23. */   \
    X(72, iteratorElementReference, (void* iter, void** ref))                                  \
    /* Addresses (borrowed) of the real and imaginary parts of the referenced element;       \
       *imag is null for a real element. */                                                     \
    X(94, referenceComplexParts, (void* ref, void** real, void** imag))                        \
    /* Stores both parts of a complex element; `type` must be the element's ArrayType        \
       (status 8 otherwise). `real` and `imag` point to one part each (borrowed). */          \
    X(96, setComplexElement, (void* ref, int32_t type, const void* real, const void* imag))    \
    /* As 11, with the layout (a MemoryLayout value) of `buffer`; a row-major buffer is       \
       reordered in place into column-major storage. Optional. */                             \
    X(110, createArrayFromBufferWithLayout, (void* factory, int32_t type, const size_t* dims,  \
                                             size_t ndims, void* buffer,                       \
                                             kalvo_data_deleter_t deleter, int32_t layout,     \
                                             void** array))                                     \
    /* As 71, for complex elements in one call. Optional. */                                    \
    X(113, iteratorComplexElementAddress, (void* iter, void** address))                        \
    /* As 57, checking that the array's ArrayType is `type` (status 9 otherwise). Optional. */ \
    X(114, beginOfType, (void* array, int32_t type, void** iter))                              \
    /* As 58, checking that the array's ArrayType is `type` (status 9 otherwise). Optional. */ \
    X(115, endOfType, (void* array, int32_t type, void** iter))
// clang-format on

#if defined(__GNUC__)
#define KALVO_DATA_API __attribute__((visibility("default")))
#else
#define KALVO_DATA_API
#endif

extern "C" {
/// The runtime's one exported symbol: the entry with this number, or null if not served.
KALVO_DATA_API void* get_function_ptr(int number);
}

namespace kalvo::data {

/// The runtime's element class of an array; value 2 is not used.
enum class ArrayType : int32_t {
    LOGICAL = 0,
    CHAR = 1,
    DOUBLE = 3,
    SINGLE = 4,
    INT8 = 5,
    UINT8 = 6,
    INT16 = 7,
    UINT16 = 8,
    INT32 = 9,
    UINT32 = 10,
    INT64 = 11,
    UINT64 = 12,
    COMPLEX_DOUBLE = 13,
    COMPLEX_SINGLE = 14,
    COMPLEX_INT8 = 15,
    COMPLEX_UINT8 = 16,
    COMPLEX_INT16 = 17,
    COMPLEX_UINT16 = 18,
    COMPLEX_INT32 = 19,
    COMPLEX_UINT32 = 20,
    COMPLEX_INT64 = 21,
    COMPLEX_UINT64 = 22
};

/// Order of elements in a flat buffer.
enum class MemoryLayout : int32_t {
    COLUMN_MAJOR = 0,  ///< first index varies fastest
    ROW_MAJOR = 1      ///< last index varies fastest
};

/// Statuses the runtime's entries return; each but kOk is the code of an exception kind of the client's
/// error mapper (dataarray/exceptions.hpp), which checks that they agree.
namespace status {
enum Status : int {
    kOk = 0,
    kInvalidIndex = 1,
    kDataTypeMismatch = 8,
    kArrayTypeMismatch = 9,
    kOutOfMemory = 19,
    kSystemError = 20,  ///< bad handles and arguments, unexpected failures
    kEmptyArray = 21,
    kNotSupported = 22,
};
}  // namespace status

}  // namespace kalvo::data
