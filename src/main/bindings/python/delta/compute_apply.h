// delta.compute, delta.apply, delta.check_record and delta.CheckError:
// deltas for applications, checked when asked. Any C-contiguous
// buffer of bytes is read in place and held for the whole call; results
// are bytes objects; the interpreter lock is released while the core works
// on inputs past a small size; malformed or oversized deltas raise.
#ifndef OSTREL_PYTHON_COMPUTE_APPLY_H
#define OSTREL_PYTHON_COMPUTE_APPLY_H

#include <pybind11/pybind11.h>

// Registers compute, apply, check_record and CheckError in the delta
// submodule (after ActivityHistory).
void register_compute_apply(pybind11::module_ &delta);

#endif
