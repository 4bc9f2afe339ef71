// tests/cpp/module/element_kinds_test.cpp: element-kind tables, dispatch and KCPyArray_Check.
#include <gtest/gtest.h>

#include <array>
#include <complex>
#include <cstring>
#include <string>

#include "module/element_kinds.hpp"
#include "module/kcpyarray.hpp"
#include "module/pyref.hpp"

using kalvo::data::ArrayType;
using kalvo::py::PyRef;

namespace {

// Starts the interpreter with the module registered as a built-in, and imports it so that the
// types are ready.
class InterpreterEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        PyImport_AppendInittab("kalvomultidimarrayforpython", PyInit_kalvomultidimarrayforpython);
        Py_Initialize();
        module = PyImport_ImportModule("kalvomultidimarrayforpython");
        if (!module) PyErr_Print();
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override {
        Py_XDECREF(module);
        Py_FinalizeEx();
    }
    PyObject* module = nullptr;
};

::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new InterpreterEnvironment);

// The pending Python exception as "<Type>: <message>", cleared; empty when none is pending.
std::string takePythonError() {
    if (!PyErr_Occurred()) return {};
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(v.get()));
    return std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": " +
           (text ? PyUnicode_AsUTF8(text.get()) : "?");
}

ArrayType classOf(int t) { return static_cast<ArrayType>(t); }

}  // namespace

TEST(FormatCharacters, CodesAreKindPlusThree) {
    const std::string chars = "dfbBhHiIqQ?";
    EXPECT_STREQ(TypeAsChar, chars.c_str());
    for (int k = 0; k < kNumberOfKinds; ++k) {
        const auto code = getArrayTypeEnumFromChar(chars[k]);
        ASSERT_TRUE(code.has_value()) << chars[k];
        EXPECT_EQ(*code, k + 3) << chars[k];
    }
    EXPECT_EQ(takePythonError(), "");
}

TEST(FormatCharacters, UnknownCharacterSetsRuntimeError) {
    for (char c : {'e', 'Z', 'l', 'L', 'D', '<'}) {
        EXPECT_FALSE(getArrayTypeEnumFromChar(c).has_value()) << int(c);
        EXPECT_EQ(takePythonError(), std::string("RuntimeError: format character not supported: ") + c);
    }
}

TEST(FormatCharacters, Compatibility) {
    struct Case { char input, output; long itemsize; bool expected; };
    const Case cases[] = {
        {'L', 'I', 4, true},  {'L', 'Q', 8, true},  {'L', 'Q', 4, false}, {'L', 'I', 8, false},
        {'l', 'i', 4, true},  {'l', 'q', 8, true},  {'l', 'q', 4, false}, {'l', 'I', 4, false},
        {'?', 'B', 1, true},  {'B', '?', 1, true},  {'?', 'b', 1, false}, {'b', '?', 1, false},
        {'I', 'L', 4, false}, {'d', 'f', 8, false}, {'d', 'd', 8, false}, {'q', 'l', 8, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(areDifferentButCompatible(c.input, c.output, c.itemsize), c.expected)
            << c.input << " -> " << c.output << " size " << c.itemsize;
}

TEST(RuntimeClasses, KindAndComplexity) {
    for (int t = -2; t <= 24; ++t) {
        const TypeAndComplexity r = getTypeAndComplexityFromArrayType(classOf(t));
        if (t == 0) {
            EXPECT_TRUE(r.supported && r.kind == KIND_LOGICAL && !r.isComplex);
        } else if (t >= 3 && t <= 12) {
            EXPECT_TRUE(r.supported && r.kind == t - 3 && !r.isComplex) << t;
        } else if (t >= 13 && t <= 22) {
            EXPECT_TRUE(r.supported && r.kind == t - 13 && r.isComplex) << t;
        } else {
            EXPECT_TRUE(!r.supported && r.kind == KIND_LOGICAL && r.isComplex) << t;
        }
    }
    const TypeAndComplexity r = getTypeAndComplexityFromArrayType(classOf(99));
    EXPECT_TRUE(!r.supported && r.kind == KIND_LOGICAL && r.isComplex);
}

TEST(RuntimeClasses, FormatStrings) {
    // Every class with a format gives "<char of its kind>" or "Z<char>", the one the buffer
    // import of the same kind expects.
    for (int t = 0; t <= 22; ++t) {
        const TypeAndComplexity r = getTypeAndComplexityFromArrayType(classOf(t));
        char* format = classid2format(classOf(t));
        if (!r.supported) {
            EXPECT_EQ(format, nullptr) << t;
            continue;
        }
        ASSERT_NE(format, nullptr) << t;
        const std::string expected = std::string(r.isComplex ? "Z" : "") + TypeAsChar[r.kind];
        EXPECT_EQ(format, expected) << t;
        EXPECT_EQ(classid2format(classOf(t)), format) << "the same static string every time";
    }
    EXPECT_STREQ(classid2format(ArrayType::COMPLEX_DOUBLE), "Zd");
    EXPECT_STREQ(classid2format(ArrayType::LOGICAL), "?");
    EXPECT_STREQ(classid2format(ArrayType::COMPLEX_UINT8), "ZB");
    for (int t : {-1, 1, 2, 23, 99}) EXPECT_EQ(classid2format(classOf(t)), nullptr) << t;
}

TEST(ElementKinds, TraitsMatchTables) {
    EXPECT_EQ(ElementKind<double>::kind, KIND_DOUBLE);
    EXPECT_STREQ(ElementKind<float>::name(), "single");
    EXPECT_EQ(ElementKind<bool>::formatChar(), '?');
    EXPECT_STREQ(ElementKind<bool>::name(), "logical");
    EXPECT_EQ(ElementKind<std::complex<uint16_t>>::kind, KIND_UINT16);
    EXPECT_TRUE(ElementKind<std::complex<uint16_t>>::isComplex);
    EXPECT_FALSE(ElementKind<uint16_t>::isComplex);
    static_assert(std::is_same_v<RealOfT<std::complex<int8_t>>, int8_t>);
    static_assert(std::is_same_v<RealOfT<int8_t>, int8_t>);
    int k = 0;
#define KALVO_CHECK_KIND(T)                                                                \
    EXPECT_EQ(ElementKind<T>::kind, k);                                                    \
    EXPECT_TRUE(dispatchOnKind(static_cast<SupportedArrayEnum>(k), [](auto tag) {          \
        return std::is_same_v<typename decltype(tag)::type, T>;                            \
    }));                                                                                   \
    ++k;
    KALVO_FOR_EACH_ELEMENT_TYPE(KALVO_CHECK_KIND)
#undef KALVO_CHECK_KIND
    EXPECT_EQ(k, kNumberOfKinds);
    EXPECT_THROW(dispatchOnKind(static_cast<SupportedArrayEnum>(11), [](auto) { return 0; }),
                 std::invalid_argument);
}

TEST(Integers, PyObjectIsLong) {
    PyRef one = PyRef::steal(PyLong_FromLong(1));
    PyRef half = PyRef::steal(PyFloat_FromDouble(0.5));
    EXPECT_TRUE(pyObjectIsLong(one.get()));
    EXPECT_TRUE(pyObjectIsLong(Py_True));
    EXPECT_FALSE(pyObjectIsLong(half.get()));
    EXPECT_FALSE(pyObjectIsLong(Py_None));
    EXPECT_FALSE(pyObjectIsLong(nullptr));
}

// apply_numeric_visitor hands each supported class to the visitor as the matching element type.
template <class T>
class NumericVisitor : public ::testing::Test {};
using VisitedTypes = ::testing::Types<bool, double, float, int8_t, uint8_t, int16_t, uint16_t,
                                      int32_t, uint32_t, int64_t, uint64_t, std::complex<double>,
                                      std::complex<float>, std::complex<int8_t>, std::complex<uint64_t>>;
TYPED_TEST_SUITE(NumericVisitor, VisitedTypes);

TYPED_TEST(NumericVisitor, VisitsWithTheElementType) {
    kalvo::data::ArrayFactory factory;
    kalvo::data::Array array = factory.createArray<TypeParam>({2, 3});
    const auto seen = apply_numeric_visitor(array, [](auto& typed) {
        using Seen = typename std::remove_reference_t<decltype(typed)>;
        return std::make_pair(std::is_same_v<Seen, kalvo::data::TypedArray<TypeParam>>,
                              typed.getNumberOfElements());
    });
    EXPECT_TRUE(seen.first);
    EXPECT_EQ(seen.second, 6u);
}

// An Array whose reported class is chosen by the test; only getType() is consulted before the
// dispatch refuses it.
struct ArrayOfClass : kalvo::data::Array {
    explicit ArrayOfClass(int t) : type(static_cast<ArrayType>(t)) {}
    ArrayType getType() const { return type; }
    ArrayType type;
};

TEST(NumericVisitorRefusal, UnsupportedClassesThrowKindNine) {
    for (int t : {2, -1, 23, 99}) {
        int calls = 0;
        try {
            apply_numeric_visitor(ArrayOfClass(t), [&](auto&) { return ++calls; });
            ADD_FAILURE() << "no exception for class " << t;
        } catch (const kalvo::data::detail::ArrayException<kalvo::Exception,
                                                           kalvo::data::ExceptionType::ArrayTypeMismatch>& e) {
            EXPECT_STREQ(e.what(), "Invalid type of array passed to apply_numeric_visitor.");
        }
        EXPECT_EQ(calls, 0);
    }
}

TEST(ArrayCheck, TrueForEveryArrayType) {
    for (int k = 0; k < kNumberOfKinds; ++k) {
        PyTypeObject* type = TypeObjectPointers[k];
        EXPECT_EQ(std::string(type->tp_name), std::string("kalvo.") + TypeNames[k]);
        PyRef object = PyRef::steal(allocKCPyArray(type));
        ASSERT_TRUE(object) << takePythonError();
        EXPECT_EQ(getKCPyArrayFromPyObject(object.get())->state, nullptr);
        EXPECT_TRUE(KCPyArray_Check(object.get())) << TypeNames[k];
    }  // each object goes through KCPyArray_Delete with a null state
}

TEST(ArrayCheck, FalseForOtherObjects) {
    PyRef arrayModule = PyRef::steal(PyImport_ImportModule("array"));
    ASSERT_TRUE(arrayModule);
    PyRef arrayArray = PyRef::steal(PyObject_CallMethod(arrayModule.get(), "array", "s", "d"));
    PyRef bytes = PyRef::steal(PyBytes_FromString("ab"));
    PyRef view = PyRef::steal(PyMemoryView_FromObject(bytes.get()));
    PyRef list = PyRef::steal(PyList_New(0));
    ASSERT_TRUE(arrayArray && view && list);
    EXPECT_FALSE(KCPyArray_Check(arrayArray.get()));
    EXPECT_FALSE(KCPyArray_Check(view.get()));
    EXPECT_FALSE(KCPyArray_Check(list.get()));
    EXPECT_FALSE(KCPyArray_Check(Py_None));
    EXPECT_FALSE(KCPyArray_Check(reinterpret_cast<PyObject*>(TypeObjectPointers[0])));
    EXPECT_FALSE(KCPyArray_Check(nullptr));
}

TEST(ArrayArrayCache, HoldsTheArrayClass) {
    PyRef arrayModule = PyRef::steal(PyImport_ImportModule("array"));
    PyRef arrayClass = PyRef::steal(PyObject_GetAttrString(arrayModule.get(), "array"));
    EXPECT_EQ(ArrayArray::s_arrayClass, arrayClass.get());
}

TEST(ExceptionClasses, AreTheModuleAttributes) {
    InterpreterEnvironment* env = static_cast<InterpreterEnvironment*>(environment);
    PyRef shape = PyRef::steal(PyObject_GetAttrString(env->module, "ShapeError"));
    PyRef size = PyRef::steal(PyObject_GetAttrString(env->module, "SizeError"));
    EXPECT_EQ(KCPyError::shapeErr, shape.get());
    EXPECT_EQ(KCPyError::sizeErr, size.get());
}
