// cbor.encode: a Python value of the application's types as one CBOR data
// item, in shortest form, deterministic when asked.
#ifndef OSTREL_PYTHON_CBOR_ENCODE_H
#define OSTREL_PYTHON_CBOR_ENCODE_H

#include <pybind11/pybind11.h>

// Adds encode to the cbor submodule, after register_loads (encode writes
// the types loads defines); throws error_already_set on failure.
void register_encode(pybind11::module_ &cbor);

#endif
