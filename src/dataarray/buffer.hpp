// dataarray/buffer.hpp: element buffers owned together with the runtime's deleter.
#pragma once

#include <memory>

#include "dataarray/entries.hpp"

namespace kalvo::data {

/// Frees a buffer through the deleter the runtime supplied with it.
class BufferDeleter {
public:
    BufferDeleter() noexcept = default;
    /// Implicit, so a buffer_ptr_t is made from a pointer and the runtime's deleter function.
    BufferDeleter(BufferDeleterFn fn) noexcept : m_fn(fn) {}  // NOLINT: implicit on purpose

    /// Frees `p` (nothing for null).
    void operator()(void* p) const noexcept {
        if (p != nullptr && m_fn != nullptr) {
            m_fn(p);
        }
    }

    /// The runtime's deleter (null for a default-constructed deleter).
    BufferDeleterFn function() const noexcept { return m_fn; }
    operator BufferDeleterFn() const noexcept { return m_fn; }  // NOLINT: implicit on purpose

private:
    BufferDeleterFn m_fn = nullptr;
};

/// An owned element buffer; passing it to createArrayFromBuffer hands it to the runtime.
template<class T>
using buffer_ptr_t = std::unique_ptr<T[], BufferDeleter>;

}  // namespace kalvo::data
