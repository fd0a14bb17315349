// cbor.loads: one CBOR data item decoded into Python values, and the small
// types it decodes tags, simple values and undefined to.
#ifndef OSTREL_PYTHON_CBOR_LOADS_H
#define OSTREL_PYTHON_CBOR_LOADS_H

#include <pybind11/pybind11.h>

// Adds loads, CBORDecodeError, CBORTag, CBORSimpleValue, UndefinedType and
// undefined to the cbor submodule; throws error_already_set on failure.
void register_loads(pybind11::module_ &cbor);

// For the encoder, once registered. A CBORTag's number and item
// (borrowed), or false for any other object.
bool cbor_tag_parts(PyObject *object, PyObject **number, PyObject **item);
// A CBORSimpleValue's value, or -1 for any other object.
int cbor_simple_value(PyObject *object);
// cbor.undefined (borrowed).
PyObject *cbor_undefined();

// The max_depth keyword argument of loads and encode: an int of 0 or more,
// where more than a size_t holds means no limit. False with TypeError or
// ValueError (naming function) otherwise.
bool max_depth_argument(PyObject *given, size_t *max_depth);

#endif
