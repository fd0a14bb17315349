#include "cbor_module.h"

#include "dumps.h"
#include "encode.h"
#include "loads.h"

#include <climits>

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

// pybind11's own entry of the bound dumps: argument conversion, overload
// errors, exception translation.
PyCFunctionWithKeywords bound_dumps = nullptr;

// The arguments of a call that needs no conversion: a value of an exact
// builtin type, indefinite given as True or False, max_depth as an exact
// int that fits 32 bits, by position or (the last two) by keyword.
struct PlainCall {
    PyObject *value = nullptr;
    bool indefinite = true;
    unsigned int max_depth = 0;
};

bool plain_indefinite(PyObject *argument, PlainCall &call) {
    if (argument != Py_True && argument != Py_False) return false;
    call.indefinite = argument == Py_True;
    return true;
}

bool plain_max_depth(PyObject *argument, PlainCall &call) {
    if (!PyLong_CheckExact(argument)) return false;
    const unsigned long long depth = PyLong_AsUnsignedLongLong(argument);
    if (depth == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (depth > UINT_MAX) return false;
    call.max_depth = static_cast<unsigned int>(depth);
    return true;
}

// Anything unusual (other types, unknown, repeated or missing arguments)
// is left to pybind11, which converts it or reports it.
bool plain_call(PyObject *args, PyObject *kwargs, PlainCall &call) {
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 1 || count > 3) return false;
    call.value = PyTuple_GET_ITEM(args, 0);
    if (!dumps_takes_exactly(call.value)) return false;
    if (count > 1 && !plain_indefinite(PyTuple_GET_ITEM(args, 1), call)) return false;
    if (count > 2 && !plain_max_depth(PyTuple_GET_ITEM(args, 2), call)) return false;
    if (kwargs == nullptr) return true;
    Py_ssize_t position = 0;
    PyObject *name = nullptr;
    PyObject *argument = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &argument)) {
        if (!PyUnicode_CheckExact(name)) return false;
        if (count < 2 && PyUnicode_CompareWithASCIIString(name, "indefinite") == 0) {
            if (!plain_indefinite(argument, call)) return false;
        } else if (count < 3 && PyUnicode_CompareWithASCIIString(name, "max_depth") == 0) {
            if (!plain_max_depth(argument, call)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Calls without conversions skip pybind11's dispatch, whose cost dwarfs
// the encoding of small values. Errors are translated as pybind11's
// dispatcher translates them.
PyObject *dumps_entry(PyObject *self, PyObject *args, PyObject *kwargs) {
    PlainCall call;
    if (!plain_call(args, kwargs, call)) return bound_dumps(self, args, kwargs);
    try {
        return dumps_exact(call.value, call.indefinite, call.max_depth).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    } catch (...) {
        if (py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators))
            return nullptr;
        if (py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators))
            return nullptr;
        PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
        return nullptr;
    }
}

}  // namespace

void register_cbor(py::module_ &parent) {
    py::module_ cbor = parent.def_submodule("cbor", module_doc);
    cbor.def("dumps", &dumps, dumps_doc,
             py::arg("value"), py::arg("indefinite") = true, py::arg("max_depth") = 0);
    // The function object stays pybind11's (name, doc, signature, self);
    // only its entry point is put in front of pybind11's.
    PyMethodDef *method = reinterpret_cast<PyCFunctionObject *>(cbor.attr("dumps").ptr())->m_ml;
    bound_dumps = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(method->ml_meth));
    method->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps_entry));
    cbor.attr("__version__") = "dev";
    register_loads(cbor);
    register_encode(cbor);
}
