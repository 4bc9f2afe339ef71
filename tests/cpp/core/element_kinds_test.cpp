// tests/cpp/core/element_kinds_test.cpp: element-kind tables, format codes, dispatch and KCPyArray_Check.
#include <gtest/gtest.h>

#include <complex>
#include <string>

#include "core_test_support.hpp"
#include "base/element_kinds.hpp"
#include "base/objects.hpp"
#include "core/array_object.hpp"

using coretest::eval;
using coretest::takePythonError;
using kalvo::data::ArrayType;
using kalvo::py::PyRef;

TEST(FormatCharacters, Compatibility)
{
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

// Classes 0 (logical), 3..12 (real) and 13..22 (complex) map to a kind and to the format the
// buffer import of that kind expects; every other class is unsupported and has no format.
TEST(RuntimeClasses, KindComplexityAndFormat)
{
    for (int t = -2; t <= 24; ++t) {
        const auto type = static_cast<ArrayType>(t);
        const TypeAndComplexity r = getTypeAndComplexityFromArrayType(type);
        const bool supported = t == 0 || (t >= 3 && t <= 22);
        EXPECT_EQ(r.supported, supported) << t;
        EXPECT_EQ(r.kind, supported && t ? (t - 3) % 10 : KIND_LOGICAL) << t;
        EXPECT_EQ(r.isComplex, t >= 13 || !supported) << t;
        const char* format = classid2format(type);
        EXPECT_EQ(format ? std::string(format) : "null",
                  supported ? std::string(t >= 13 ? "Z" : "") + TypeAsChar[r.kind] : "null") << t;
        EXPECT_EQ(classid2format(type), format) << "the same static string every time";
    }
}

TEST(ElementKinds, DispatchFollowsTheElementTypeList)
{
    static_assert(std::is_same_v<RealOfT<std::complex<int8_t>>, int8_t> && std::is_same_v<RealOfT<int8_t>, int8_t>);
    static_assert(ElementKind<std::complex<uint16_t>>::isComplex && !ElementKind<uint16_t>::isComplex);
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
    EXPECT_THROW(dispatchOnKind(static_cast<SupportedArrayEnum>(11), [](auto) { return 0; }), std::invalid_argument);
}

// An Array whose reported class is chosen by the test; only getType() is consulted before the
// dispatch refuses it.
struct ArrayOfClass : kalvo::data::Array {
    explicit ArrayOfClass(int t) : type(static_cast<ArrayType>(t)) {}
    ArrayType getType() const { return type; }
    ArrayType type;
};

// Every supported class reaches the visitor from Python (all eleven kinds, real and complex).
TEST(NumericVisitor, UnsupportedClassesThrowKindNine)
{
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

TEST(ArrayCheck, TrueForEveryArrayTypeOnly)
{
    for (int k = 0; k < kNumberOfKinds; ++k) {
        PyTypeObject* type = TypeObjectPointers[k];
        EXPECT_EQ(std::string(type->tp_name), std::string("kalvo.") + TypeNames[k]);
        PyRef object = PyRef::steal(allocKCPyArray(type));
        ASSERT_TRUE(object) << takePythonError();
        EXPECT_EQ(getKCPyArrayFromPyObject(object.get())->state, nullptr);
        EXPECT_TRUE(KCPyArray_Check(object.get())) << TypeNames[k];
    }  // each object goes through KCPyArray_Delete with a null state
    for (const char* other : {"__import__('array').array('d')", "memoryview(b'ab')", "[]", "None"})
        EXPECT_FALSE(KCPyArray_Check(eval(other).get())) << other;
    EXPECT_FALSE(KCPyArray_Check(reinterpret_cast<PyObject*>(TypeObjectPointers[0])));
    EXPECT_FALSE(KCPyArray_Check(nullptr));
    PyRef one = eval("1"), half = eval("0.5");
    EXPECT_TRUE(pyObjectIsLong(one.get()) && pyObjectIsLong(Py_True));
    EXPECT_FALSE(pyObjectIsLong(half.get()) || pyObjectIsLong(Py_None) || pyObjectIsLong(nullptr));
}
