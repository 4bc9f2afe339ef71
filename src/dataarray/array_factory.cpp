// dataarray/array_factory.cpp: ArrayFactory's handle on the runtime's factory.
#include "dataarray/array_factory.hpp"

namespace kalvo::data {

namespace detail {

// Resolves the destroy entry before taking ownership, as the other handles do.
namespace {
std::shared_ptr<void> adoptFactoryImpl(void* impl) {
    static const auto destroyFcn = resolve<entry::destroyFactory>();
    return std::shared_ptr<void>(impl, [](void* p) { destroyFcn(p); });
}
}  // namespace

}  // namespace detail

ArrayFactory::ArrayFactory() {
    static const auto fcn = detail::resolve<entry::createFactory>();
    void* impl = nullptr;
    throwIfError(fcn(&impl));
    m_impl = detail::adoptFactoryImpl(impl);
}

}  // namespace kalvo::data
