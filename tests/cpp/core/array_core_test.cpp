// tests/cpp/core/array_core_test.cpp: KDArrayWrapper storage sharing, reshape and writes; KCppPyArray materialisation
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "base/objects.hpp"
#include "core/array_state.hpp"
#include "core_test_support.hpp"

using embedded::takeError;
using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::data::testing::countedBuffer;
using kalvo::data::testing::elementsOf;
using kalvo::data::testing::freedBuffers;
using kalvo::data::testing::sampleArray;

namespace {

/// The state of a rows-by-cols double array holding 1, 2, 3, ... in storage (column-major) order.
KCppPyArray sampleState(size_t rows, size_t cols) {
    return KCppPyArray(sampleArray<double>({rows, cols}), KIND_DOUBLE, false, true);
}

void reshape(KDArrayWrapper& wrapper, std::vector<long> dims) {
    ArrayFactory factory;
    wrapper.reshape(dims, factory, 'F', MemoryLayout::COLUMN_MAJOR);
}

}  // namespace

// A copy of a wrapper shares the storage but not the exports; a write through either side takes
// storage of its own, and storage left while exports point into it lives until the last of them
// is released.
TEST(KDArrayWrapper, ExportedStorageOutlivesWritesAndSharers) {
    freedBuffers = 0;
    auto source = std::make_unique<KDArrayWrapper>(
        ArrayFactory().createArrayFromBuffer<double>({2, 2}, countedBuffer<double>(4)), 'F');
    source->incrementExportCount();
    source->incrementExportCount();
    auto copy = std::make_unique<KDArrayWrapper>(*source);
    EXPECT_EQ(copy->getExportCount(), 0);
    EXPECT_EQ(copy->data(), source->data());
    const char* exported = source->data();
    EXPECT_TRUE(copy->writeElementAtOffset<double>(0, -1.0));
    EXPECT_NE(copy->data(), exported);
    EXPECT_EQ(source->data(), exported);
    EXPECT_EQ(elementsOf<double>(copy->array()), (std::vector<double>{-1, 2, 3, 4}));

    copy = std::make_unique<KDArrayWrapper>(*source);
    EXPECT_TRUE(source->writeElementAtOffset<double>(0, 5.0));
    EXPECT_NE(source->data(), exported);
    copy.reset();
    source->decrementExportCount();
    EXPECT_EQ(reinterpret_cast<const double*>(exported)[0], 1.0);
    EXPECT_EQ(freedBuffers.load(), 0);
    // Reshaping while exported keeps the (now private) block where it is.
    const char* current = source->data();
    reshape(*source, {4, 1});
    EXPECT_EQ(source->data(), current);
    source->decrementExportCount();
    EXPECT_EQ(freedBuffers.load(), 1);
}

// Storage order and the reading through sharers are checked from Python; here that the block is
// moved rather than copied, that a count which would make the runtime read past the block is
// refused, and that a sharer of the storage keeps its own extents.
TEST(KDArrayWrapper, ReshapeKeepsTheBlockAndRefusesAnotherElementCount) {
    KCppPyArray state = sampleState(2, 3);
    KDArrayWrapper& wrapper = *state.getKDAWrapper();
    const char* block = wrapper.data();
    const unsigned long generation = wrapper.generation();
    reshape(wrapper, {3, 2});
    EXPECT_EQ(wrapper.data(), block);
    EXPECT_NE(wrapper.generation(), generation);
    EXPECT_EQ(wrapper.bytewiseStridesVector(), (std::vector<long>{8, 24}));
    EXPECT_THROW(reshape(wrapper, {4, 2}), std::invalid_argument);
    EXPECT_THROW(reshape(wrapper, {5}), std::invalid_argument);
    EXPECT_EQ(wrapper.shape(), (std::vector<long>{3, 2}));
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{1, 2, 3, 4, 5, 6}));

    const StoragePin pin = wrapper.pin();
    reshape(wrapper, {6, 1});
    EXPECT_NE(wrapper.data(), pin.base);
    EXPECT_EQ(pin.handle.getDimensions(), (std::vector<size_t>{3, 2}));
    EXPECT_EQ(pin.shape, (std::vector<long>{3, 2}));
    EXPECT_EQ(elementsOf<double>(pin.handle), elementsOf<double>(wrapper.array()));
}

// An element write reaches the runtime's storage and the wrapper's address alike, copying first
// only when the storage is shared, including behind the wrapper's back by a host.
TEST(KDArrayWrapper, ElementWritesReachTheRuntimeStorageCopyOnWrite) {
    KDArrayWrapper wrapper(sampleArray<double>({2, 2}), 'F');
    const Array earlier = wrapper.array();
    const unsigned long writes = wrapper.writeCount();
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(3, 99.5));
    EXPECT_EQ(wrapper.writeCount(), writes + 1);
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{1, 2, 3, 99.5}));
    EXPECT_EQ(elementsOf<double>(earlier), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(reinterpret_cast<const double*>(wrapper.data())[3], 99.5);
    const char* address = wrapper.data();
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(0, 7.0));
    EXPECT_EQ(wrapper.data(), address);
    EXPECT_FALSE(wrapper.writeElementAtOffset<double>(4, 1.0));
    EXPECT_FALSE(wrapper.writeElementAtOffset<double>(-1, 1.0));
    EXPECT_THROW(wrapper.writeElementAtOffset<float>(0, 1.0f), kalvo::Exception);
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{7, 2, 3, 99.5}));
    void* lent = wrapper.implForHost();
    void* shared = nullptr;
    ASSERT_EQ(kalvo::data::detail::resolve<kalvo::data::entry::shareArray>()(lent, &shared), 0);
    const Array hostShare(shared);
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(0, -7.0));
    EXPECT_EQ(elementsOf<double>(hostShare), (std::vector<double>{7, 2, 3, 99.5}));
}

// A partial array's materialised copy is reused until a write or reshape reaches its source; a
// copy already handed out (as to an export) keeps its elements, and a view that no longer fits
// the source's shape fails without caching anything.
TEST(ViewMaterialisation, AWriteOrReshapeMakesTheCachedViewStale) {
    KCppPyArray whole = sampleState(3, 2);
    whole.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    EXPECT_EQ(whole.getIndexRestrictedKCppPyArray(), nullptr);  // a full array exports itself

    KCppPyArray a = sampleState(4, 2);
    KCppPyArray row(a, {1});
    row.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    const KCppPyArray* first = row.getIndexRestrictedKCppPyArray();
    ASSERT_NE(first, nullptr) << takeError();
    row.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    EXPECT_EQ(row.getIndexRestrictedKCppPyArray(), first);
    std::shared_ptr<KDArrayWrapper> exported = first->getKDAWrapperAsSharedPtr();
    ASSERT_TRUE(a.getKDAWrapper()->writeElementAtOffset<double>(1, 42.0));
    const auto fresh = row.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(fresh) << takeError();
    EXPECT_EQ(elementsOf<double>(*fresh), (std::vector<double>{42, 6}));
    EXPECT_EQ(elementsOf<double>(exported->array()), (std::vector<double>{2, 6}));

    KCppPyArray lastRow(a, {3});
    reshape(*a.getKDAWrapper(), {2, 4});
    EXPECT_EQ(elementsOf<double>(*row.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true)),
              (std::vector<double>{42, 4, 6, 8}));
    EXPECT_FALSE(lastRow.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true));
    EXPECT_EQ(takeError(), "RuntimeError: index is out of range for the array's current shape.");
    EXPECT_EQ(lastRow.cloneAsKCppPyArrayUniquePtr(MemoryLayout::COLUMN_MAJOR, true), nullptr);
    EXPECT_EQ(takeError(), "RuntimeError: index is out of range for the array's current shape.");
    reshape(*a.getKDAWrapper(), {4, 2});
    const auto again = lastRow.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(again) << takeError();
    EXPECT_EQ(elementsOf<double>(*again), (std::vector<double>{4, 8}));
}
