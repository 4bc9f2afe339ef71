// runtime/store.hpp: the in-process array store behind the runtime's numbered entries.
//
// Ownership rules. Element storage (`Storage`) is reference counted twice over:
//  - lifetime: a std::shared_ptr held by every array implementation, iterator and element
//    reference over it; the last one frees the elements with the deleter that came with them;
//  - sharing: `sharers` counts only the array implementations over it. Copy on write asks
//    this count, so iterators and references (which come and go during a write) never make a
//    storage look shared.
// Every implementation object starts with a tag naming its kind, so an entry handed the wrong
// kind of handle refuses it instead of misreading memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "contract/data_contract.hpp"
#include "contract/element_kind_rows.hpp"

namespace kalvo::runtime {

/// The status codes of the contract (kOk, kInvalidIndex, ...), by their short names.
using namespace kalvo::data::status;

/// Element size in bytes of ArrayType `type`; 0 for a type the store does not hold.
size_t elementSize(int32_t type) noexcept;
/// True for the complex ArrayTypes.
inline bool isComplexType(int32_t type) noexcept { return kalvo::kinds::classRow(type).isComplex; }

/// Frees buffers this runtime allocated.
extern "C" void kalvo_data_freeBuffer(void* p);

/// A block of elements and the deleter that frees it.
struct Storage {
    Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage() {
        if (data != nullptr && deleter != nullptr) {
            deleter(data);
        }
    }

    /// Address of element `index` (no bounds check).
    unsigned char* at(size_t index) const noexcept {
        return static_cast<unsigned char*>(data) + index * elemSize;
    }

    void* data = nullptr;
    kalvo_data_deleter_t deleter = nullptr;
    size_t count = 0;
    size_t elemSize = 0;
    std::atomic<size_t> sharers{0};
};

using StoragePtr = std::shared_ptr<Storage>;

/// Kinds of implementation objects, checked on entry.
enum class Tag : uint32_t {
    Factory = 0x4b464143,
    Array = 0x4b415252,
    Iterator = 0x4b495452,
    Reference = 0x4b524546,
};

/// Base of every implementation object; handles are pointers to this base.
struct Handle {
    explicit Handle(Tag t) noexcept : tag(t) {}
    Tag tag;
};

struct FactoryImpl : Handle {
    static constexpr Tag kTag = Tag::Factory;
    FactoryImpl() noexcept : Handle(kTag) {}
};

/// One array implementation: element class, extents, layout and (shared) storage.
class ArrayImpl : public Handle {
public:
    static constexpr Tag kTag = Tag::Array;
    ArrayImpl(int32_t type, std::vector<size_t> dims, int32_t layout, StoragePtr storage) noexcept
        : Handle(kTag), m_type(type), m_layout(layout), m_dims(std::move(dims)) {
        attach(std::move(storage));
    }
    ArrayImpl(const ArrayImpl&) = delete;
    ArrayImpl& operator=(const ArrayImpl&) = delete;
    ~ArrayImpl() { detach(); }

    /// Switches to `storage` (and extents `dims`), leaving the previous storage to its other users.
    void replaceStorage(StoragePtr storage, std::vector<size_t> dims) noexcept {
        detach();
        m_dims = std::move(dims);
        attach(std::move(storage));
    }

    int32_t type() const noexcept { return m_type; }
    int32_t layout() const noexcept { return m_layout; }
    const std::vector<size_t>& dims() const noexcept { return m_dims; }
    const StoragePtr& storage() const noexcept { return m_storage; }
    /// True when another array implementation uses the same storage.
    bool storageShared() const noexcept {
        return m_storage->sharers.load(std::memory_order_acquire) > 1;
    }

private:
    void attach(StoragePtr storage) noexcept {
        m_storage = std::move(storage);
        m_storage->sharers.fetch_add(1, std::memory_order_relaxed);
    }
    void detach() noexcept {
        if (m_storage) {
            m_storage->sharers.fetch_sub(1, std::memory_order_acq_rel);
            m_storage.reset();
        }
    }

    int32_t m_type;
    int32_t m_layout;
    std::vector<size_t> m_dims;
    StoragePtr m_storage;
};

/// A position in a storage, from 0 to count (the end position).
struct IteratorImpl : Handle {
    static constexpr Tag kTag = Tag::Iterator;
    IteratorImpl(int32_t t, StoragePtr s, size_t p) noexcept
        : Handle(kTag), type(t), storage(std::move(s)), pos(p) {}
    int32_t type;
    StoragePtr storage;
    size_t pos;
};

/// One element of a storage.
struct ReferenceImpl : Handle {
    static constexpr Tag kTag = Tag::Reference;
    ReferenceImpl(int32_t t, StoragePtr s, size_t i) noexcept
        : Handle(kTag), type(t), storage(std::move(s)), index(i) {}
    int32_t type;
    StoragePtr storage;
    size_t index;
};

/// Product of `dims` and its size in bytes for elements of `elemSize`; false on overflow or
/// a size no allocation could satisfy.
bool elementCount(const size_t* dims, size_t ndims, size_t elemSize, size_t& count) noexcept;

/// New storage of `count` elements, zero-filled unless `zeroed` is false (at least one byte is
/// allocated, so the data pointer is never null). Throws std::bad_alloc.
StoragePtr allocateStorage(size_t count, size_t elemSize, bool zeroed = true);

/// New storage holding a copy of `source`'s elements. Throws std::bad_alloc.
StoragePtr copyStorage(const Storage& source);

/// The handle handed out for an implementation object.
inline void* toHandle(Handle* impl) noexcept { return static_cast<void*>(impl); }

/// The implementation object of kind T behind `handle`; null for a null or foreign handle.
template<class T>
T* handleAs(void* handle) noexcept {
    if (handle == nullptr) {
        return nullptr;
    }
    auto* base = static_cast<Handle*>(handle);
    return base->tag == T::kTag ? static_cast<T*>(base) : nullptr;
}

}  // namespace kalvo::runtime
