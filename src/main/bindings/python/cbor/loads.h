// cbor.loads: one CBOR data item decoded into Python values, and the small
// types it decodes tags, simple values and undefined to.
#ifndef OSTREL_PYTHON_CBOR_LOADS_H
#define OSTREL_PYTHON_CBOR_LOADS_H

#include <pybind11/pybind11.h>

// Adds loads, CBORDecodeError, CBORTag, CBORSimpleValue, UndefinedType and
// undefined to the cbor submodule; throws error_already_set on failure.
void register_loads(pybind11::module_ &cbor);

#endif
