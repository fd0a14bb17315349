#include "cbor_module.h"

#include "dumps.h"

namespace py = pybind11;

namespace {

const char *const module_doc = R"(
            Ostrel cbor
            -----------------------

            .. currentmodule:: ostrel_cbor

            .. autosummary::
               :toctree: _generate

               dumps
        )";

const char *const dumps_doc = R"(
        Dump a Python object to cbor
        )";

}  // namespace

void register_cbor(py::module_ &parent) {
    py::module_ cbor = parent.def_submodule("cbor", module_doc);
    cbor.def("dumps", &dumps, dumps_doc,
             py::arg("value"), py::arg("indefinite") = true, py::arg("max_depth") = 0);
    cbor.attr("__version__") = "dev";
}
