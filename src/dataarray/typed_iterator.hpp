// dataarray/typed_iterator.hpp: TypedIterator<T>, an iterator over a data array's elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <type_traits>

#include "dataarray/array_type.hpp"
#include "dataarray/element_ref.hpp"
#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"

namespace kalvo::data {

namespace detail {
/// Takes over an owned iterator implementation (released through entry 64).
std::shared_ptr<void> adoptIteratorImpl(void* impl);
}  // namespace detail

/// Iterator over the elements of a data array in storage order; T may be const-qualified.
/// Dereferencing gives a reference into the runtime's storage, valid while that storage lives
/// and is not handed out by release(). Copies are independent iterators.
template<class T>
class TypedIterator {
    using Element = std::remove_const_t<T>;

public:
    using value_type = Element;
    using reference = T&;
    using pointer = T*;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    /// A singular iterator: only assignment and destruction are allowed.
    TypedIterator() noexcept = default;
    /// Adopts `impl`, an owned iterator implementation over elements of type T.
    explicit TypedIterator(void* impl) : m_impl(detail::adoptIteratorImpl(impl)) {}

    TypedIterator(const TypedIterator& other) : m_impl(other.cloneImpl()) {}
    TypedIterator(TypedIterator&&) noexcept = default;
    TypedIterator& operator=(const TypedIterator& other) {
        if (this != &other) {
            m_impl = other.cloneImpl();
        }
        return *this;
    }
    TypedIterator& operator=(TypedIterator&&) noexcept = default;

    /// The current element.
    T& operator*() const { return *createTempRef(); }
    /// The current element's address.
    T* operator->() const { return createTempRef(); }

    TypedIterator& operator++() {
        static const auto fcn = detail::resolve<entry::incrementIterator>();
        throwIfError(fcn(m_impl.get()));
        return *this;
    }
    TypedIterator operator++(int) {
        TypedIterator before(*this);
        ++*this;
        return before;
    }
    /// Moves by n elements; throws kind 1 if that leaves [begin, end].
    TypedIterator& operator+=(difference_type n) {
        static const auto fcn = detail::resolve<entry::advanceIterator>();
        throwIfError(fcn(m_impl.get(), n));
        return *this;
    }
    TypedIterator operator+(difference_type n) const {
        TypedIterator moved(*this);
        moved += n;
        return moved;
    }

    /// Same storage, same position.
    bool operator==(const TypedIterator& other) const {
        static const auto fcn = detail::resolve<entry::iteratorsEqual>();
        bool equal = false;
        throwIfError(fcn(m_impl.get(), other.m_impl.get(), &equal));
        return equal;
    }
    bool operator!=(const TypedIterator& other) const { return !(*this == other); }

    /// The implementation pointer (borrowed).
    void* getImpl() const noexcept { return m_impl.get(); }

private:
    std::shared_ptr<void> cloneImpl() const {
        if (!m_impl) {
            return {};
        }
        static const auto fcn = detail::resolve<entry::cloneIterator>();
        void* copy = nullptr;
        throwIfError(fcn(m_impl.get(), &copy));
        return detail::adoptIteratorImpl(copy);
    }

    /// Address of the current element, straight from the runtime for real elements; complex
    /// elements use the one-call entry when the runtime has it, else a temporary reference.
    T* createTempRef() const {
        void* address = nullptr;
        if constexpr (!detail::isComplex<Element>) {
            static const auto fcn = detail::resolve<entry::iteratorElementAddress>();
            throwIfError(fcn(m_impl.get(), &address));
        } else {
            static const auto fcn = detail::lookupOptional<entry::iteratorComplexElementAddress>();
            if (fcn != nullptr) {
                throwIfError(fcn(m_impl.get(), &address));
            } else {
                static const auto fcn2 = detail::resolve<entry::iteratorElementReference>();
                static const auto fcn3 = detail::resolve<entry::referenceComplexParts>();
                void* ref = nullptr;
                throwIfError(fcn2(m_impl.get(), &ref));
                ReferenceHolder holder(ref);
                void* imag = nullptr;
                throwIfError(fcn3(holder.get(), &address, &imag));
                // A std::complex is its two parts side by side; any other arrangement cannot
                // be handed out as a reference.
                using Part = typename Element::value_type;
                if (imag != static_cast<void*>(static_cast<Part*>(address) + 1)) {
                    throwIfError(static_cast<int>(ExceptionType::LayoutMismatch));
                }
            }
        }
        return static_cast<T*>(address);
    }

    std::shared_ptr<void> m_impl;
};

}  // namespace kalvo::data
