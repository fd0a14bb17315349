// The delta submodule of ostrel_core.
#ifndef OSTREL_PYTHON_DELTA_MODULE_H
#define OSTREL_PYTHON_DELTA_MODULE_H

#include <pybind11/pybind11.h>

// Creates ostrel_core.delta under parent and fills it.
void register_delta(pybind11::module_ &parent);

#endif
