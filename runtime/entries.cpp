// runtime/entries.cpp: the runtime's numbered entry points over the array store.
//
// Every entry runs its body inside `guarded`, which turns std::bad_alloc into status 19 and
// any other exception into status 20, so no C++ exception crosses the C boundary. Out
// parameters are written only on success.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "entry_decls.hpp"
#include "reorder.hpp"
#include "store.hpp"

using namespace kalvo::runtime;

namespace {

template<class F>
int guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (...) {
        return kSystemError;
    }
}

bool validType(int32_t type) noexcept { return elementSize(type) != 0; }
bool validLayout(int32_t layout) noexcept { return layout == 0 || layout == 1; }

/// Hands a new array implementation out through `out`.
int emitArray(int32_t type, std::vector<size_t> dims, int32_t layout, StoragePtr storage,
              void** out) {
    auto* impl = new ArrayImpl(type, std::move(dims), layout, std::move(storage));
    *out = toHandle(impl);
    return kOk;
}

/// Common part of 11 and 110: adopts `buffer` only once nothing can fail any more, so a
/// failing call leaves the buffer with the caller. The store keeps every array column-major:
/// a row-major buffer is reordered in place first, so every reader sees element (i, j, ...)
/// at the buffer's row-major offset.
int arrayFromBuffer(void* factory, int32_t type, const size_t* dims, size_t ndims, void* buffer,
                    kalvo_data_deleter_t deleter, int32_t layout, void** array) {
    if (handleAs<FactoryImpl>(factory) == nullptr || array == nullptr ||
        (dims == nullptr && ndims != 0)) {
        return kSystemError;
    }
    if (!validType(type) || !validLayout(layout)) {
        return kNotSupported;
    }
    const size_t elemSize = elementSize(type);
    size_t count = 0;
    if (!elementCount(dims, ndims, elemSize, count)) {
        return kOutOfMemory;
    }
    if ((buffer == nullptr && count != 0) || (buffer != nullptr && deleter == nullptr)) {
        return kSystemError;
    }
    auto storage = std::make_shared<Storage>();
    storage->count = count;
    storage->elemSize = elemSize;
    auto impl =
        std::make_unique<ArrayImpl>(type, std::vector<size_t>(dims, dims + ndims), 0, storage);
    if (layout == 1) {
        rowMajorToColumnMajor(buffer, dims, ndims, count, elemSize);
    }
    storage->data = buffer;
    storage->deleter = deleter;
    *array = toHandle(impl.release());
    return kOk;
}

/// Common part of 57/58/114/115.
int makeIterator(void* array, bool atEnd, void** iter) {
    auto* impl = handleAs<ArrayImpl>(array);
    if (impl == nullptr || iter == nullptr) {
        return kSystemError;
    }
    const StoragePtr& storage = impl->storage();
    *iter = toHandle(new IteratorImpl(impl->type(), storage, atEnd ? storage->count : 0));
    return kOk;
}

/// Address of the element an iterator stands on; null at the end (or past a release).
void* iteratorTarget(void* iter, int& status) noexcept {
    auto* it = handleAs<IteratorImpl>(iter);
    if (it == nullptr) {
        status = kSystemError;
        return nullptr;
    }
    if (it->pos >= it->storage->count) {
        status = kInvalidIndex;
        return nullptr;
    }
    status = kOk;
    return it->storage->at(it->pos);
}

}  // namespace

extern "C" {

int kalvo_data_createArray(void* factory, int32_t type, const size_t* dims, size_t ndims,
                           void** array) {
    return guarded([&] {
        if (handleAs<FactoryImpl>(factory) == nullptr || array == nullptr ||
            (dims == nullptr && ndims != 0)) {
            return int(kSystemError);
        }
        if (!validType(type)) {
            return int(kNotSupported);
        }
        size_t count = 0;
        if (!elementCount(dims, ndims, elementSize(type), count)) {
            return int(kOutOfMemory);
        }
        return emitArray(type, std::vector<size_t>(dims, dims + ndims), 0,
                         allocateStorage(count, elementSize(type)), array);
    });
}

int kalvo_data_createScalar(void* factory, int32_t type, const void* value, void** array) {
    return guarded([&] {
        if (handleAs<FactoryImpl>(factory) == nullptr || value == nullptr || array == nullptr) {
            return int(kSystemError);
        }
        if (!validType(type)) {
            return int(kNotSupported);
        }
        StoragePtr storage = allocateStorage(1, elementSize(type));
        std::memcpy(storage->data, value, storage->elemSize);
        return emitArray(type, {1, 1}, 0, std::move(storage), array);
    });
}

int kalvo_data_createArrayFromBuffer(void* factory, int32_t type, const size_t* dims, size_t ndims,
                                     void* buffer, kalvo_data_deleter_t deleter, void** array) {
    return guarded(
        [&] { return arrayFromBuffer(factory, type, dims, ndims, buffer, deleter, 0, array); });
}

int kalvo_data_createBuffer(void* factory, int32_t type, size_t n, void** buffer,
                            kalvo_data_deleter_t* deleter) {
    return guarded([&] {
        if (handleAs<FactoryImpl>(factory) == nullptr || buffer == nullptr || deleter == nullptr) {
            return int(kSystemError);
        }
        if (!validType(type)) {
            return int(kNotSupported);
        }
        size_t count = 0;
        if (!elementCount(&n, 1, elementSize(type), count)) {
            return int(kOutOfMemory);
        }
        // The storage object only carries the allocation out; its data is taken over here.
        // The caller fills every element before use, so the block is not zeroed.
        StoragePtr storage = allocateStorage(count, elementSize(type), false);
        *buffer = std::exchange(storage->data, nullptr);
        *deleter = &kalvo_data_freeBuffer;
        return int(kOk);
    });
}

int kalvo_data_createFactory(void** factory) {
    return guarded([&] {
        if (factory == nullptr) {
            return int(kSystemError);
        }
        *factory = toHandle(new FactoryImpl());
        return int(kOk);
    });
}

int kalvo_data_destroyFactory(void* factory) {
    delete handleAs<FactoryImpl>(factory);
    return kOk;
}

int kalvo_data_destroyReference(void* ref) {
    delete handleAs<ReferenceImpl>(ref);
    return kOk;
}

int kalvo_data_createEmptyArray(void** array) {
    return guarded([&] {
        if (array == nullptr) {
            return int(kSystemError);
        }
        return emitArray(3, {0, 0}, 0, std::make_shared<Storage>(), array);
    });
}

int kalvo_data_destroyArray(void* array) {
    delete handleAs<ArrayImpl>(array);
    return kOk;
}

int kalvo_data_getDimensions(void* array, const size_t** dims, size_t* ndims) {
    auto* impl = handleAs<ArrayImpl>(array);
    if (impl == nullptr || dims == nullptr || ndims == nullptr) {
        return kSystemError;
    }
    *dims = impl->dims().data();
    *ndims = impl->dims().size();
    return kOk;
}

int kalvo_data_getNumberOfElements(void* array, size_t* n) {
    auto* impl = handleAs<ArrayImpl>(array);
    if (impl == nullptr || n == nullptr) {
        return kSystemError;
    }
    *n = impl->storage()->count;
    return kOk;
}

int kalvo_data_getType(void* array, int32_t* type) {
    auto* impl = handleAs<ArrayImpl>(array);
    if (impl == nullptr || type == nullptr) {
        return kSystemError;
    }
    *type = impl->type();
    return kOk;
}

int kalvo_data_shareArray(void* array, void** shared) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl == nullptr || shared == nullptr) {
            return int(kSystemError);
        }
        return emitArray(impl->type(), impl->dims(), impl->layout(), impl->storage(), shared);
    });
}

int kalvo_data_unshareArray(void* array, bool soleOwner, void** unshared) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl == nullptr || unshared == nullptr) {
            return int(kSystemError);
        }
        if (soleOwner && !impl->storageShared()) {
            *unshared = nullptr;
            return int(kOk);
        }
        return emitArray(impl->type(), impl->dims(), impl->layout(), copyStorage(*impl->storage()),
                         unshared);
    });
}

int kalvo_data_getElementReference(void* array, size_t index, void** ref) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl == nullptr || ref == nullptr) {
            return int(kSystemError);
        }
        const StoragePtr& storage = impl->storage();
        if (storage->count == 0) {
            return int(kEmptyArray);
        }
        if (index >= storage->count) {
            return int(kInvalidIndex);
        }
        *ref = toHandle(new ReferenceImpl(impl->type(), storage, index));
        return int(kOk);
    });
}

int kalvo_data_begin(void* array, void** iter) {
    return guarded([&] { return makeIterator(array, false, iter); });
}

int kalvo_data_end(void* array, void** iter) {
    return guarded([&] { return makeIterator(array, true, iter); });
}

int kalvo_data_checkTypedArray(int32_t wanted, int32_t actual, bool* convertible) {
    if (convertible == nullptr) {
        return kSystemError;
    }
    *convertible = validType(wanted) && wanted == actual;
    return kOk;
}

int kalvo_data_releaseBuffer(void* array, void** buffer, kalvo_data_deleter_t* deleter) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl == nullptr || buffer == nullptr || deleter == nullptr) {
            return int(kSystemError);
        }
        // Storage other implementations still use stays theirs: hand out a copy instead.
        StoragePtr source = impl->storageShared() ? copyStorage(*impl->storage()) : impl->storage();
        auto empty = std::make_shared<Storage>();
        empty->elemSize = source->elemSize;
        impl->replaceStorage(std::move(empty), {0, 0});
        // Iterators or references may still hold `source`; a count of 0 makes them refuse to
        // touch the elements that now belong to the caller.
        source->count = 0;
        *deleter = std::exchange(source->deleter, nullptr);
        *buffer = std::exchange(source->data, nullptr);
        return int(kOk);
    });
}

int kalvo_data_cloneIterator(void* iter, void** copy) {
    return guarded([&] {
        auto* it = handleAs<IteratorImpl>(iter);
        if (it == nullptr || copy == nullptr) {
            return int(kSystemError);
        }
        *copy = toHandle(new IteratorImpl(it->type, it->storage, it->pos));
        return int(kOk);
    });
}

int kalvo_data_destroyIterator(void* iter) {
    delete handleAs<IteratorImpl>(iter);
    return kOk;
}

int kalvo_data_incrementIterator(void* iter) {
    auto* it = handleAs<IteratorImpl>(iter);
    if (it == nullptr) {
        return kSystemError;
    }
    if (it->pos >= it->storage->count) {
        return kInvalidIndex;
    }
    ++it->pos;
    return kOk;
}

int kalvo_data_advanceIterator(void* iter, ptrdiff_t n) {
    auto* it = handleAs<IteratorImpl>(iter);
    if (it == nullptr) {
        return kSystemError;
    }
    const size_t count = it->storage->count;
    if (it->pos > count) {
        return kInvalidIndex;  // the elements were released under this iterator
    }
    const bool fits = n >= 0 ? size_t(n) <= count - it->pos
                             : size_t(0) - size_t(n) <= it->pos;  // |n| without overflow
    if (!fits) {
        return kInvalidIndex;
    }
    it->pos += size_t(n);  // wraps correctly for negative n
    return kOk;
}

int kalvo_data_iteratorsEqual(void* a, void* b, bool* equal) {
    auto* lhs = handleAs<IteratorImpl>(a);
    auto* rhs = handleAs<IteratorImpl>(b);
    if (lhs == nullptr || rhs == nullptr || equal == nullptr) {
        return kSystemError;
    }
    *equal = lhs->storage == rhs->storage && lhs->pos == rhs->pos;
    return kOk;
}

int kalvo_data_iteratorElementAddress(void* iter, void** address) {
    if (address == nullptr) {
        return kSystemError;
    }
    int status = kOk;
    void* target = iteratorTarget(iter, status);
    if (status == kOk) {
        *address = target;
    }
    return status;
}

int kalvo_data_iteratorElementReference(void* iter, void** ref) {
    return guarded([&] {
        if (ref == nullptr) {
            return int(kSystemError);
        }
        int status = kOk;
        iteratorTarget(iter, status);
        if (status != kOk) {
            return status;
        }
        auto* it = static_cast<IteratorImpl*>(static_cast<Handle*>(iter));
        *ref = toHandle(new ReferenceImpl(it->type, it->storage, it->pos));
        return int(kOk);
    });
}

int kalvo_data_referenceComplexParts(void* ref, void** real, void** imag) {
    auto* r = handleAs<ReferenceImpl>(ref);
    if (r == nullptr || real == nullptr || imag == nullptr) {
        return kSystemError;
    }
    if (r->index >= r->storage->count) {
        return kInvalidIndex;
    }
    unsigned char* element = r->storage->at(r->index);
    *real = element;
    *imag = isComplexType(r->type) ? element + r->storage->elemSize / 2 : nullptr;
    return kOk;
}

int kalvo_data_setComplexElement(void* ref, int32_t type, const void* real, const void* imag) {
    auto* r = handleAs<ReferenceImpl>(ref);
    if (r == nullptr || real == nullptr || imag == nullptr) {
        return kSystemError;
    }
    if (type != r->type || !isComplexType(type)) {
        return kDataTypeMismatch;
    }
    if (r->index >= r->storage->count) {
        return kInvalidIndex;
    }
    const size_t part = r->storage->elemSize / 2;
    unsigned char* element = r->storage->at(r->index);
    std::memcpy(element, real, part);
    std::memcpy(element + part, imag, part);
    return kOk;
}

int kalvo_data_createArrayFromBufferWithLayout(void* factory, int32_t type, const size_t* dims,
                                               size_t ndims, void* buffer,
                                               kalvo_data_deleter_t deleter, int32_t layout,
                                               void** array) {
    return guarded([&] {
        return arrayFromBuffer(factory, type, dims, ndims, buffer, deleter, layout, array);
    });
}

int kalvo_data_iteratorComplexElementAddress(void* iter, void** address) {
    return kalvo_data_iteratorElementAddress(iter, address);
}

int kalvo_data_beginOfType(void* array, int32_t type, void** iter) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl != nullptr && impl->type() != type) {
            return int(kArrayTypeMismatch);
        }
        return makeIterator(array, false, iter);
    });
}

int kalvo_data_endOfType(void* array, int32_t type, void** iter) {
    return guarded([&] {
        auto* impl = handleAs<ArrayImpl>(array);
        if (impl != nullptr && impl->type() != type) {
            return int(kArrayTypeMismatch);
        }
        return makeIterator(array, true, iter);
    });
}

}  // extern "C"
