// The cbor submodule of ostrel_core.
#ifndef OSTREL_PYTHON_CBOR_MODULE_H
#define OSTREL_PYTHON_CBOR_MODULE_H

#include <pybind11/pybind11.h>

// Creates ostrel_core.cbor under parent and fills it.
void register_cbor(pybind11::module_ &parent);

#endif
