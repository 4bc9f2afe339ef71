// src/core/view_materialisation.cpp: turning a partial array into a column-major data array of its own
//
// The view is read as its nested list (integer prefix, trailing slice, remaining dimensions) and
// walked by a fresh constructor parser of the element type, exactly as an initializer would be;
// the parser's row-major elements are then laid out column-major. The result is cached in the
// state and never refreshed: later element writes do not reach an already materialised view.

#include <utility>

#include "construct/constructor_parser.hpp"
#include "core/kcpp_py_array.hpp"
#include "core/typed_dispatch.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"

using kalvo::data::Array;
using kalvo::data::MemoryLayout;
using kalvo::py::PyRef;
using kalvo::py::TypedElementT;

namespace {

/// Builds the materialised view for the wrapped array's element type.
struct KDAFromIndexedArrayVisitor {
    const KCppPyArray& state;
    MemoryLayout layout; // every layout yields a column-major array
    bool oneDimAsRow;

    template <class T>
    std::optional<Array> operator()(TypeTag<T>) const
    {
        PyRef list = PyRef::steal(state.getNestedListForm());
        if (!list)
            return std::nullopt;
        FinalConstructorParser<T> parser;
        if (!parser.processNestedInitializer(list.get(), false))
            return std::nullopt;
        std::vector<size_t> dims = parser.initializerDims;
        if (oneDimAsRow && dims.size() == 1)
            dims = {1, dims[0]};
        if (parser.elements.empty()) {
            const std::vector<long>& shape = state.getKDAWrapper()->shape();
            if (shape.empty()) {
                PyErr_SetString(PyExc_RuntimeError, "dimensions are unexpectedly empty.");
                return std::nullopt;
            }
            dims.assign(shape.begin(), shape.end());
            dims[0] = 0;
        }
        parser.sizeDims.clear();
        parser.initializerDims = std::move(dims);
        parser.dataIsColumnMajor = false;
        bool ok = true;
        auto buffer = parser.copyElementsToBuffer(ok);
        if (!ok)
            return std::nullopt;
        return createArrayFromParser(parser, std::move(buffer));
    }
};

} // namespace

std::optional<Array> KCppPyArray::materializeView(MemoryLayout layout, bool oneDimAsRow) const
{
    const KDAFromIndexedArrayVisitor visitor{*this, layout, oneDimAsRow};
    return apply_numeric_visitor(m_kdaWrapper->array(), [&](auto& typed) -> std::optional<Array> {
        using T = TypedElementT<decltype(typed)>;
        if constexpr (std::is_same_v<T, char16_t>)
            kalvo::py::detail::throwInvalidVisitorType(); // no array kind holds char elements
        else
            return visitor(TypeTag<T>{});
    });
}

std::optional<Array> KCppPyArray::getIndexedArrayAsKDA(MemoryLayout layout, bool oneDimAsRow)
{
    if (!m_indexedArrayAsKDA)
        m_indexedArrayAsKDA = materializeView(layout, oneDimAsRow);
    return m_indexedArrayAsKDA;
}

void KCppPyArray::setIndexedArrayAsKDA(Array&& array) { m_indexedArrayAsKDA = std::move(array); }

std::unique_ptr<KCppPyArray> KCppPyArray::cloneAsKCppPyArrayUniquePtr(MemoryLayout layout, bool oneDimAsRow)
{
    const std::optional<Array> array = getIndexedArrayAsKDA(layout, oneDimAsRow);
    if (!array)
        return nullptr;
    return std::make_unique<KCppPyArray>(*array, m_supportedArrayEnum, m_isComplex,
                                         m_kdaWrapper->getOrder() == 'F');
}

void KCppPyArray::updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout layout, bool oneDimAsRow)
{
    if (!m_indices.empty() && !m_indexRestrictedKCppPyArray)
        m_indexRestrictedKCppPyArray = cloneAsKCppPyArrayUniquePtr(layout, oneDimAsRow);
}

PyObject* KCppPyArray::cloneAsKCPyArray(MemoryLayout layout, bool oneDimAsRow)
{
    std::unique_ptr<KCppPyArray> clone = cloneAsKCppPyArrayUniquePtr(layout, oneDimAsRow);
    if (!clone)
        return nullptr;
    PyObject* object = allocKCPyArrayFromKCppPyArray();
    if (object == nullptr)
        return nullptr;
    reinterpret_cast<KCPyArray*>(object)->state = clone.release();
    return object;
}
