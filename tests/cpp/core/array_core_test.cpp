// tests/cpp/core/array_core_test.cpp: KDArrayWrapper, KCppPyArray composition, element access and materialisation
#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "core/array_state.hpp"
#include "core_test_support.hpp"
#include "base/objects.hpp"

using coretest::elementsOf;
using coretest::eval;
using coretest::iota;
using coretest::makeArray;
using coretest::repr;
using coretest::takePythonError;
using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::MemoryLayout;
using kalvo::py::PyRef;
using Output = KDArrayWrapperVisitors::NonComplexVisitor::OutputEnum;

namespace {

/// A 'rows'-by-'cols' double array whose element (i, j) is 10 * i + j.
Array grid(size_t rows, size_t cols)
{
    std::vector<double> values;
    for (size_t j = 0; j < cols; ++j)
        for (size_t i = 0; i < rows; ++i)
            values.push_back(10.0 * i + j);
    return makeArray<double>({rows, cols}, values);
}

KCppPyArray gridState(size_t rows, size_t cols) { return KCppPyArray(grid(rows, cols), KIND_DOUBLE, false, true); }

/// The state's view as Python shows it.
std::string viewText(const KCppPyArray& state)
{
    PyRef list = PyRef::steal(state.getNestedListForm());
    return list ? repr(list.get()) : takePythonError();
}

} // namespace

// Shapes, strides, formats and offsets of column-major wrappers are seen from Python; here the
// row-major order and the out-of-range answers.
TEST(KDArrayWrapper, DescribesShapeStridesAndOffsets)
{
    KDArrayWrapper f(grid(2, 3), 'F');
    EXPECT_EQ(f.getBufferSizeInBytes(), 48);
    EXPECT_EQ(f.getElementOffsetFromIndices({1, 2}), 5);
    EXPECT_EQ(f.getElementOffsetFromIndices({1}), 1);
    EXPECT_EQ(f.getElementOffsetFromIndices({}), 0);
    EXPECT_EQ(f.getElementOffsetFromIndices({1, 1, 0}), -1);
    KDArrayWrapper c(grid(2, 3), 'C');
    EXPECT_EQ(c.bytewiseStridesVector(), (std::vector<long>{24, 8}));
    EXPECT_EQ(c.getElementOffsetFromIndices({1, 2}), 5);
    EXPECT_EQ(c.getElementOffsetFromIndices({1, 0}), 3);
    KDArrayWrapper tall(grid(4, 2), 'F');
    EXPECT_EQ(tall.normalizedIndex(-1, 0), 3);
    EXPECT_EQ(tall.normalizedIndex(4, 0), -999);
    EXPECT_EQ(tall.normalizedIndex(-5, 0), -1);
    EXPECT_EQ(tall.normalizedIndex(1, 1), 1);
}

TEST(KDArrayWrapper, EmptyArraysHaveNoElementAddress)
{
    KDArrayWrapper empty(makeArray<double>({0, 3}, {}), 'F');
    EXPECT_EQ(empty.getNumberOfElements(), 0);
    EXPECT_EQ(empty.getBufferSizeInBytes(), 0);
    EXPECT_EQ(empty.bytewiseStridesVector(), (std::vector<long>{8, 0}));
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_EQ(empty.getElementAsPyObjectFromElementOffset(0), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(KDArrayWrapper, CopySharesTheStorageButNotTheExports)
{
    KDArrayWrapper source(grid(2, 2), 'F');
    source.incrementExportCount();
    source.incrementExportCount();
    KDArrayWrapper copy(source);
    EXPECT_EQ(source.getExportCount(), 2);
    EXPECT_EQ(copy.getExportCount(), 0);
    EXPECT_EQ(copy.data(), source.data());  // copy on write: nothing copied yet
    EXPECT_EQ(copy.bytewiseStridesVector(), source.bytewiseStridesVector());
    // The source's exports point into the shared storage: the copy's write takes storage of its
    // own and the source's elements stay where they are.
    const char* exported = source.data();
    EXPECT_TRUE(copy.writeElementAtOffset<double>(0, -1.0));
    EXPECT_NE(copy.data(), exported);
    EXPECT_EQ(source.data(), exported);
    EXPECT_EQ(elementsOf<double>(source.array()), (std::vector<double>{0, 10, 1, 11}));
    EXPECT_EQ(elementsOf<double>(copy.array()), (std::vector<double>{-1, 10, 1, 11}));
    source.decrementExportCount();
    EXPECT_EQ(source.getExportCount(), 1);
    source.decrementExportCount();
}

TEST(KDArrayWrapper, StorageLeftWhileExportedLivesUntilTheExportsAreReleased)
{
    auto source = std::make_unique<KDArrayWrapper>(grid(2, 2), 'F');
    auto sharer = std::make_unique<KDArrayWrapper>(*source);
    const char* exported = source->data();
    source->incrementExportCount();
    // Shared with `sharer`, so the write copies; the exported storage is kept for the export
    // even once its other owner is gone.
    EXPECT_TRUE(source->writeElementAtOffset<double>(0, 5.0));
    EXPECT_NE(source->data(), exported);
    sharer.reset();
    double first;
    std::memcpy(&first, exported, sizeof first);
    EXPECT_EQ(first, 0.0);
    // Reshaping while exported keeps the (now private) block where it is.
    const char* current = source->data();
    ArrayFactory factory;
    source->reshape({4, 1}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    EXPECT_EQ(source->data(), current);
    source->decrementExportCount();
}

// The values of the parts are seen from Python; here the refusals Python never reaches.
TEST(KDArrayWrapper, ExtractRefusesTheWrongVariant)
{
    using C = std::complex<float>;
    KDArrayWrapper complex(makeArray<C>({1, 2}, {C(1, -1), C(2, -2)}), 'F');
    ArrayFactory factory;
    try {
        complex.noncomplex(factory);
        ADD_FAILURE() << "noncomplex of a complex array";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid enum for complex array: 0");
    }
    KDArrayWrapper integers(makeArray<int16_t>({2, 2}, {5, -6, 7, -8}), 'F');
    for (Output which : {Output::Real, Output::Imag}) {
        try {
            integers.extractContents(factory, which);
            ADD_FAILURE() << "real/imag of a real array";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid enum for noncomplex array: " + std::to_string(int(which)));
        }
    }
}

// Storage order and the reading through sharers are checked from Python; here that the block is
// moved rather than copied, and the refusal of a count that would make the runtime read past it.
TEST(KDArrayWrapper, ReshapeKeepsTheBlockAndRefusesAnotherElementCount)
{
    KCppPyArray state = gridState(2, 3);
    KDArrayWrapper& wrapper = *state.getKDAWrapper();
    const char* block = wrapper.data();
    const unsigned long generation = wrapper.generation();
    ArrayFactory factory;
    wrapper.reshape({3, 2}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    EXPECT_EQ(wrapper.data(), block);
    EXPECT_NE(wrapper.generation(), generation);
    EXPECT_EQ(wrapper.bytewiseStridesVector(), (std::vector<long>{8, 24}));
    EXPECT_THROW(wrapper.reshape({4, 2}, factory, 'F', MemoryLayout::COLUMN_MAJOR), std::invalid_argument);
    EXPECT_EQ(wrapper.shape(), (std::vector<long>{3, 2}));
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{0, 10, 1, 11, 2, 12}));
}

TEST(KDArrayWrapper, ReshapeOfSharedStorageLeavesTheSharerAlone)
{
    KDArrayWrapper wrapper(grid(2, 3), 'F');
    const StoragePin pin = wrapper.pin();
    ArrayFactory factory;
    wrapper.reshape({6, 1}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    EXPECT_NE(wrapper.data(), pin.base);
    EXPECT_EQ(pin.handle.getDimensions(), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(pin.shape, (std::vector<long>{2, 3}));
    EXPECT_EQ(elementsOf<double>(pin.handle), elementsOf<double>(wrapper.array()));
}

TEST(KDArrayWrapper, ElementWritesReachTheRuntimeStorageCopyOnWrite)
{
    KDArrayWrapper wrapper(grid(2, 2), 'F');
    const Array earlier = wrapper.array(); // shares the data until the write
    const unsigned long writes = wrapper.writeCount();
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(3, 99.5));
    EXPECT_EQ(wrapper.writeCount(), writes + 1);
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{0, 10, 1, 99.5}));
    EXPECT_EQ(elementsOf<double>(earlier), (std::vector<double>{0, 10, 1, 11}));
    double last;
    std::memcpy(&last, wrapper.data() + 24, 8);
    EXPECT_EQ(last, 99.5);
    // A private storage is written in place.
    const char* address = wrapper.data();
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(0, 7.0));
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(1, 8.0));
    EXPECT_EQ(wrapper.data(), address);
    EXPECT_FALSE(wrapper.writeElementAtOffset<double>(4, 1.0));
    EXPECT_FALSE(wrapper.writeElementAtOffset<double>(-1, 1.0));
    EXPECT_THROW(wrapper.writeElementAtOffset<float>(0, 1.0f), kalvo::Exception);
    EXPECT_EQ(elementsOf<double>(wrapper.array()), (std::vector<double>{7, 8, 1, 99.5}));
    // A handle lent to a host may be shared behind the wrapper's back: the next write asks.
    void* lent = wrapper.implForHost();
    void* shared = nullptr;
    ASSERT_EQ(kalvo::data::detail::resolve<kalvo::data::entry::shareArray>()(lent, &shared), 0);
    const Array hostShare(shared);
    EXPECT_TRUE(wrapper.writeElementAtOffset<double>(0, -7.0));
    EXPECT_EQ(elementsOf<double>(hostShare), (std::vector<double>{7, 8, 1, 99.5}));
}

TEST(KDArrayWrapper, DebugDump)
{
    KDArrayWrapper wrapper(makeArray<double>({1, 2}, {1.5, -2}), 'F');
    std::ostringstream out;
    wrapper.writeToOstream(out);
    EXPECT_EQ(out.str(),
              "KDA buffer: 1.5 -2 \nm_shape: 1 2 \nm_bytewiseStrides: 8 8 \nm_order: F\nm_isReadOnly: 1\n"
              "m_exports: 0\nm_nDim: 2\nm_numElems: 2\nm_bufferSizeInBytes: 16\nm_elemSizeInBytes: 8\n"
              "m_buf: 1.5 -2 \n");
}

// Both element paths (the runtime's iterator in the wrapper, the state's address arithmetic) give the same
// Python value for the extreme values of every element representation.
template <class T>
class ElementValues : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t,
                                      uint64_t, bool, std::complex<double>, std::complex<int8_t>,
                                      std::complex<uint64_t>, std::complex<float>>;
TYPED_TEST_SUITE(ElementValues, ElementTypes);

TYPED_TEST(ElementValues, BothPathsAgreeOnExtremes)
{
    using T = TypeParam;
    using R = RealOfT<T>;
    constexpr bool isComplex = !std::is_same_v<T, R>;
    const R low = std::numeric_limits<R>::lowest(), high = std::numeric_limits<R>::max();
    std::vector<T> values;
    if constexpr (isComplex)
        values = {T(low, high), T(0, 1), T(high, low)};
    else
        values = {low, R(1), high};
    KCppPyArray state(makeArray<T>({1, 3}, values), ElementKind<T>::kind, isComplex, true);
    for (long i = 0; i < 3; ++i) {
        PyRef fromRuntime = PyRef::steal(state.getKDAWrapper()->getElementAsPyObjectFromElementOffset(i));
        PyRef fromBuffer = PyRef::steal(state.getNumericPyObjectFromNormalizedIntIndicesWithoutTemplate({0, i}));
        ASSERT_TRUE(fromRuntime && fromBuffer) << takePythonError();
        EXPECT_EQ(repr(fromRuntime.get()), repr(fromBuffer.get()));
        if constexpr (std::is_same_v<T, bool>) {
            EXPECT_EQ(fromBuffer.get(), values[i] ? Py_True : Py_False);
        } else if constexpr (isComplex) {
            ASSERT_TRUE(PyComplex_CheckExact(fromBuffer.get()));
            EXPECT_EQ(PyComplex_RealAsDouble(fromBuffer.get()), static_cast<double>(values[i].real()));
            EXPECT_EQ(PyComplex_ImagAsDouble(fromBuffer.get()), static_cast<double>(values[i].imag()));
        } else if constexpr (std::is_floating_point_v<T>) {
            ASSERT_TRUE(PyFloat_CheckExact(fromBuffer.get()));
            EXPECT_EQ(PyFloat_AsDouble(fromBuffer.get()), static_cast<double>(values[i]));
        } else {
            ASSERT_TRUE(PyLong_CheckExact(fromBuffer.get()));
            EXPECT_EQ(repr(fromBuffer.get()), std::to_string(values[i] + 0)); // + 0: int8 as a number
        }
    }
    EXPECT_EQ(state.getKDAWrapper()->getElementAsPyObjectFromElementOffset(3), nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(KCppPyArray, NestedListFollowsIndicesWhateverTheStorageOrder)
{
    KCppPyArray a = gridState(2, 3);
    EXPECT_EQ(viewText(a), "[[0.0, 1.0, 2.0], [10.0, 11.0, 12.0]]");
    // The same storage read row-major: element (i, j) is storage element 3 * i + j.
    KCppPyArray rowMajor(grid(2, 3), KIND_DOUBLE, false, false);
    EXPECT_EQ(viewText(rowMajor), "[[0.0, 10.0, 1.0], [11.0, 2.0, 12.0]]");
    std::vector<long> prefix{1};
    PyRef tail = PyRef::steal(a.getPyListFromNormalizedIntIndicesWithoutTemplate(prefix, 5));
    EXPECT_EQ(repr(tail.get()), "[]");
    EXPECT_EQ(prefix, (std::vector<long>{1}));
}

TEST(KCppPyArray, ContainmentReportsTooManyDimensions)
{
    KCppPyArray a = gridState(4, 5);
    EXPECT_TRUE(a.containsElementWithIndices({}, 0));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(a.containsElementWithIndices({0, 0, 0}, 3));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "numDims (3) >= numShapeDims (2)\n");
}

// Values and clones of partial arrays are checked from Python and through the host interface;
// here the shapes Python cannot ask for directly.
TEST(ViewMaterialisation, ComplexRowsAndFullArrays)
{
    using C = std::complex<int16_t>;
    KCppPyArray complex(makeArray<C>({2, 2}, {C(1, 1), C(2, 2), C(3, 3), C(4, 4)}), KIND_INT16, true, true);
    const auto complexRow = KCppPyArray(complex, {1}).getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(complexRow) << takePythonError();
    EXPECT_EQ(complexRow->getDimensions(), (std::vector<size_t>{1, 2}));
    EXPECT_EQ(elementsOf<C>(*complexRow), (std::vector<C>{C(2, 2), C(4, 4)}));
    KCppPyArray whole = gridState(3, 2);
    whole.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    EXPECT_EQ(whole.getIndexRestrictedKCppPyArray(), nullptr);  // a full array exports itself
}

TEST(ViewMaterialisation, FollowsTheViewWhateverTheStorageOrder)
{
    // grid(2, 3) read row-major shows [[0, 10, 1], [11, 2, 12]].
    KCppPyArray rowMajor(grid(2, 3), KIND_DOUBLE, false, false);
    const auto whole = rowMajor.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(whole) << takePythonError();
    EXPECT_EQ(whole->getDimensions(), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(elementsOf<double>(*whole), (std::vector<double>{0, 11, 10, 2, 1, 12}));
    // A one-dimensional view stays one-dimensional when it is not asked to become a row.
    KCppPyArray cube(makeArray<double>({2, 3, 4}, iota(24)), KIND_DOUBLE, false, true);
    KCppPyArray line(cube, {0, 1});
    const auto column = line.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, false);
    ASSERT_TRUE(column) << takePythonError();
    EXPECT_EQ(column->getDimensions(), (std::vector<size_t>{4}));
    EXPECT_EQ(elementsOf<double>(*column), (std::vector<double>{2, 8, 14, 20}));
}

TEST(ViewMaterialisation, StaleViewFailsAndIsNotCached)
{
    KCppPyArray a = gridState(4, 2);
    KCppPyArray lastRow(a, {3});
    ArrayFactory factory;
    a.getKDAWrapper()->reshape({2, 4}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    EXPECT_FALSE(lastRow.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true));
    EXPECT_EQ(takePythonError(), "RuntimeError: index is out of range for the array's current shape.");
    EXPECT_EQ(lastRow.cloneAsKCppPyArrayUniquePtr(MemoryLayout::COLUMN_MAJOR, true), nullptr);
    EXPECT_EQ(takePythonError(), "RuntimeError: index is out of range for the array's current shape.");
    // The failure left nothing behind: once the view fits again it is materialised afresh.
    a.getKDAWrapper()->reshape({4, 2}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    const auto row = lastRow.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(row) << takePythonError();
    EXPECT_EQ(elementsOf<double>(*row), (std::vector<double>{30, 31}));
}

TEST(ViewMaterialisation, AWriteOrReshapeMakesTheCachedViewStale)
{
    KCppPyArray a = gridState(3, 2);
    KCppPyArray row(a, {1});
    row.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    const KCppPyArray* first = row.getIndexRestrictedKCppPyArray();
    ASSERT_NE(first, nullptr) << takePythonError();
    row.updateIndexRestrictedKCppPyArrayIfNecessary(MemoryLayout::COLUMN_MAJOR, true);
    EXPECT_EQ(row.getIndexRestrictedKCppPyArray(), first);  // nothing changed: reused
    // Handed out (as an export holds it), then the source is written through another state.
    std::shared_ptr<KDArrayWrapper> exported = first->getKDAWrapperAsSharedPtr();
    ASSERT_TRUE(a.getKDAWrapper()->writeElementAtOffset<double>(1, 42.0));
    const auto fresh = row.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true);
    ASSERT_TRUE(fresh) << takePythonError();
    EXPECT_EQ(elementsOf<double>(*fresh), (std::vector<double>{42, 11}));
    EXPECT_EQ(elementsOf<double>(exported->array()), (std::vector<double>{10, 11}));
    ArrayFactory factory;
    a.getKDAWrapper()->reshape({2, 3}, factory, 'F', MemoryLayout::COLUMN_MAJOR);
    EXPECT_EQ(elementsOf<double>(*row.getIndexedArrayAsKDA(MemoryLayout::COLUMN_MAJOR, true)),
              (std::vector<double>{42, 1, 21}));
}

TEST(KCppPyArray, DebugDumpListsIndexItems)
{
    KCppPyArray a(grid(1, 2), KIND_DOUBLE, false, true);
    SliceIndexItem partial;
    partial.m_start = 1;
    a.appendIndexItem(partial);
    std::ostringstream out;
    a.writeToOstream(out);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("KDArrayWrapper: \nKDA buffer: 0 1 \n", 0), 0u);
    EXPECT_NE(text.find("\n\nm_supportedArrayEnum: 0\nm_isComplex: 0\nm_start: 1\nm_stop: None\nm_step: None\n"
                        "m_slice_len: None\nm_isNormalized: 0\nm_numberOfIntegerIndicesSoFar: 0\n"
                        "m_indexedArrayAsKDA: None\n\n"),
              std::string::npos)
        << text;
}
