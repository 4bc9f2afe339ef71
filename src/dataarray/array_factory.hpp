// dataarray/array_factory.hpp: ArrayFactory, which makes buffers and arrays in the runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dataarray/array_type.hpp"
#include "dataarray/buffer.hpp"
#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"
#include "dataarray/typed_array.hpp"

namespace kalvo::data {

/// Makes element buffers and arrays. Copies share the runtime's factory.
class ArrayFactory {
public:
    /// A new factory.
    ArrayFactory();

    /// Room for n elements, owned by the caller until handed to createArrayFromBuffer. The
    /// contents are unspecified: fill every element before use.
    template<class T>
    buffer_ptr_t<T> createBuffer(size_t n) {
        static const auto fcn = detail::resolve<entry::createBuffer>();
        void* data = nullptr;
        BufferDeleterFn deleter = nullptr;
        throwIfError(fcn(m_impl.get(), static_cast<int32_t>(arrayTypeOf<T>()), n, &data, &deleter));
        return buffer_ptr_t<T>(static_cast<T*>(data), BufferDeleter(deleter));
    }

    /// An array of extents `dims` over the elements of `buffer` laid out as `layout`; the
    /// runtime takes the buffer over. If this throws, `buffer` still owns the elements, so a
    /// caller can try again or free them. Element (i, j, ...) is the buffer's element at that
    /// position in `layout`; the array keeps its elements column-major, so iteration and
    /// release() give a row-major buffer's elements back reordered, a column-major buffer's in
    /// its own order.
    template<class T>
    TypedArray<T> createArrayFromBuffer(std::vector<size_t> dims, buffer_ptr_t<T>&& buffer,
                                        MemoryLayout layout = MemoryLayout::COLUMN_MAJOR) {
        const auto type = static_cast<int32_t>(arrayTypeOf<T>());
        const BufferDeleterFn deleter = buffer.get_deleter().function();
        void* impl = nullptr;
        int status = 0;
        static const auto fcn = detail::lookupOptional<entry::createArrayFromBufferWithLayout>();
        if (fcn != nullptr) {
            status = fcn(m_impl.get(), type, dims.data(), dims.size(), buffer.get(), deleter,
                         static_cast<int32_t>(layout), &impl);
        } else {
            // The older entry knows column-major buffers only.
            if (layout != MemoryLayout::COLUMN_MAJOR) {
                throwArrayException<ExceptionType::FeatureNotSupported>(
                    "Row-major buffers require RelC");
            }
            static const auto fcn2 = detail::resolve<entry::createArrayFromBuffer>();
            status =
                fcn2(m_impl.get(), type, dims.data(), dims.size(), buffer.get(), deleter, &impl);
        }
        throwIfError(status);
        buffer.release();  // the runtime owns it now
        return TypedArray<T>(impl, typename TypedArray<T>::Adopt{});
    }

    /// A 1-by-1 array holding `value`.
    template<class T>
    TypedArray<T> createScalar(const T& value) {
        static const auto fcn = detail::resolve<entry::createScalar>();
        void* impl = nullptr;
        throwIfError(fcn(m_impl.get(), static_cast<int32_t>(arrayTypeOf<T>()), &value, &impl));
        return TypedArray<T>(impl, typename TypedArray<T>::Adopt{});
    }

    /// An array of extents `dims` with every element zero.
    template<class T>
    TypedArray<T> createArray(std::vector<size_t> dims) {
        static const auto fcn = detail::resolve<entry::createArray>();
        void* impl = nullptr;
        throwIfError(fcn(m_impl.get(), static_cast<int32_t>(arrayTypeOf<T>()), dims.data(),
                         dims.size(), &impl));
        return TypedArray<T>(impl, typename TypedArray<T>::Adopt{});
    }

    /// The implementation pointer (borrowed).
    void* getImpl() const noexcept { return m_impl.get(); }

private:
    std::shared_ptr<void> m_impl;
};

}  // namespace kalvo::data
