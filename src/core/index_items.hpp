// src/core/index_items.hpp: index items of partial arrays and index arithmetic
#pragma once

#include <Python.h>

#include <optional>
#include <variant>
#include <vector>

// Positions, extents and lengths are signed 64-bit throughout; `long` is that type on our
// LP64 targets and is what the index-item signatures use.
static_assert(sizeof(long) == 8, "index arithmetic assumes a 64-bit long");

/// One fixed position in one dimension.
struct IntegerIndexItem {
    long m_index = 0;             ///< the position; after normalize() 0 <= m_index < extent
    bool m_isNormalized = false;  ///< m_index has been checked against its dimension's length

    IntegerIndexItem() = default;
    /// An item holding `index`, not yet normalised.
    explicit IntegerIndexItem(long index) : m_index(index) {}

    /// Checks m_index against `len`, counting negative indices from the end; false with RuntimeError set on failure.
    bool normalize(long len);
};

/// A half-open range of positions in one dimension, in the interpreter's slice convention.
struct SliceIndexItem {
    std::optional<long> m_start;      ///< first position
    std::optional<long> m_stop;       ///< bound, not included (may be -1 for a negative step)
    std::optional<long> m_step;       ///< distance between positions, never 0 once normalised
    std::optional<long> m_slice_len;  ///< number of positions selected
    bool m_isNormalized = false;      ///< all four fields present and consistent with a length

    SliceIndexItem() = default;
    /// An item with all four fields present, not yet normalised.
    SliceIndexItem(long start, long stop, long step, long sliceLen)
        : m_start(start), m_stop(stop), m_step(step), m_slice_len(sliceLen) {}

    /// Brings the item into normalised form against `len`; false on failure (ValueError set for a zero step, nothing set for a negative len).
    bool normalize(long len);
    /// Turns the item into the normalised empty slice (start 0, stop 0, step 1, length 0).
    void makeEmpty();
    /// The absolute positions the normalised slice selects, in order; RuntimeError and success=false when not normalised.
    std::vector<long> getIntegerIndexValues(long len, bool& success) const;
    /// Entry i of getIntegerIndexValues, found without listing the positions: nothing when the
    /// slice is not normalised or has no entry i.
    std::optional<long> positionAt(long i) const;
};

/// An index item: alternative 0 the integer, alternative 1 the slice.
using IndexItem = std::variant<IntegerIndexItem, SliceIndexItem>;

/// Start of an item: i for an integer item, m_start for a (normalised) slice.
long getStart(const IndexItem& item);
/// Stop of an item: i + 1 for an integer item, m_stop for a (normalised) slice.
long getStop(const IndexItem& item);
/// Step of an item: 0 for an integer item, m_step for a (normalised) slice.
long getStep(const IndexItem& item);

/// getStart of item `dim`, or 0 when no item restricts that dimension.
long getStartFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& shape,
                                                const std::vector<IndexItem>& items);
/// getStop of item `dim`, or shape[dim] when no item restricts that dimension.
long getStopFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& shape,
                                               const std::vector<IndexItem>& items);
/// getStep of item `dim`, or 1 when no item restricts that dimension.
long getStepFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& shape,
                                               const std::vector<IndexItem>& items);

/// The first element of the view in its first n dimensions (n positions).
std::vector<long> getStartElement(const std::vector<long>& shape,
                                  const std::vector<IndexItem>& items, long n);
/// Advances `indices` to the next element of the view (last position fastest); false when exhausted or out of range.
bool incrementIndices(std::vector<long>& indices, const std::vector<long>& shape,
                      const std::vector<IndexItem>& items);

/// start <= idx < stop for a non-negative step; stop < idx <= start for a negative one.
bool indexIsContainedWithinHalfOpenRange(long idx, long start, long stop, long step);
/// Whether idx is the last position of the range before stop (always true for step 0).
bool indexIsAtLastPositionWithinHalfOpenRange(long idx, long stop, long step);

/// Fills `item` from a Python slice against a dimension of length `len`; false with a Python error set on failure.
bool getSliceData(PyObject* slice, long len, SliceIndexItem& item);

/// The value of an int (any subclass) via PyLong_AsSsize_t (-1 with an error pending on overflow); nothing for other objects.
std::optional<long> getIntegerIndexFromIndexObject(PyObject* obj);
