// dataarray/typed_array.hpp: TypedArray<T>, an Array whose element type is known to be T.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "dataarray/array.hpp"
#include "dataarray/array_type.hpp"
#include "dataarray/buffer.hpp"
#include "dataarray/element_ref.hpp"
#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"
#include "dataarray/typed_iterator.hpp"

namespace kalvo::data {

class ArrayFactory;

/// An Array whose elements are of type T. Mutable access (non-const begin()/end(),
/// operator[], release()) first makes the elements private to this handle, so it never
/// changes another Array that shared them. Moving an Array in (and back out) keeps a single
/// owner, so such a write copies nothing.
template<class T>
class TypedArray : public Array {
    static_assert(!std::is_const_v<T>, "TypedArray<const T> is spelled const TypedArray<T>");

public:
    using value_type = T;
    using iterator = TypedIterator<T>;
    using const_iterator = TypedIterator<const T>;

    /// Shares `other`; throws kind 9 "Can't convert the Array to this TypedArray" if its
    /// element type is not T.
    TypedArray(const Array& other) : Array((checkType(other), other)) {}
    /// Takes `other` over (it is left untouched if the type check throws).
    TypedArray(Array&& other) : Array((checkType(other), std::move(other))) {}

    TypedArray(const TypedArray&) = default;
    TypedArray(TypedArray&&) noexcept = default;
    TypedArray& operator=(const TypedArray&) = default;
    TypedArray& operator=(TypedArray&&) noexcept = default;
    ~TypedArray() override = default;

    /// First element, for writing.
    iterator begin() {
        unshare();
        return iterator(makeBegin());
    }
    /// Past the last element, for writing.
    iterator end() {
        unshare();
        return iterator(makeEnd());
    }
    const_iterator begin() const { return const_iterator(makeBegin()); }
    const_iterator end() const { return const_iterator(makeEnd()); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    /// Reference to element `index` (storage order) of a complex array.
    template<class U = T, std::enable_if_t<detail::isComplex<U>, int> = 0>
    ArrayElementRef<T> operator[](size_t index) {
        unshare();
        static const auto fcn = detail::resolve<entry::getElementReference>();
        void* ref = nullptr;
        throwIfError(fcn(m_impl.get(), index, &ref));
        return ArrayElementRef<T>(ReferenceHolder(ref));
    }

    /// Hands the elements out (storage order); this array becomes empty.
    buffer_ptr_t<T> release() {
        unshare();
        static const auto fcn = detail::resolve<entry::releaseBuffer>();
        void* data = nullptr;
        BufferDeleterFn deleter = nullptr;
        throwIfError(fcn(m_impl.get(), &data, &deleter));
        return buffer_ptr_t<T>(static_cast<T*>(data), BufferDeleter(deleter));
    }

private:
    friend class ArrayFactory;
    struct Adopt {};
    /// Adopts an owned implementation known to hold elements of type T.
    TypedArray(void* impl, Adopt) : Array(impl) {}

    static void checkType(const Array& other) {
        static const auto fcn = detail::resolve<entry::checkTypedArray>();
        bool convertible = false;
        throwIfError(fcn(static_cast<int32_t>(arrayTypeOf<T>()),
                         static_cast<int32_t>(other.getType()), &convertible));
        if (!convertible) {
            throwArrayException<ExceptionType::ArrayTypeMismatch>(
                "Can't convert the Array to this TypedArray");
        }
    }

    void* makeBegin() const {
        void* iter = nullptr;
        static const auto fcn = detail::lookupOptional<entry::beginOfType>();
        if (fcn != nullptr) {
            throwIfError(fcn(m_impl.get(), static_cast<int32_t>(arrayTypeOf<T>()), &iter));
        } else {
            static const auto fcn2 = detail::resolve<entry::begin>();
            throwIfError(fcn2(m_impl.get(), &iter));
        }
        return iter;
    }

    void* makeEnd() const {
        void* iter = nullptr;
        static const auto fcn = detail::lookupOptional<entry::endOfType>();
        if (fcn != nullptr) {
            throwIfError(fcn(m_impl.get(), static_cast<int32_t>(arrayTypeOf<T>()), &iter));
        } else {
            static const auto fcn2 = detail::resolve<entry::end>();
            throwIfError(fcn2(m_impl.get(), &iter));
        }
        return iter;
    }
};

}  // namespace kalvo::data
