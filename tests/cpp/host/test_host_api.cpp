// tests/cpp/host/test_host_api.cpp: the capsule's five slots, driven from C++ the way a host
// drives them: an embedded interpreter imports the built extension module, and data arrays
// made with the client classes travel through the capsule and back.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include <kalvo/host.hpp>

#include "../data_test_support.hpp"
#include "../embedded_python.hpp"

namespace {

using embedded::holds;
using embedded::Obj;
using embedded::run;
using embedded::takeError;
using kalvo::data::Array;
using kalvo::data::ArrayFactory;
using kalvo::data::TypedArray;
using kalvo::data::testing::elementsOf;
using kalvo::data::testing::sampleArray;

const kalvo::host::CapsuleTable* api = nullptr;

const char* const kHelpers = R"(
import array, kalvo

def tolist(a):
    return [[a[i][j] for j in range(len(a[i]))] for i in range(len(a))]

def released(e):
    """Whether no view of e is held: only then can a memoryview be released or an array grow."""
    try:
        if isinstance(e, memoryview):
            e.release()
        elif isinstance(e, array.array):
            e.append(e[0])
    except BufferError:
        return False
    return True
)";

// The extension as built in this tree and the kalvo package beside it, imported as a host does.
::testing::Environment* const interpreter =
    ::testing::AddGlobalTestEnvironment(new embedded::Interpreter([] {
        PyObject* path = PySys_GetObject("path");  // borrowed
        for (const char* dir : {KALVO_TEST_PACKAGE_DIR, KALVO_TEST_MODULE_DIR}) {
            const Obj entry(PyUnicode_FromString(dir));
            PyList_Insert(path, 0, entry.get());
        }
        api = kalvo::host::importKalvoCapsule();
        return api != nullptr &&
               Obj(PyRun_String(kHelpers, Py_file_input, embedded::globals, embedded::globals));
    }));

/// Whether anything besides `handle` shares its element storage. Asks the runtime: a write
/// access unshares, and it switches the handle to a private copy exactly when the storage
/// had another owner (a leaked implementation pointer counts). Leaves `handle` unshared.
template<class T>
bool storageIsShared(TypedArray<T>& handle) {
    void* before = handle.getImpl();
    handle.begin();
    return handle.getImpl() != before;
}

/// The Python type name of each real ArrayType (0 to 12).
const char* const kTypeNames[] = {"logical", "",      "",      "double", "single",
                                  "int8",    "uint8", "int16", "uint16", "int32",
                                  "uint32",  "int64", "uint64"};

template<class T>
class SlotZero : public ::testing::Test {};
TYPED_TEST_SUITE(SlotZero, kalvo::data::testing::AllTypes);

TYPED_TEST(SlotZero, PythonSeesTheHostsElementsAndSlotOneGivesTheImplBack) {
    using T = TypeParam;
    constexpr bool isComplex = kalvo::data::detail::isComplex<T>;
    TypedArray<T> mine = sampleArray<T>({2, 3});
    void* impl = mine.shareImpl();
    PyObject* array = api->KCPyArray_KDAImplToKCPyArray(impl);
    if constexpr (std::is_same_v<T, char16_t>) {  // refused, and the impl consumed all the same
        EXPECT_EQ(array, nullptr);
        EXPECT_EQ(takeError(), "RuntimeError: invalid type.");
        EXPECT_FALSE(storageIsShared(mine)) << "slot 0 kept the implementation it refused";
        return;
    }
    ASSERT_NE(array, nullptr) << takeError();
    EXPECT_EQ(api->KCPyArray_KCPyArrayToKDAImpl(array), impl);
    EXPECT_TRUE(api->KCPyArray_SatisfiesBufferProtocol(array));

    // Its class and elements as Python sees them: row r holds storage positions r, r + 2 and
    // r + 4, each spelled as sample() makes it.
    const int real = static_cast<int>(kalvo::data::arrayTypeOf<T>()) - (isComplex ? 10 : 0);
    const char* sample = std::is_same_v<T, bool> ? "p % 2 == 0"
                         : isComplex             ? "complex(p + 1, p + 4)"
                                                 : "p + 1";
    EXPECT_TRUE(holds(std::string("(type(a).__name__, a._is_complex, tolist(a)) == ('") +
                          kTypeNames[real] + "', " + (isComplex ? "True" : "False") + ", [[" +
                          sample + " for p in range(r, 6, 2)] for r in (0, 1)])",
                      {{"a", array}}));

    // The slots took no reference; slot 3 destroys the object, and with it the runtime's
    // implementation: our handle is then the only owner of the elements again.
    ASSERT_EQ(Py_REFCNT(array), 1);
    api->KCPyArray_DestroyKCPyArray(array);
    EXPECT_EQ(takeError(), "");
    EXPECT_FALSE(storageIsShared(mine));
}

TEST(SlotZeroRefusals, HostArraysWhoseStridesOverflowOrWithTooManyDimensions) {
    ArrayFactory factory;
    const size_t huge = size_t{1} << 62;
    std::vector<size_t> tooMany(66, 1), most(64, 1);
    tooMany.back() = most.back() = 2;
    struct Case {
        Array array;
        std::string error;
    } cases[] = {
        {factory.createArray<double>({huge, 0}),
         "ValueError: dimensions of the data array are too large."},
        {factory.createArray<std::complex<float>>({3, huge, 0}),
         "ValueError: dimensions of the data array are too large."},
        {factory.createArray<bool>({huge, 0}), ""},          // one byte per element: 2**62 fits
        {factory.createArray<double>({0, huge, huge}), ""},  // strides after a zero extent are 0
        {factory.createArray<int8_t>(tooMany),
         "ValueError: number of dimensions (66) exceeds the maximum of 64."},
        {factory.createArray<int8_t>(most), ""},
    };
    for (Case& c : cases) {
        PyObject* array = api->KCPyArray_KDAImplToKCPyArray(c.array.shareImpl());
        EXPECT_EQ(takeError(), c.error);
        EXPECT_EQ(array != nullptr, c.error.empty());
        if (array != nullptr) {
            api->KCPyArray_DestroyKCPyArray(array);
        }
    }
}

// What is not an array, null included: slots 0 and 1 refuse it, slot 3 leaves it alone and slot 4
// says it exports nothing.
TEST(SlotRefusals, NullAndWhatIsNotAnArray) {
    EXPECT_EQ(api->KCPyArray_KDAImplToKCPyArray(nullptr), nullptr);
    EXPECT_EQ(takeError(), "RuntimeError: null data pointer.");
    EXPECT_EQ(api->KCPyArray_KCPyArrayToKDAImpl(nullptr), nullptr);
    EXPECT_EQ(takeError(), "RuntimeError: object not initialized.");
    api->KCPyArray_DestroyKCPyArray(nullptr);
    EXPECT_EQ(takeError(), "");
    EXPECT_FALSE(api->KCPyArray_SatisfiesBufferProtocol(nullptr));
    EXPECT_FALSE(api->KCPyArray_SatisfiesBufferProtocol(Py_None));

    Obj list = run("[1]");
    EXPECT_EQ(api->KCPyArray_KCPyArrayToKDAImpl(list.get()), nullptr);
    EXPECT_EQ(takeError(), "TypeError: object is not a kalvo array.");
    api->KCPyArray_DestroyKCPyArray(list.get());
    EXPECT_EQ(takeError(), "TypeError: object is not a kalvo array.");
    EXPECT_EQ(PyList_Size(list.get()), 1);
    EXPECT_FALSE(api->KCPyArray_SatisfiesBufferProtocol(list.get()));
    EXPECT_TRUE(api->KCPyArray_SatisfiesBufferProtocol(run("bytearray(3)").get()));
    EXPECT_EQ(takeError(), "");
}

TEST(SlotOne, PartialArraysGiveTheirCachedMaterialisedView) {
    TypedArray<double> mine = sampleArray<double>({3, 2});  // 1 4 / 2 5 / 3 6
    Obj array(api->KCPyArray_KDAImplToKCPyArray(mine.shareImpl()));
    ASSERT_TRUE(array) << takeError();
    void* whole = api->KCPyArray_KCPyArrayToKDAImpl(array.get());

    struct Case {
        const char* key;
        std::vector<size_t> dims;
        std::vector<double> columnMajor;
    };
    for (const Case& c : {Case{"1", {1, 2}, {2, 5}}, Case{"0:2", {2, 2}, {1, 2, 4, 5}},
                          Case{"::-2", {2, 2}, {3, 1, 6, 4}}}) {
        SCOPED_TRACE(c.key);
        Obj partial = run(std::string("a[") + c.key + "]", {{"a", array.get()}});
        ASSERT_TRUE(partial);
        void* view = api->KCPyArray_KCPyArrayToKDAImpl(partial.get());
        ASSERT_NE(view, nullptr) << takeError();
        EXPECT_NE(view, whole);
        EXPECT_EQ(api->KCPyArray_KCPyArrayToKDAImpl(partial.get()), view)
            << "the view is not cached";

        // A handle of our own outlives the partial array and its cache.
        TypedArray<double> kept(kalvo::host::shareArray(view));
        partial.reset();
        EXPECT_EQ(kept.getDimensions(), c.dims);
        EXPECT_EQ(elementsOf(kept), c.columnMajor);
    }
}

TEST(CopyOnWrite, EachSideKeepsItsElementsWhenTheOtherWrites) {
    TypedArray<double> mine = sampleArray<double>({2, 2});  // 1 3 / 2 4
    Obj array(api->KCPyArray_KDAImplToKCPyArray(mine.shareImpl()));
    ASSERT_TRUE(array) << takeError();
    // The oracle the slot 0 test relies on: a live sharer is seen, and a write access copies.
    EXPECT_TRUE(storageIsShared(mine));
    *mine.begin() = -1;
    EXPECT_TRUE(holds("tolist(a) == [[1, 3], [2, 4]]", {{"a", array.get()}}));
    mine = sampleArray<double>({2, 2});
    array.reset(api->KCPyArray_KDAImplToKCPyArray(mine.shareImpl()));
    ASSERT_TRUE(run("a[0][1] = 20.0\na[1] = [30.0, 40.0]", {{"a", array.get()}}, Py_file_input));
    EXPECT_EQ(elementsOf(mine), (std::vector<double>{1, 2, 3, 4}));
    const TypedArray<double> now(
        kalvo::host::shareArray(api->KCPyArray_KCPyArrayToKDAImpl(array.get())));
    EXPECT_EQ(elementsOf(now), (std::vector<double>{1, 30, 20, 40}));
}

// Python's import of buffers (formats, messages, values) is checked from Python; here what only a
// host sees: the type reported through the out-parameter, and that the view is released whether
// the array is built or refused (none reported for a non-exporter, with no exception, or an
// unreadable format).
TEST(SlotTwo, ReportsTheTypeAndReleasesTheView) {
    constexpr int none = kalvo::host::noArrayType;
    struct Case {
        const char* exporter;  // null: a null object
        int type;
        std::string error;  // "TypeName: message", or "TypeName" when the message is the exporter's
    };
    for (const Case& c : {
             Case{"array.array('d', [1.5, 2.5])", 3, ""},
             Case{"memoryview(b'\\x01\\x00').cast('?')", 13, ""},
             Case{"memoryview(kalvo.single([1 + 2j], is_complex=True))", 14, ""},
             Case{"memoryview(kalvo.int16([-5 + 6j], is_complex=True))", 17, ""},
             Case{nullptr, none, ""}, Case{"None", none, ""}, Case{"[1, 2]", none, ""},
             Case{"memoryview(b'ab').cast('c')", none,
                  "RuntimeError: format character not supported: c"},
             Case{"memoryview(b'abcdef')[::2]", none, "BufferError"},  // not contiguous
         }) {
        SCOPED_TRACE(c.exporter ? c.exporter : "null");
        const Obj exporter = c.exporter ? run(c.exporter) : nullptr;
        int type = -1;
        const Obj array(api->KCPyArray_BufferObjectToKCPyArray(exporter.get(), &type));
        const std::string error = takeError();
        EXPECT_EQ(c.error.find(':') == std::string::npos ? error.substr(0, c.error.size()) : error,
                  c.error);
        EXPECT_EQ(array != nullptr, c.type != none);
        EXPECT_EQ(type, c.type);
        if (exporter) {
            EXPECT_TRUE(holds("released(e)", {{"e", exporter.get()}}));
        }
    }
}

}  // namespace
