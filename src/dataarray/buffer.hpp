// dataarray/buffer.hpp: element buffers owned together with the runtime's deleter.
#pragma once

#include <memory>

#include "dataarray/entries.hpp"

namespace kalvo::data {

/// Frees a buffer through the deleter the runtime supplied with it.
class BufferDeleter {
public:
    BufferDeleter() noexcept = default;
    explicit BufferDeleter(BufferDeleterFn fn) noexcept : m_fn(fn) {}

    /// Frees `p` (nothing for null).
    void operator()(void* p) const noexcept {
        if (p != nullptr && m_fn != nullptr) {
            m_fn(p);
        }
    }

    /// The runtime's deleter (null for a default-constructed deleter).
    BufferDeleterFn function() const noexcept { return m_fn; }

private:
    BufferDeleterFn m_fn = nullptr;
};

/// An owned element buffer; passing it to createArrayFromBuffer hands it to the runtime.
template<class T>
using buffer_ptr_t = std::unique_ptr<T[], BufferDeleter>;

}  // namespace kalvo::data
