// Entry point of ostrel_core. PYBIND11_MODULE refuses an interpreter other
// than the one the module was built for (its major and minor version)
// before anything else happens, and turns failures during registration
// into ImportError.
#include <pybind11/pybind11.h>

#include "cbor/cbor_module.h"
#include "delta/delta_module.h"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
static_assert(PYBIND11_INTERNALS_VERSION == 4, "ostrel_core for 3.12 shares pybind11 internals version 4");
#endif

PYBIND11_MODULE(ostrel_core, module) {
    register_cbor(module);
    register_delta(module);
}
