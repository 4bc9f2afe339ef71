// dataarray/kalvo_data.hpp: the data-array client classes; the one header other subsystems include.
//
// Ownership rules. Every client object (ArrayFactory, Array, TypedArray, TypedIterator,
// ReferenceHolder) holds a shared handle to one runtime implementation object; the handle's
// count is atomic and the last handle releases the object through its destroy entry (15, 50,
// 64, 23). Copying Array/TypedArray/ArrayFactory shares the object; copying an iterator makes
// an independent one. Elements are copy-on-write: implementations may share storage, and every
// mutable access through a TypedArray first makes the storage private to that handle. A
// buffer_ptr_t owns its buffer until createArrayFromBuffer hands it to the runtime; release()
// hands an array's storage back out as a buffer_ptr_t. Every runtime failure is thrown as the
// ArrayException of its kind (exceptions.hpp).
#pragma once

#include "dataarray/array.hpp"
#include "dataarray/array_factory.hpp"
#include "dataarray/array_type.hpp"
#include "dataarray/buffer.hpp"
#include "dataarray/element_ref.hpp"
#include "dataarray/entries.hpp"
#include "dataarray/exceptions.hpp"
#include "dataarray/resolve.hpp"
#include "dataarray/typed_array.hpp"
#include "dataarray/typed_iterator.hpp"
