// runtime/store.cpp: element sizes, allocation and copying of element storage.
#include "store.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "contract/huge_pages.hpp"

namespace kalvo::runtime {

size_t elementSize(int32_t type) noexcept { return kalvo::kinds::classRow(type).size; }

extern "C" void kalvo_data_freeBuffer(void* p) { std::free(p); }

bool elementCount(const size_t* dims, size_t ndims, size_t elemSize, size_t& count) noexcept {
    size_t product = 1;
    for (size_t i = 0; i < ndims; ++i) {
        if (__builtin_mul_overflow(product, dims[i], &product)) {
            return false;
        }
    }
    // Byte sizes must stay addressable with a ptrdiff_t, as pointer arithmetic over the
    // elements requires.
    size_t bytes = 0;
    if (__builtin_mul_overflow(product, elemSize, &bytes) || bytes > size_t(PTRDIFF_MAX)) {
        return false;
    }
    count = product;
    return true;
}

StoragePtr allocateStorage(size_t count, size_t elemSize, bool zeroed) {
    auto storage = std::make_shared<Storage>();
    // A buffer its caller fills completely need not be zeroed first: malloc can hand back
    // memory freed earlier, where calloc would have to clear it again.
    void* data = zeroed ? std::calloc(count == 0 ? 1 : count, elemSize)
                        : std::malloc(count == 0 ? 1 : count * elemSize);
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    kalvo::data::detail::adviseHugePages(data, count * elemSize);
    storage->data = data;
    storage->deleter = &kalvo_data_freeBuffer;
    storage->count = count;
    storage->elemSize = elemSize;
    return storage;
}

StoragePtr copyStorage(const Storage& source) {
    StoragePtr copy = allocateStorage(source.count, source.elemSize);
    if (source.count != 0) {
        std::memcpy(copy->data, source.data, source.count * source.elemSize);
    }
    return copy;
}

}  // namespace kalvo::runtime
