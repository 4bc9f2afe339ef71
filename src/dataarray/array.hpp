// dataarray/array.hpp: Array, the shared handle to one runtime array implementation.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "dataarray/array_type.hpp"

namespace kalvo::data {

namespace detail {

/// Shared ownership of one runtime implementation object; the last owner releases it through
/// the kind's destroy entry. The count is atomic, so handles may be copied and dropped from
/// several threads.
using ImplPtr = std::shared_ptr<void>;

/// Takes over an owned array implementation (released through entry 50). Throws if the destroy
/// entry cannot be found; `impl` is then not released.
ImplPtr adoptArrayImpl(void* impl);

}  // namespace detail

/// A handle to a data array. Copies share the implementation (and so the elements); a write
/// through a TypedArray first gives that handle a private copy if anything else shares them.
/// A moved-from Array holds no implementation: it may only be assigned to or destroyed.
class Array {
public:
    /// An empty (0-by-0) array.
    Array();
    /// Adopts `impl`, an owned array implementation pointer: the handle releases it.
    explicit Array(void* impl);
    virtual ~Array();

    Array(const Array&) = default;
    Array(Array&&) noexcept = default;
    Array& operator=(const Array&) = default;
    Array& operator=(Array&&) noexcept = default;

    /// The element class.
    ArrayType getType() const;
    /// The extents, one per dimension.
    std::vector<size_t> getDimensions() const;
    /// The product of the extents.
    size_t getNumberOfElements() const;
    /// The implementation pointer (borrowed: valid while a handle shares it).
    void* getImpl() const noexcept { return m_impl.get(); }
    /// A new owned implementation over the same elements (copy-on-write), for code that adopts
    /// implementation pointers.
    void* shareImpl() const;
    /// Makes the elements private to this handle, as every mutable access does first (entry
    /// 55). When they had to be copied, returns a handle that still shares the elements left
    /// behind, so a caller that lent out their address can keep them alive; otherwise nothing.
    std::optional<Array> unshareKeepingPrevious();

protected:
    /// Makes the elements private to this handle before a mutable access: if another handle or
    /// another implementation shares them, switches to a private copy.
    void unshare();

    detail::ImplPtr m_impl;
};

}  // namespace kalvo::data
