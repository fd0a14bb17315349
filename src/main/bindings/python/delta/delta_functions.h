// delta.diff and delta.patch over the buffer bridge.
#ifndef OSTREL_PYTHON_DELTA_FUNCTIONS_H
#define OSTREL_PYTHON_DELTA_FUNCTIONS_H

#include <pybind11/pybind11.h>

#include "buffer/buffer.h"
#include "buffer/python_proxy.h"

using PythonInBuf = InBuffer<ostrel::InProxy>;
using PythonOutBuf = OutBuffer<ostrel::OutProxy, pybind11::bytes>;

// The delta that turns old_value into new_value. Values longer than
// 2147483647 bytes raise ValueError; memory exhaustion raises MemoryError.
PythonOutBuf diff(const PythonInBuf &old_value, const PythonInBuf &new_value);

// old_value with diff applied; the result holds NULL when diff is malformed.
PythonOutBuf patch(const PythonInBuf &old_value, const PythonInBuf &diff);

#endif
