// dataarray/element_ref.hpp: references to single elements (complex element access).
#pragma once

#include <cstdint>
#include <memory>

#include "dataarray/array_type.hpp"
#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"

namespace kalvo::data {

namespace detail {
/// Takes over an owned element reference implementation (released through entry 23).
std::shared_ptr<void> adoptReferenceImpl(void* impl);
}  // namespace detail

/// Shared handle to a runtime element reference; the reference keeps the element's storage alive.
class ReferenceHolder {
public:
    ReferenceHolder() noexcept = default;
    /// Adopts `impl`, an owned reference implementation.
    explicit ReferenceHolder(void* impl) : m_impl(detail::adoptReferenceImpl(impl)) {}
    /// The implementation pointer (borrowed).
    void* get() const noexcept { return m_impl.get(); }

private:
    std::shared_ptr<void> m_impl;
};

namespace detail {

/// Stores `value` into the element `ref` refers to; `type` is the element's ArrayType.
template<class T>
void setElement(ReferenceHolder& ref, const T& value, ArrayType type) {
    static_assert(isComplex<T>, "setElement stores complex elements");
    static const auto fcn = resolve<entry::setComplexElement>();
    const typename T::value_type re = value.real();
    const typename T::value_type im = value.imag();
    throwIfError(fcn(ref.get(), static_cast<int32_t>(type), &re, &im));
}

/// Reads the complex element `ref` refers to.
template<class T>
T getElement(const ReferenceHolder& ref) {
    static_assert(isComplex<T>, "getElement reads complex elements");
    using Part = typename T::value_type;
    static const auto fcn = resolve<entry::referenceComplexParts>();
    void* re = nullptr;
    void* im = nullptr;
    throwIfError(fcn(ref.get(), &re, &im));
    if (im == nullptr) {
        throwIfError(static_cast<int>(ExceptionType::DataTypeMismatch));
    }
    return T(*static_cast<const Part*>(re), *static_cast<const Part*>(im));
}

}  // namespace detail

/// A reference to one complex element of a TypedArray: assigning stores into the array,
/// converting reads the element.
template<class T>
class ArrayElementRef {
    static_assert(detail::isComplex<T>, "element references are for complex elements");

public:
    /// Wraps a runtime reference to an element of ArrayType arrayTypeOf<T>().
    explicit ArrayElementRef(ReferenceHolder holder) noexcept : m_holder(std::move(holder)) {}
    ArrayElementRef(const ArrayElementRef&) = default;

    /// Stores `value` into the element.
    ArrayElementRef& operator=(const T& value) {
        detail::setElement<T>(m_holder, value, arrayTypeOf<T>());
        return *this;
    }
    /// Stores the value of the element `other` refers to (assignment copies values, it never rebinds).
    ArrayElementRef& operator=(const ArrayElementRef& other) {
        return *this = static_cast<T>(other);
    }

    /// The element's current value.
    operator T() const { return detail::getElement<T>(m_holder); }

    /// The underlying runtime reference.
    ReferenceHolder& holder() noexcept { return m_holder; }

    friend bool operator==(const ArrayElementRef& ref, const T& value) {
        return static_cast<T>(ref) == value;
    }
    friend bool operator==(const T& value, const ArrayElementRef& ref) { return ref == value; }
    friend bool operator!=(const ArrayElementRef& ref, const T& value) { return !(ref == value); }
    friend bool operator!=(const T& value, const ArrayElementRef& ref) { return !(ref == value); }

private:
    ReferenceHolder m_holder;
};

namespace detail {

/// Stores `value` into the element that `ref` (an element of a complex TypedArray) refers to.
template<class T>
void setElement(ArrayElementRef<T> ref, const T& value, ArrayType type) {
    setElement<T>(ref.holder(), value, type);
}

}  // namespace detail

}  // namespace kalvo::data
