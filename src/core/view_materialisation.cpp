// src/core/view_materialisation.cpp: turning a partial array into a column-major data array of its own
//
// The view's elements are copied byte for byte from the runtime's storage straight into a
// runtime buffer in column-major order of the result, so every element keeps its exact value
// (no detour through Python numbers); nothing on the way runs Python code. The result's
// dimensions are the view's: the trailing slice's length (or the active dimension's extent)
// followed by the remaining extents, in the order the view's nested list nests them. The result
// is cached in the state together with the wrapper's write count and generation when it was made;
// a write or reshape since then makes the next request build it again. Exports and host handles
// already handed out keep the copy they were given.

#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/guard.hpp"
#include "base/kind_dispatch.hpp"
#include "base/limits.hpp"
#include "base/objects.hpp"
#include "core/array_state.hpp"

using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::py::TypedElementT;

namespace {

/// Where a view's elements lie in the runtime's storage.
struct ViewGeometry {
    const char* base = nullptr;  ///< address of the block the integer prefix selects
    std::vector<size_t> dims;    ///< the view's extents, first varying dimension first
    std::vector<long> lead;      ///< byte offset from base of each position of view dimension 0
    std::vector<long> strides;   ///< byte stride of view dimensions 1.. (entry 0 unused)
};

/// Copies the view's elements into `out` with the first view dimension fastest. Every offset
/// in `view` stays inside the storage (checked when the geometry was built).
template<class T>
void gatherColumnMajor(const ViewGeometry& view, T* out) {
    const size_t ndim = view.dims.size();
    const size_t inner = view.dims[0];
    std::vector<size_t> index(ndim, 0);
    long outer = 0;  // byte offset of the current position in view dimensions 1..
    for (;;) {
        const char* block = view.base + outer;
        for (size_t i = 0; i < inner; ++i, ++out)
            std::memcpy(static_cast<void*>(out), block + view.lead[i], sizeof(T));
        size_t d = 1;
        for (; d < ndim; ++d) {
            outer += view.strides[d];
            if (++index[d] < view.dims[d])
                break;
            outer -= static_cast<long>(view.dims[d]) * view.strides[d];
            index[d] = 0;
        }
        if (d == ndim)
            return;
    }
}

/// Builds the materialised view for the wrapped array's element type.
struct KDAFromIndexedArrayVisitor {
    const KCppPyArray& state;
    bool oneDimAsRow;

    template<class T>
    std::optional<Array> operator()(kalvo::data::TypedArray<T>&) const {
        if constexpr (std::is_same_v<T, char16_t>) {
            kalvo::py::detail::throwInvalidVisitorType();  // no array kind holds char elements
        } else {
            const KDArrayWrapper& wrapper = *state.getKDAWrapper();
            if (wrapper.getElementSizeInBytes() != static_cast<long>(sizeof(T))) {
                PyErr_SetString(PyExc_RuntimeError,
                                "element kind does not match the wrapped array.");
                return std::nullopt;  // the storage's elements are not T's; never read them as such
            }
            ViewGeometry view;
            if (!describeView(wrapper, view))
                return std::nullopt;
            // The view's elements are in the storage, so their count fits.
            const size_t count = view.dims.empty() ? 0 : *kalvo::py::productOf(view.dims);
            std::vector<size_t> dims;
            if (count == 0) {
                // An empty view keeps the wrapped array's extents behind a first extent of 0.
                const std::vector<long>& shape = wrapper.shape();
                if (shape.empty()) {
                    PyErr_SetString(PyExc_RuntimeError, "dimensions are unexpectedly empty.");
                    return std::nullopt;
                }
                dims.assign(shape.begin(), shape.end());
                dims[0] = 0;
            } else if (oneDimAsRow && view.dims.size() == 1) {
                dims = {1, view.dims[0]};
            } else {
                dims = view.dims;
            }
            ArrayFactory factory;
            auto buffer = factory.createBuffer<T>(count);
            if (count > 0)
                gatherColumnMajor<T>(view, buffer.get());
            return Array(factory.createArrayFromBuffer<T>(std::move(dims), std::move(buffer),
                                                          MemoryLayout::COLUMN_MAJOR));
        }
    }

    /// The view's geometry over the storage; false with RuntimeError set when a stored
    /// index no longer fits the wrapper's current shape (a reshape since the view was made).
    bool describeView(const KDArrayWrapper& wrapper, ViewGeometry& view) const {
        if (!state.indicesStillValid()) {
            PyErr_SetString(PyExc_RuntimeError, kalvo::py::kIndexOutsideShape);
            return false;
        }
        bool ok = true;
        const std::vector<long> prefix = state.getIntegerIndicesSoFar(ok);
        if (!ok)
            return false;
        view.base = state.getAddressOfElementFromNormalizedIntIndices(prefix);
        if (view.base == nullptr)
            return false;
        const std::vector<long>& shape = wrapper.shape();
        const std::vector<long>& strides = wrapper.bytewiseStridesVector();
        const size_t ndim = shape.size();
        const size_t k = prefix.size();
        if (k >= ndim)
            return true;  // nothing varies: an empty view
        // A zero extent further on leaves the view without elements, however long its first
        // dimension is: list no offsets (that list alone would follow the extent, not the
        // element count).
        for (size_t d = k + 1; d < ndim; ++d) {
            if (shape[d] == 0)
                return true;
        }
        if (state.sliceInFinalPreexistingPosition()) {
            const SliceIndexItem& slice = std::get<SliceIndexItem>(state.getIndicesRef().back());
            const std::vector<long> positions =
                slice.getIntegerIndexValues(state.getLengthOfActiveDimension(), ok);
            if (!ok)
                return false;
            view.lead.reserve(positions.size());
            for (long position : positions) {
                if (position < 0 || position >= shape[k]) {
                    PyErr_SetString(PyExc_RuntimeError, kalvo::py::kIndexOutsideShape);
                    return false;
                }
                view.lead.push_back(position * strides[k]);
            }
        } else {
            view.lead.reserve(static_cast<size_t>(shape[k]));
            for (long i = 0; i < shape[k]; ++i)
                view.lead.push_back(i * strides[k]);
        }
        view.dims.push_back(view.lead.size());
        view.strides.push_back(0);
        for (size_t d = k + 1; d < ndim; ++d) {
            view.dims.push_back(static_cast<size_t>(shape[d]));
            view.strides.push_back(strides[d]);
        }
        return true;
    }
};

}  // namespace

std::optional<Array> KCppPyArray::materializeView(MemoryLayout /*layout*/, bool oneDimAsRow) const {
    // Every layout yields a column-major array.
    if (expectedElementSize() != m_kdaWrapper->getElementSizeInBytes()) {
        PyErr_SetString(PyExc_RuntimeError, "element kind does not match the wrapped array.");
        return std::nullopt;
    }
    try {
        return apply_numeric_visitor(m_kdaWrapper->array(),
                                     KDAFromIndexedArrayVisitor{*this, oneDimAsRow});
    } catch (...) {
        kalvo::py::translateCurrentException();
        return std::nullopt;
    }
}

bool KCppPyArray::materialisationIsCurrent() const noexcept {
    return m_materialisedAt.first == m_kdaWrapper->generation() &&
           m_materialisedAt.second == m_kdaWrapper->writeCount();
}

void KCppPyArray::dropStaleMaterialisation() {
    if ((m_indexedArrayAsKDA || m_indexRestrictedKCppPyArray) && !materialisationIsCurrent()) {
        m_indexedArrayAsKDA.reset();
        m_indexRestrictedKCppPyArray.reset();
    }
}

std::optional<Array> KCppPyArray::getIndexedArrayAsKDA(MemoryLayout layout, bool oneDimAsRow) {
    dropStaleMaterialisation();
    if (!m_indexedArrayAsKDA) {
        m_materialisedAt = {m_kdaWrapper->generation(), m_kdaWrapper->writeCount()};
        m_indexedArrayAsKDA = materializeView(layout, oneDimAsRow);
    }
    return m_indexedArrayAsKDA;
}

std::unique_ptr<KCppPyArray> KCppPyArray::cloneAsKCppPyArrayUniquePtr(MemoryLayout layout,
                                                                      bool oneDimAsRow) {
    const std::optional<Array> array = getIndexedArrayAsKDA(layout, oneDimAsRow);
    if (!array)
        return nullptr;
    return std::make_unique<KCppPyArray>(*array, m_supportedArrayEnum, m_isComplex,
                                         m_kdaWrapper->getOrder() == 'F');
}

void KCppPyArray::updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout layout,
                                                              bool oneDimAsRow) {
    dropStaleMaterialisation();
    if (!m_indices.empty() && !m_indexRestrictedKCppPyArray)
        m_indexRestrictedKCppPyArray = cloneAsKCppPyArrayUniquePtr(layout, oneDimAsRow);
}
