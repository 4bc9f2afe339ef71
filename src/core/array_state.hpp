// src/core/array_state.hpp: KCppPyArray, the state behind every Python array object
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/element_kinds.hpp"
#include "core/index_items.hpp"
#include "core/storage.hpp"
#include "dataarray/kalvo_data.hpp"

namespace kalvo::py {
/// RuntimeError text for a partial array whose stored indices no longer fit its (reshaped) array.
inline constexpr const char kIndexOutsideShape[] =
    "index is out of range for the array's current shape.";
}  // namespace kalvo::py

/// A shared KDArrayWrapper plus element kind, complexity and the pending index items of a partial array.
/// The index list is k integer items (dimensions 0..k-1), optionally followed by one normalised slice
/// for dimension k (the active dimension); slice positions are absolute positions of that dimension.
class KCppPyArray;

class KCppPyArray {
public:
    /// New wrapper over `array` (order 'F' when columnMajor, else 'C'); empty index list.
    KCppPyArray(kalvo::data::Array&& array, SupportedArrayEnum kind, bool isComplex,
                bool columnMajor);
    /// New wrapper sharing `array`; otherwise as above.
    KCppPyArray(const kalvo::data::Array& array, SupportedArrayEnum kind, bool isComplex,
                bool columnMajor);
    /// New wrapper copied from `wrapper` (sharing its storage copy-on-write, export count 0); empty index list.
    KCppPyArray(KDArrayWrapper&& wrapper, SupportedArrayEnum kind, bool isComplex);
    /// Shares other's wrapper and copies kind, complexity and the index list; caches start empty.
    KCppPyArray(const KCppPyArray& other);
    /// Shares other's wrapper and kind; one non-normalised IntegerIndexItem per entry of intIndices.
    KCppPyArray(const KCppPyArray& other, const std::vector<long>& intIndices);
    KCppPyArray& operator=(const KCppPyArray&) = delete;
    ~KCppPyArray();

    /// Becomes a state like one copied from `other`, keeping the index list's capacity (caches
    /// must already be empty: only states handed back through releaseForReuse are reused).
    void reuseAs(const KCppPyArray& other);
    /// Becomes a state like KCppPyArray(other, intIndices), keeping the index list's capacity.
    void reuseAs(const KCppPyArray& other, const std::vector<long>& intIndices);
    /// Becomes source's state plus the integer item `item`, as a partial array a[i] of source
    /// would be, keeping the wrapper share when it is the same and dropping the caches.
    void reaimAsItemOf(const KCppPyArray& source, const IntegerIndexItem& item);
    /// The last partial array a[i] returned (a strong reference, or null; never copied with the
    /// state). While nothing else refers to it, the next a[i] re-aims it instead of making one.
    PyObject*& lastItemRef() noexcept { return m_lastItem; }
    /// Lets go of the wrapper share and the caches and empties the index list (capacity kept).
    void releaseForReuse() noexcept;

    /// The shared wrapper (not owned by the caller).
    KDArrayWrapper* getKDAWrapper() const noexcept { return m_kdaWrapper.get(); }
    /// A new share of the wrapper.
    std::shared_ptr<KDArrayWrapper> getKDAWrapperAsSharedPtr() const noexcept {
        return m_kdaWrapper;
    }
    /// Element kind.
    SupportedArrayEnum getSupportedArrayEnum() const noexcept { return m_supportedArrayEnum; }
    /// Whether the elements are complex.
    bool isComplex() const noexcept { return m_isComplex; }
    /// Whether no index item is pending.
    bool indicesAreEmpty() const noexcept { return m_indices.empty(); }
    /// The index list, for in-place changes while a new state is being built.
    std::vector<IndexItem>& getIndicesRef() noexcept { return m_indices; }
    /// The index list.
    const std::vector<IndexItem>& getIndicesRef() const noexcept { return m_indices; }
    /// Number of integer items in the list (the position of the active dimension).
    long getNumberOfIntegerIndicesSoFar() const noexcept { return m_numberOfIntegerIndicesSoFar; }
    /// The cached state over the materialised view, or null.
    KCppPyArray* getIndexRestrictedKCppPyArray() const noexcept {
        return m_indexRestrictedKCppPyArray.get();
    }
    /// Number of dimensions of the wrapped array.
    int getNumberOfDimensions() const noexcept { return m_kdaWrapper->getNumberOfDimensions(); }
    /// Element count of the whole wrapped array (not of the view).
    long getNumberOfElements() const noexcept { return m_kdaWrapper->getNumberOfElements(); }

    /// Length of the trailing slice, else the extent of the active dimension.
    long getLengthOfActiveDimension() const;
    /// The list ends with a slice.
    bool sliceInFinalPreexistingPosition() const;
    /// Appends an integer item and counts it.
    bool appendIndexItem(IntegerIndexItem& item);
    /// Appends a slice item.
    bool appendIndexItem(SliceIndexItem& item);
    /// Composes `item` with a trailing slice, if any.
    bool convertSliceAndIntegerToInteger(IntegerIndexItem& item) const;
    /// Composes `item` with a trailing slice, if any.
    bool convertSliceAndSliceToSlice(SliceIndexItem& item) const;
    /// Replaces a position within the trailing slice by the absolute position it selects.
    bool getReplacementIndexForSliceAndInt(IntegerIndexItem& item, long len) const;
    /// Replaces a slice over the trailing slice by the equivalent slice over the dimension.
    bool getReplacementIndexForSliceAndSlice(SliceIndexItem& item, long len) const;
    /// The positions of the first k (integer) items.
    std::vector<long> getIntegerIndicesSoFar(bool& ok) const;
    /// Full index tuple: stored integer indices, newIndex in the last position, zeros elsewhere.
    std::vector<long> getIntIndicesOfElementFromStoredIntIndicesAndNewIntIndex(long newIndex,
                                                                               bool& ok) const;
    /// First element of the view in its first numDims dimensions.
    std::vector<long> getIndicesOfStartElement(long numDims) const;
    /// Odometer step over the view.
    bool incrementIndices(std::vector<long>& indices) const;
    /// Whether `indices` lies inside the view's bounds in its first numDims dimensions.
    bool containsElementWithIndices(const std::vector<long>& indices, long numDims) const;
    /// Whether every stored item is still within the wrapper's current shape (a reshape may have shrunk it).
    /// Sets no Python error; readers report failure themselves.
    bool indicesStillValid() const;

    /// Address in the runtime's storage of the element at `indices` (fewer indices: first element of the
    /// block); null with RuntimeError set when an index is outside the current shape. Valid until
    /// Python code runs: pin the storage (KDArrayWrapper::pin) to keep it longer.
    char* getAddressOfElementFromNormalizedIntIndices(const std::vector<long>& indices) const;
    /// New reference to the Python value of the element at `indices`; null with an error set on failure.
    PyObject* getNumericPyObjectFromNormalizedIntIndicesWithoutTemplate(
        const std::vector<long>& indices) const;
    /// New nested list over dimensions dim.. of the block whose leading indices are `indices` (restored on return).
    PyObject* getPyListFromNormalizedIntIndicesWithoutTemplate(std::vector<long>& indices,
                                                               long dim) const;
    /// New nested list of this (partial) array: integer prefix, then the trailing slice's positions, then full dimensions.
    PyObject* getNestedListForm() const;

    /// Real (true) or imaginary parts of the whole array as 1-by-N; ValueError for a real array.
    std::optional<kalvo::data::Array> realOrImag(bool real) const;
    /// 1-by-N copy of the whole array; ValueError for a complex array.
    std::optional<kalvo::data::Array> noncomplex() const;
    /// New object of this kind's type, state not set; RuntimeError and null on failure.
    PyObject* allocKCPyArrayFromKCppPyArray() const;

    /// The view as a column-major data array of its own, cached until the next write or reshape; nothing with an error set.
    std::optional<kalvo::data::Array> getIndexedArrayAsKDA(kalvo::data::MemoryLayout layout,
                                                           bool oneDimAsRow);
    /// New state with its own wrapper over the materialised view; empty with an error set on failure.
    std::unique_ptr<KCppPyArray> cloneAsKCppPyArrayUniquePtr(kalvo::data::MemoryLayout layout,
                                                             bool oneDimAsRow);
    /// Fills the restricted-state cache for a partial array (again after a write or reshape).
    void updateIndexRestrictedKCppPyArrayIfNecessary(kalvo::data::MemoryLayout layout,
                                                     bool oneDimAsRow);

private:
    /// The view's materialisation, without the cache.
    std::optional<kalvo::data::Array> materializeView(kalvo::data::MemoryLayout layout,
                                                      bool oneDimAsRow) const;
    /// Element size the kind and complexity imply; must equal the wrapper's.
    long expectedElementSize() const noexcept;
    /// Whether no write or reshape reached the wrapper since the view was materialised.
    bool materialisationIsCurrent() const noexcept;
    /// Forgets a materialisation that a write or reshape made stale.
    void dropStaleMaterialisation();

    std::shared_ptr<KDArrayWrapper> m_kdaWrapper;               ///< shared with every derived state
    SupportedArrayEnum m_supportedArrayEnum;                    ///< element kind
    bool m_isComplex;                                           ///< complex elements
    std::vector<IndexItem> m_indices;                           ///< pending index items
    long m_numberOfIntegerIndicesSoFar = 0;                     ///< integer items in m_indices
    std::optional<kalvo::data::Array> m_indexedArrayAsKDA;      ///< cache of the materialised view
    std::unique_ptr<KCppPyArray> m_indexRestrictedKCppPyArray;  ///< cache of a state over that view
    /// The wrapper's generation and write count when the caches were filled.
    std::pair<unsigned long, unsigned long> m_materialisedAt{0, 0};
    PyObject* m_lastItem = nullptr;  ///< see lastItemRef()
};

/// What a state shows within pinned storage: levels of nesting, outermost first, each with its
/// number of entries and the byte distance between consecutive entries, from the first element at
/// byte offset `first` from `base`. Offsets are unsigned (wrapping) byte counts from the storage's
/// element 0: a selection without elements may name positions whose offsets no storage could
/// hold, and those are never read. The nested list and the text of a state both walk it.
struct Selection {
    const char* base = nullptr;
    unsigned long first = 0;
    std::vector<long> counts;
    std::vector<unsigned long> strides;
};

/// The selection of `state` within `pin`: the block its integer indices fix, walked over the
/// positions of its trailing slice (if any) and then over every later dimension whole.
/// Assumptions: the index items fit the pinned shape (indicesStillValid).
Selection selectionOf(const KCppPyArray& state, const StoragePin& pin);
