// dataarray/array.cpp: Array and the ownership helpers of the client handles.
#include "dataarray/array.hpp"

#include "dataarray/element_ref.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"
#include "dataarray/typed_iterator.hpp"

namespace kalvo::data {

namespace detail {

// Each helper resolves its destroy entry before taking ownership, so a runtime without it
// fails here and not later in a destructor, which must not throw.

ImplPtr adoptArrayImpl(void* impl) {
    static const auto destroyFcn = resolve<entry::destroyArray>();
    return ImplPtr(impl, [](void* p) { destroyFcn(p); });
}

std::shared_ptr<void> adoptIteratorImpl(void* impl) {
    static const auto destroyFcn = resolve<entry::destroyIterator>();
    return std::shared_ptr<void>(impl, [](void* p) { destroyFcn(p); });
}

std::shared_ptr<void> adoptReferenceImpl(void* impl) {
    static const auto destroyFcn = resolve<entry::destroyReference>();
    return std::shared_ptr<void>(impl, [](void* p) { destroyFcn(p); });
}

}  // namespace detail

Array::Array() {
    static const auto fcn = detail::resolve<entry::createEmptyArray>();
    void* impl = nullptr;
    throwIfError(fcn(&impl));
    m_impl = detail::adoptArrayImpl(impl);
}

Array::Array(void* impl) : m_impl(detail::adoptArrayImpl(impl)) {}

Array::~Array() = default;

ArrayType Array::getType() const {
    static const auto fcn = detail::resolve<entry::getType>();
    int32_t type = 0;
    throwIfError(fcn(m_impl.get(), &type));
    return static_cast<ArrayType>(type);
}

std::vector<size_t> Array::getDimensions() const {
    static const auto fcn = detail::resolve<entry::getDimensions>();
    const size_t* dims = nullptr;
    size_t ndims = 0;
    throwIfError(fcn(m_impl.get(), &dims, &ndims));
    return std::vector<size_t>(dims, dims + ndims);
}

size_t Array::getNumberOfElements() const {
    static const auto fcn = detail::resolve<entry::getNumberOfElements>();
    size_t n = 0;
    throwIfError(fcn(m_impl.get(), &n));
    return n;
}

void* Array::shareImpl() const {
    static const auto fcn = detail::resolve<entry::shareArray>();
    void* shared = nullptr;
    throwIfError(fcn(m_impl.get(), &shared));
    return shared;
}

void Array::unshare() {
    static const auto fcn_unshare = detail::resolve<entry::unshareArray>();
    // use_count() == 1 is exact for our purpose: only this handle could add an owner now.
    void* unshared = nullptr;
    throwIfError(fcn_unshare(m_impl.get(), m_impl.use_count() == 1, &unshared));
    if (unshared != nullptr) {
        m_impl = detail::adoptArrayImpl(unshared);
    }
}

std::optional<Array> Array::unshareKeepingPrevious() {
    static const auto fcn_unshare = detail::resolve<entry::unshareArray>();
    void* unshared = nullptr;
    throwIfError(fcn_unshare(m_impl.get(), m_impl.use_count() == 1, &unshared));
    if (unshared == nullptr) {
        return std::nullopt;
    }
    detail::ImplPtr adopted = detail::adoptArrayImpl(unshared);
    std::optional<Array> previous(*this);  // shares the implementation this handle leaves
    m_impl = std::move(adopted);
    return previous;
}

}  // namespace kalvo::data
