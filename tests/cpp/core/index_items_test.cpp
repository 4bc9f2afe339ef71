// tests/cpp/core/index_items_test.cpp: key normalisation, slice positions, odometer walks and argument helpers
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/py_args.hpp"
#include "core/index_items.hpp"
#include "core_test_support.hpp"

using coretest::eval;
using coretest::takePythonError;
using kalvo::py::PyRef;

namespace {

/// getSliceData followed by getIntegerIndexValues for the slice expression s over length n.
std::optional<std::vector<long>> ourSlicePositions(long n, const std::string& slice, SliceIndexItem* out = nullptr)
{
    PyRef object = eval("slice(" + slice + ")");
    SliceIndexItem item;
    if (!getSliceData(object.get(), n, item))
        return std::nullopt;
    bool ok = false;
    std::vector<long> positions = item.getIntegerIndexValues(n, ok);
    if (!ok)
        return std::nullopt;
    if (out != nullptr)
        *out = item;
    return positions;
}

} // namespace

TEST(IntegerIndexItem, NormalisesAgainstLength)
{
    struct Case {
        long len, index;
        long expected;     // when message is empty
        const char* message;
    };
    const Case cases[] = {
        {4, 3, 3, ""},
        {4, -1, 3, ""},
        {4, -4, 0, ""},
        {4, 4, 0, "RuntimeError: index is too large: (4; maximum: 3)."},
        {4, -5, 0, "RuntimeError: index is too small: (-5; minimum: -4)."},
        {0, 0, 0, "RuntimeError: index is too large: (0; maximum: -1)."},
        {0, -1, 0, "RuntimeError: index is too small: (-1; minimum: -0)."},
        {-1, 0, 0, "RuntimeError: len is invalid (-1); must be nonnegative."},
    };
    for (const Case& c : cases) {
        IntegerIndexItem item(c.index);
        const bool ok = item.normalize(c.len);
        EXPECT_EQ(ok, std::string(c.message).empty()) << c.index << " of " << c.len;
        EXPECT_EQ(takePythonError(), c.message);
        if (ok) {
            EXPECT_EQ(item.m_index, c.expected);
            EXPECT_TRUE(item.m_isNormalized);
        }
    }
}

// Which positions a slice selects is checked from Python against list slicing; here the
// direct computation of one entry at the ends of a selection, which Python reaches only in part.
TEST(SliceIndexItem, PositionAtEndsWithTheSelection)
{
    for (const char* s : {"1, 5, 1", "None, None, -2", "8, 2, -3", "5, 1, 1"}) {
        SliceIndexItem item;
        const auto positions = ourSlicePositions(10, s, &item);
        ASSERT_TRUE(positions.has_value()) << s;
        const long n = static_cast<long>(positions->size());
        EXPECT_EQ(item.m_slice_len.value_or(-1), n) << s;
        for (long i = -1; i <= n; ++i)
            EXPECT_EQ(item.positionAt(i), i >= 0 && i < n ? std::optional<long>((*positions)[i]) : std::nullopt)
                << s << " entry " << i;
    }
}

TEST(SliceIndexItem, DocumentedForms)
{
    SliceIndexItem item;
    ASSERT_TRUE(ourSlicePositions(10, "1, 5", &item));
    EXPECT_EQ((std::vector<long>{*item.m_start, *item.m_stop, *item.m_step, *item.m_slice_len}),
              (std::vector<long>{1, 5, 1, 4}));
    ASSERT_TRUE(ourSlicePositions(3, "None, None, -1", &item));
    EXPECT_EQ((std::vector<long>{*item.m_start, *item.m_stop, *item.m_step, *item.m_slice_len}),
              (std::vector<long>{2, -1, -1, 3}));
    ASSERT_TRUE(ourSlicePositions(10, "5, 1", &item));
    EXPECT_EQ((std::vector<long>{*item.m_start, *item.m_stop, *item.m_step, *item.m_slice_len}),
              (std::vector<long>{0, 0, 1, 0}));

    EXPECT_FALSE(ourSlicePositions(5, "None, None, 0"));
    EXPECT_EQ(takePythonError(), "ValueError: slice step cannot be zero.");
    // A bound the interpreter cannot read leaves its own error and an empty item.
    EXPECT_FALSE(ourSlicePositions(5, "'a', None"));
    EXPECT_EQ(takePythonError().rfind("TypeError: ", 0), 0u);
}

TEST(SliceIndexItem, PositionsNeedNormalisation)
{
    SliceIndexItem raw(8, 2, -2, 3);
    bool ok = true;
    EXPECT_TRUE(raw.getIntegerIndexValues(5, ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(takePythonError(),
              "RuntimeError: getIntegerIndexValues(5, &success) was called before the slice item was normalized.");
    ASSERT_TRUE(raw.normalize(10));
    EXPECT_EQ(raw.getIntegerIndexValues(10, ok), (std::vector<long>{8, 6, 4}));
    SliceIndexItem down(2, -1, -1, 3);
    ASSERT_TRUE(down.normalize(3));
    EXPECT_EQ(down.getIntegerIndexValues(3, ok), (std::vector<long>{2, 1, 0}));
    SliceIndexItem beyond;  // a start past the end counts from the last position: list(range(10))[12:2:-3]
    beyond.m_start = 12;
    beyond.m_stop = 2;
    beyond.m_step = -3;
    ASSERT_TRUE(beyond.normalize(10));
    EXPECT_EQ(beyond.getIntegerIndexValues(10, ok), (std::vector<long>{9, 6, 3}));
    SliceIndexItem zeroStep;
    zeroStep.m_start = 1;
    zeroStep.m_step = 0;
    EXPECT_FALSE(zeroStep.normalize(4));
    EXPECT_EQ(takePythonError(), "ValueError: slice step cannot be zero.");
    EXPECT_FALSE(SliceIndexItem().normalize(-1));
    EXPECT_EQ(takePythonError(), "");
}

namespace {

/// Every index tuple incrementIndices visits from the start element.
std::vector<std::vector<long>> walk(const std::vector<long>& shape, const std::vector<IndexItem>& items)
{
    std::vector<std::vector<long>> visited;
    std::vector<long> indices = getStartElement(shape, items, static_cast<long>(shape.size()));
    do {
        visited.push_back(indices);
    } while (incrementIndices(indices, shape, items) && visited.size() < 1000);
    return visited;
}

} // namespace

TEST(Odometer, VisitsTheViewLastPositionFastest)
{
    EXPECT_EQ(walk({2, 3}, {}), (std::vector<std::vector<long>>{{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}}));
    EXPECT_EQ(walk({2, 3}, {IntegerIndexItem(1)}), (std::vector<std::vector<long>>{{1, 0}, {1, 1}, {1, 2}}));
    std::vector<long> none;
    EXPECT_TRUE(incrementIndices(none, {2, 3}, {}));
}

// The argument helpers are seen from Python (reshape, is_complex, nested initializers); here
// what Python cannot pass.
TEST(ArgumentHelpers, NullArguments)
{
    bool ok = true;
    EXPECT_FALSE(retrieveBoolKwarg(nullptr, "flag", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(takePythonError(), "TypeError: value passed to 'flag' is null.");
    EXPECT_TRUE(pyObjectIsEmpty(nullptr) && pyObjectIsEmpty(Py_None));
}
