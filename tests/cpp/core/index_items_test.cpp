// tests/cpp/core/index_items_test.cpp: key normalisation, slice positions at their extremes and argument helpers
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/py_args.hpp"
#include "core/index_items.hpp"
#include "core_test_support.hpp"

using embedded::run;
using embedded::takeError;

// Python checks its keys before they get here, so these messages are reached only from C++.
TEST(IntegerIndexItem, NormalisesAgainstLength) {
    struct Case {
        long len, index, expected;
        const char* message;
    };
    const Case cases[] = {
        {4, 3, 3, ""},
        {4, -4, 0, ""},
        {4, 4, 0, "RuntimeError: index is too large: (4; maximum: 3)."},
        {4, -5, 0, "RuntimeError: index is too small: (-5; minimum: -4)."},
        {0, -1, 0, "RuntimeError: index is too small: (-1; minimum: -0)."},
        {-1, 0, 0, "RuntimeError: len is invalid (-1); must be nonnegative."},
    };
    for (const Case& c : cases) {
        IntegerIndexItem item(c.index);
        const bool ok = item.normalize(c.len);
        EXPECT_EQ(ok, std::string(c.message).empty()) << c.index << " of " << c.len;
        EXPECT_EQ(takeError(), c.message);
        if (ok) {
            EXPECT_EQ(item.m_index, c.expected);
        }
    }
}

// Which positions a slice selects is checked from Python against list slicing; here the direct
// computation of one entry, just inside and just outside both ends of the selection.
TEST(SliceIndexItem, PositionAtEndsWithTheSelection) {
    for (const char* s : {"1, 5, 1", "None, None, -2", "8, 2, -3", "5, 1, 1", "12, 2, -3"}) {
        SliceIndexItem item;
        ASSERT_TRUE(getSliceData(run(std::string("slice(") + s + ")").get(), 10, item)) << s;
        bool ok = false;
        const std::vector<long> positions = item.getIntegerIndexValues(10, ok);
        ASSERT_TRUE(ok) << s;
        const long n = static_cast<long>(positions.size());
        EXPECT_EQ(item.m_slice_len.value_or(-1), n) << s;
        for (long i = -1; i <= n; ++i)
            EXPECT_EQ(item.positionAt(i),
                      i >= 0 && i < n ? std::optional<long>(positions[i]) : std::nullopt)
                << s << " entry " << i;
    }
}

TEST(SliceIndexItem, PositionsNeedNormalisation) {
    SliceIndexItem raw(8, 2, -2, 3);
    bool ok = true;
    EXPECT_TRUE(raw.getIntegerIndexValues(5, ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(takeError(),
              "RuntimeError: getIntegerIndexValues(5, &success) was called before the slice item "
              "was normalized.");
    EXPECT_FALSE(SliceIndexItem().normalize(-1));
    EXPECT_EQ(takeError(), "");
}

// The argument helpers are seen from Python (reshape, is_complex, nested initializers); here
// what Python cannot pass.
TEST(ArgumentHelpers, NullArguments) {
    bool ok = true;
    EXPECT_FALSE(retrieveBoolKwarg(nullptr, "flag", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(takeError(), "TypeError: value passed to 'flag' is null.");
    EXPECT_TRUE(pyObjectIsEmpty(nullptr) && pyObjectIsEmpty(Py_None));
}
