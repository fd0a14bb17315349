// Entry point of ostrel_core. PYBIND11_MODULE refuses an interpreter other
// than the 3.12 the module was built for before anything else happens,
// and turns failures during registration into ImportError.
#include <pybind11/pybind11.h>

#include "cbor/cbor_module.h"
#include "delta/delta_module.h"

static_assert(PYBIND11_INTERNALS_VERSION == 4, "ostrel_core shares pybind11 internals version 4");

PYBIND11_MODULE(ostrel_core, module) {
    register_cbor(module);
    register_delta(module);
}
