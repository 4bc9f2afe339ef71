// src/module/type_objects.cpp: the eleven array types and the tables they share.
#include "module/type_objects.hpp"

#include "base/objects.hpp"
#include "construct/constructor.hpp"
#include "construct/rebuild.hpp"
#include "core/array_object.hpp"
#include "protocols/assignment.hpp"
#include "protocols/buffer_export.hpp"
#include "protocols/comparison.hpp"
#include "protocols/iteration.hpp"
#include "protocols/methods.hpp"
#include "protocols/pickling.hpp"
#include "protocols/reading.hpp"
#include "protocols/text.hpp"

namespace {

// "reshape" takes keywords. The method table stores every handler as a PyCFunction and the
// interpreter calls it back with the three-argument signature that METH_KEYWORDS announces;
// this is the one conversion the C API requires for such methods.
PyCFunction asMethod(PyCFunctionWithKeywords handler) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handler));
}

// Shared by all eleven array types, in this order.
PyMethodDef KCPyArray_Methods[] = {
    {"reshape", asMethod(KCPyArray_Reshape), METH_VARARGS | METH_KEYWORDS,
     "reshape changes the dimensions of an N-dimensional array while preserving the values"},
    {"buffer_info", KCPyArray_BufferInfo, METH_NOARGS,
     "buffer_info returns a two-element tuple containing the address of the buffer and the number "
     "of elements"},
    {"get_bytewise_strides", KCPyArray_GetBytewiseStrides, METH_NOARGS,
     "get_bytewise_strides returns a tuple containing the bytewise strides"},
    {"clone", KCPyArray_Clone, METH_NOARGS,
     "clone returns an independent copy of the input object"},
    {"real", KCPyArray_Real, METH_NOARGS,
     "real returns the real part of the input object as a 1-by-N array"},
    {"imag", KCPyArray_Imag, METH_NOARGS,
     "imag returns the imaginary part of the input object as a 1-by-N array"},
    {"noncomplex", KCPyArray_Noncomplex, METH_NOARGS,
     "noncomplex returns the the input object (which must be noncomplex) as a 1-by-N array"},
    {"toarray", KCPyArray_ToArrayArray, METH_NOARGS,
     "toarray returns an array.array initialized from the input object"},
    {"tomemoryview", KCPyArray_ToMemoryView, METH_NOARGS,
     "tomemoryview returns a memoryview initialized from the input object"},
    {"__reduce__", KCPyArray_Reduce, METH_NOARGS, "__reduce__ pickles the input object"},
    {"__reduce_ex__", KCPyArray_ReduceEx, METH_O,
     "__reduce_ex__ pickles the input object; protocol 5 carries its storage as a PickleBuffer"},
    {"__copy__", KCPyArray_Copy, METH_NOARGS,
     "__copy__ returns an independent copy of the input object"},
    {"__deepcopy__", KCPyArray_DeepCopy, METH_O,
     "__deepcopy__ returns an independent copy of the input object"},
    {"_rebuild", KCPyArray_Rebuild, METH_VARARGS | METH_CLASS,
     "_rebuild(dims, is_complex, data) makes an array from the bytes of its column-major storage; "
     "pickles refer to it"},
    {nullptr, nullptr, 0, nullptr},
};

// Shared properties; none has a setter, so every one is read-only.
PyGetSetDef KCPyArray_GetSetMethods[] = {
    {"size", KCPyArray_GetArraySize, nullptr, "dimensions", nullptr},
    {"_size", KCPyArray_GetArraySize, nullptr, "dimensions", nullptr},
    {"itemsize", KCPyArray_GetElementSize, nullptr, "size of an element in bytes", nullptr},
    {"_real", KCPyArray_GetRealAsAttrib, nullptr, "real part of elements; equivalent to real()",
     nullptr},
    {"_imag", KCPyArray_GetImagAsAttrib, nullptr,
     "imaginary part of elements; equivalent to imag()", nullptr},
    {"_data", KCPyArray_GetNoncomplexAsAttrib, nullptr,
     "elements in storage order; equivalent to noncomplex()", nullptr},
    {"_is_complex", KCPyArray_GetIsComplexAsAttrib, nullptr, "whether array is complex", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs KCPyArray_BufferProcs = {
    KCPyArray_GetBuffer,     /* bf_getbuffer */
    KCPyArray_ReleaseBuffer, /* bf_releasebuffer */
};

constexpr PySequenceMethods makeSequenceMethods(ssizeargfunc item) {
    return {
        KCPyArray_NumElemsInFirstDim, /* sq_length */
        nullptr,                      /* sq_concat */
        nullptr,                      /* sq_repeat */
        item,                         /* sq_item */
        nullptr,                      /* was_sq_slice */
        nullptr,                      /* sq_ass_item */
        nullptr,                      /* was_sq_ass_slice */
        KCPyArray_Contains,           /* sq_contains */
        nullptr,                      /* sq_inplace_concat */
        nullptr,                      /* sq_inplace_repeat */
    };
}

constexpr PyMappingMethods makeMappingMethods(binaryfunc subscript, objobjargproc assSubscript) {
    return {
        KCPyArray_NumElemsInFirstDim, /* mp_length */
        subscript,                    /* mp_subscript */
        assSubscript,                 /* mp_ass_subscript */
    };
}

// The array type of element type T, named after its kind's row. Default flags only: the types are
// not base types and hold no references the garbage collector would need to see. No tp_hash
// (instances are unhashable), no number protocol, no tp_init, no __dict__, no weak references;
// tp_alloc and tp_free are filled in by PyType_Ready. The slots are the templates that implement
// them, instantiated for T.
template<class T>
PySequenceMethods sequenceMethods = makeSequenceMethods(KCPyArray_GetItem<T>);

template<class T>
PyMappingMethods mappingMethods = makeMappingMethods(KCPyArray_GetViaIndex<T>,
                                                     KCPyArray_SetViaIndex<T>);

// clang-format off
template <class T>
PyTypeObject arrayType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    ElementKind<T>::typeName(), /* tp_name */
    sizeof(KCPyArray),          /* tp_basicsize */
    0,                          /* tp_itemsize */
    KCPyArray_Delete,           /* tp_dealloc */
    0,                          /* tp_vectorcall_offset */
    nullptr,                    /* tp_getattr */
    nullptr,                    /* tp_setattr */
    nullptr,                    /* tp_as_async */
    KCPyArray_GetRepr<T>,       /* tp_repr */
    nullptr,                    /* tp_as_number */
    &sequenceMethods<T>,        /* tp_as_sequence */
    &mappingMethods<T>,         /* tp_as_mapping */
    nullptr,                    /* tp_hash */
    nullptr,                    /* tp_call */
    KCPyArray_GetStr<T>,        /* tp_str */
    nullptr,                    /* tp_getattro */
    nullptr,                    /* tp_setattro */
    &KCPyArray_BufferProcs,     /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,         /* tp_flags */
    ElementKind<T>::name(),     /* tp_doc */
    nullptr,                    /* tp_traverse */
    nullptr,                    /* tp_clear */
    KCPyArray_RichCompare<T>,   /* tp_richcompare */
    0,                          /* tp_weaklistoffset */
    KCPyArray_GetIter,          /* tp_iter */
    nullptr,                    /* tp_iternext */
    KCPyArray_Methods,          /* tp_methods */
    nullptr,                    /* tp_members */
    KCPyArray_GetSetMethods,    /* tp_getset */
    nullptr,                    /* tp_base */
    nullptr,                    /* tp_dict */
    nullptr,                    /* tp_descr_get */
    nullptr,                    /* tp_descr_set */
    0,                          /* tp_dictoffset */
    nullptr,                    /* tp_init */
    nullptr,                    /* tp_alloc */
    KCPyArray_New<T>,           /* tp_new */
    nullptr,                    /* tp_free */
    nullptr,                    /* tp_is_gc */
    nullptr,                    /* tp_bases */
    nullptr,                    /* tp_mro */
    nullptr,                    /* tp_cache */
    nullptr,                    /* tp_subclasses */
    nullptr,                    /* tp_weaklist */
    nullptr,                    /* tp_del */
    0,                          /* tp_version_tag */
    nullptr,                    /* tp_finalize */
    nullptr,                    /* tp_vectorcall */
};
// clang-format on

}  // namespace

const std::array<PyTypeObject*, kNumberOfKinds> kArrayTypes =
    kalvo::kinds::perKind([](auto tag) { return &arrayType<typename decltype(tag)::type>; });
