// src/core/index_items.cpp: normalisation of integer and slice keys and odometer walks
//
// Nothing here keeps a Python reference beyond the call that took it. Functions that fail set the
// Python error themselves and report failure through their return value; none of them throws.

#include "core/index_items.hpp"

#include <string>

namespace {

std::string decimal(long v) { return std::to_string(v); }

}  // namespace

bool IntegerIndexItem::normalize(long len) {
    if (len < 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        ("len is invalid (" + decimal(len) + "); must be nonnegative.").c_str());
        return false;
    }
    if (m_index >= len) {
        PyErr_SetString(PyExc_RuntimeError, ("index is too large: (" + decimal(m_index) +
                                             "; maximum: " + decimal(len - 1) + ").")
                                                .c_str());
        return false;
    }
    if (m_index < 0) {
        const long shifted = m_index + len;  // cannot overflow: m_index < 0 <= len
        if (shifted < 0) {
            PyErr_SetString(PyExc_RuntimeError, ("index is too small: (" + decimal(m_index) +
                                                 "; minimum: -" + decimal(len) + ").")
                                                    .c_str());
            return false;
        }
        m_index = shifted;
    }
    m_isNormalized = true;
    return true;
}

void SliceIndexItem::makeEmpty() {
    m_start = 0;
    m_stop = 0;
    m_step = 1;
    m_slice_len = 0;
    m_isNormalized = true;
}

bool SliceIndexItem::normalize(long len) {
    if (len < 0)
        return false;
    if (m_start && m_stop && *m_start == *m_stop) {
        makeEmpty();
        return true;
    }
    const bool boundGiven = m_start.has_value() || m_stop.has_value();
    if (!boundGiven || (m_slice_len && *m_slice_len == 0)) {
        makeEmpty();
        return true;
    }
    long start = 0;
    if (m_start) {
        start = *m_start;
        if (start >= len) {
            start = len - 1;
        } else if (start < 0) {
            start += len;
            if (start < 0)
                start = 0;
        }
    }
    const long stop = m_stop ? *m_stop : len;
    long step = 1;
    if (m_step) {
        if (*m_step == 0) {
            PyErr_SetString(PyExc_ValueError, "slice step cannot be zero.");
            return false;
        }
        step = *m_step;
    }
    m_start = start;
    m_stop = stop;
    m_step = step;
    if (!m_slice_len)
        m_slice_len = (stop - start) / step;  // C++ division truncates toward zero
    m_isNormalized = true;
    return true;
}

std::vector<long> SliceIndexItem::getIntegerIndexValues(long len, bool& success) const {
    success = true;
    std::vector<long> values;
    if (!m_isNormalized || !m_start || !m_stop || !m_step) {
        PyErr_SetString(PyExc_RuntimeError,
                        ("getIntegerIndexValues(" + decimal(len) + ", &success) " +
                         "was called before the slice item was normalized.")
                            .c_str());
        success = false;
        return values;
    }
    const long start = *m_start, stop = *m_stop, step = *m_step;
    if (m_slice_len && *m_slice_len > 0)
        values.reserve(static_cast<size_t>(*m_slice_len));
    // With an extent near the top of the long range, the position one step past the last may
    // lie beyond it: the walk stops there.
    if (step >= 1) {
        for (long i = start; i < stop;) {
            values.push_back(i);
            if (__builtin_add_overflow(i, step, &i))
                break;
        }
    } else if (step <= -1) {
        for (long i = start; i > stop;) {
            values.push_back(i);
            if (__builtin_add_overflow(i, step, &i))
                break;
        }
    }
    return values;
}

std::optional<long> SliceIndexItem::positionAt(long i) const {
    if (!m_isNormalized || !m_start || !m_stop || !m_step || !m_slice_len || i < 0 ||
        i >= *m_slice_len)
        return std::nullopt;
    long offset = 0;
    long position = 0;
    if (__builtin_mul_overflow(i, *m_step, &offset) ||
        __builtin_add_overflow(*m_start, offset, &position))
        return std::nullopt;
    // The bound ends the listing even where the length would allow more.
    if (*m_step > 0 ? position >= *m_stop : position <= *m_stop)
        return std::nullopt;
    return position;
}

long getStart(const IndexItem& item) {
    if (const auto* integer = std::get_if<IntegerIndexItem>(&item))
        return integer->m_index;
    return std::get<SliceIndexItem>(item).m_start.value_or(0);
}

long getStop(const IndexItem& item) {
    if (const auto* integer = std::get_if<IntegerIndexItem>(&item))
        return integer->m_index + 1;
    return std::get<SliceIndexItem>(item).m_stop.value_or(0);
}

long getStep(const IndexItem& item) {
    if (std::holds_alternative<IntegerIndexItem>(item))
        return 0;
    return std::get<SliceIndexItem>(item).m_step.value_or(1);
}

long getStartFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& /*shape*/,
                                                const std::vector<IndexItem>& items) {
    if (dim >= 0 && static_cast<size_t>(dim) < items.size())
        return getStart(items[dim]);
    return 0;
}

long getStopFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& shape,
                                               const std::vector<IndexItem>& items) {
    if (dim >= 0 && static_cast<size_t>(dim) < items.size())
        return getStop(items[dim]);
    if (dim >= 0 && static_cast<size_t>(dim) < shape.size())
        return shape[dim];
    return 0;
}

long getStepFromShapeDimsAndRestrictingIndices(long dim, const std::vector<long>& /*shape*/,
                                               const std::vector<IndexItem>& items) {
    if (dim >= 0 && static_cast<size_t>(dim) < items.size())
        return getStep(items[dim]);
    return 1;
}

std::vector<long> getStartElement(const std::vector<long>& shape,
                                  const std::vector<IndexItem>& items, long n) {
    std::vector<long> start(n > 0 ? static_cast<size_t>(n) : 0, 0);
    for (size_t d = 0; d < start.size() && d < shape.size(); ++d)
        start[d] = d < items.size() ? getStart(items[d]) : 0;
    return start;
}

bool incrementIndices(std::vector<long>& indices, const std::vector<long>& shape,
                      const std::vector<IndexItem>& items) {
    const long n = static_cast<long>(indices.size());
    if (n == 0)
        return true;
    for (long p = n - 1; p >= 0; --p) {
        const long start = getStartFromShapeDimsAndRestrictingIndices(p, shape, items);
        const long stop = getStopFromShapeDimsAndRestrictingIndices(p, shape, items);
        const long step = getStepFromShapeDimsAndRestrictingIndices(p, shape, items);
        const long idx = indices[p];
        bool stored = false;
        long next = 0;  // idx + step, unless that overflows (then it is beyond stop anyway)
        const bool overflows = __builtin_add_overflow(idx, step, &next);
        if (step < 0) {
            if (idx > start || idx <= stop)
                return false;
            if (!overflows && next > stop) {
                indices[p] = next;
                stored = true;
            }
        } else {
            if (idx < start || idx >= stop || step == 0)
                return false;
            if (!overflows && next < stop) {
                indices[p] = next;
                stored = true;
            }
        }
        if (stored) {
            for (long q = p + 1; q < n; ++q)
                indices[q] = static_cast<size_t>(q) < items.size() ? getStart(items[q]) : 0;
            return true;
        }
    }
    return false;
}

bool indexIsContainedWithinHalfOpenRange(long idx, long start, long stop, long step) {
    if (step < 0)
        return stop < idx && idx <= start;
    return start <= idx && idx < stop;
}

bool indexIsAtLastPositionWithinHalfOpenRange(long idx, long stop, long step) {
    if (step == 0)
        return true;
    long next = 0;
    const bool overflows = __builtin_add_overflow(idx, step, &next);
    if (step < 0)
        return idx > stop && (overflows || next <= stop);
    return idx < stop && (overflows || next >= stop);
}

bool getSliceData(PyObject* slice, long len, SliceIndexItem& item) {
    // PySlice_Unpack converts the step first and stores it only when the conversion succeeds;
    // it never stores PY_SSIZE_T_MIN (it clips to -PY_SSIZE_T_MAX). A step still at that mark
    // could not be converted (not an integer, or its __index__ raised): that error stands.
    constexpr Py_ssize_t kStepNotConverted = PY_SSIZE_T_MIN;
    Py_ssize_t start = 0, stop = 0, step = kStepNotConverted, count = 0;
    const bool unpacked = PySlice_Unpack(slice, &start, &stop, &step) == 0;
    if (!unpacked && step == kStepNotConverted)
        return false;
    if (unpacked)
        count = PySlice_AdjustIndices(len, &start, &stop, step);
    if (step == 0) {
        // The interpreter reports a zero step with its own wording; ours replaces it.
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "slice step cannot be zero.");
        return false;
    }
    if (count == 1) {
        // One position: the step plays no part, and adding a huge one to it would overflow.
        stop = start + 1;
        step = 1;
    }
    item.m_start = start;
    item.m_stop = stop;
    item.m_step = step;
    item.m_slice_len = count;
    item.m_isNormalized = false;
    if (!item.normalize(len)) {
        PyErr_SetString(PyExc_ValueError, ("index has an invalid value: (" + decimal(start) + ":" +
                                           decimal(stop) + ":" + decimal(step) + ")")
                                              .c_str());
        return false;
    }
    return unpacked;
}

std::optional<long> getIntegerIndexFromIndexObject(PyObject* obj) {
    if (obj == nullptr || !PyLong_Check(obj))
        return std::nullopt;
    return PyLong_AsSsize_t(obj);
}
