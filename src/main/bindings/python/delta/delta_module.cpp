#include "delta_module.h"

#include <stdexcept>

#include "compute_apply.h"
#include "delta_functions.h"
#include "shared_history.h"

namespace py = pybind11;

namespace {

const char *const module_doc = R"(
        Ostrel Delta
        -----------------------

        .. currentmodule:: ostrel_delta

        .. autosummary::
           :toctree: _generate

           diff
    )";

const char *const diff_doc = R"(
    Diff between 'old_value' and 'new_value'
    )";

const char *const patch_doc = R"(
    Apply 'diff' to 'old_value'
    )";

const char *const unavailable_message =
    "delta could not be applied: the result is unavailable because the input was invalid";

// The buffer slot of PythonOutBuf. pybind11's own slot would dereference
// the NULL result of a failed patch and cannot raise from the export
// function, so a NULL result is refused here before it gets there.
int out_buffer_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    py::detail::make_caster<PythonOutBuf> caster;
    if (!caster.load(self, false) || caster.value == nullptr ||
        static_cast<PythonOutBuf *>(caster.value)->get() == nullptr) {
        if (view != nullptr) view->obj = nullptr;
        PyErr_SetString(PyExc_ValueError, unavailable_message);
        return -1;
    }
    return py::detail::pybind11_getbuffer(self, view, flags);
}

// pybind11 lets None reach a class parameter as a null pointer and, for a
// reference parameter, turns that into "no matching overload". Taking the
// arguments by pointer keeps the rendered signature and lets None fail
// with the RuntimeError (empty message) that callers see.
const PythonInBuf &required(const PythonInBuf *argument) {
    if (argument == nullptr) throw std::runtime_error("");
    return *argument;
}

PythonOutBuf bound_diff(const PythonInBuf *old_value, const PythonInBuf *new_value) {
    return diff(required(old_value), required(new_value));
}

PythonOutBuf bound_patch(const PythonInBuf *old_value, const PythonInBuf *delta) {
    return patch(required(old_value), required(delta));
}

}  // namespace

void register_delta(py::module_ &parent) {
    py::module_ delta = parent.def_submodule("delta", module_doc);

    py::class_<PythonOutBuf> out_class(delta, "PythonOutBuf", py::buffer_protocol());
    out_class.def_buffer([](const PythonOutBuf &result) { return result.describe(); });
    reinterpret_cast<PyTypeObject *>(out_class.ptr())->tp_as_buffer->bf_getbuffer = out_buffer_getbuffer;

    py::class_<PythonInBuf>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, PythonInBuf>();

    delta.def("diff", &bound_diff, diff_doc, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &bound_patch, patch_doc, py::arg("old_value"), py::arg("diff"));
    register_activity_history(delta);
    register_compute_apply(delta);
    delta.attr("__version__") = "dev";
}
