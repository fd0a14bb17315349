#include "byte_view.h"

#include <cstring>
#include <string>

namespace py = pybind11;

namespace {

const char *const accepted =
    "a C-contiguous buffer of bytes (bytes, bytearray, memoryview, mmap, array('B'), numpy uint8)";

[[noreturn]] void refuse(const char *function, const char *argument, const std::string &what) {
    throw py::type_error(std::string(function) + "() argument '" + argument + "' must be " + accepted + ", not " +
                         what);
}

// Byte order and size prefixes mean nothing for one-byte items.
bool byte_format(const char *format) {
    if (format == nullptr) return true;  // unsigned bytes
    if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) ++format;
    return std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 || std::strcmp(format, "c") == 0;
}

}  // namespace

ByteView::ByteView(py::handle object, const char *function, const char *argument) {
    if (!PyObject_CheckBuffer(object.ptr())) refuse(function, argument, Py_TYPE(object.ptr())->tp_name);
    // Strides and format are asked for so that any buffer is exported and
    // then judged here, with one message for all that is refused.
    if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_RECORDS_RO) != 0) throw py::error_already_set();
    std::string what;
    if (!byte_items(view))
        what = "a buffer of '" + std::string(view.format ? view.format : "B") + "' items of " +
               std::to_string(view.itemsize) + " bytes";
    else if (!PyBuffer_IsContiguous(&view, 'C'))
        what = "a non-contiguous buffer";
    if (!what.empty()) {
        PyBuffer_Release(&view);
        refuse(function, argument, what);
    }
    auto size = static_cast<size_t>(view.len);
    value = buf{static_cast<char *>(view.buf), size, size};
}

ByteView::~ByteView() {
    value = buf{};
    PyBuffer_Release(&view);
}

bool byte_items(const Py_buffer &view) { return view.itemsize == 1 && byte_format(view.format); }

long long int_argument(py::handle value, const char *function, const char *argument, long long low,
                       long long high) {
    std::string name = std::string(function) + "() argument '" + argument + "'";
    if (!PyLong_Check(value.ptr()))
        throw py::type_error(name + " must be an int, not " + Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || result < low || result > high)
        throw py::value_error(name + " must be from " + std::to_string(low) + " to " + std::to_string(high) +
                              ", not " + py::repr(value).cast<std::string>());
    return result;
}
