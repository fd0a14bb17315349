#include "delta_functions.h"

#include <cstdint>
#include <new>

#include "delta_apply.h"
#include "delta_generate.h"

namespace py = pybind11;

PythonOutBuf diff(const PythonInBuf &old_value, const PythonInBuf &new_value) {
    // Positions in a delta are 32-bit: longer values cannot be described.
    if (old_value.get()->len > INT32_MAX || new_value.get()->len > INT32_MAX)
        throw py::value_error("diff: values longer than 2147483647 bytes cannot be described by a delta");
    PythonOutBuf result(diff_generate_binary(old_value.get(), new_value.get()), buf_free);
    if (result.get() == nullptr) throw std::bad_alloc();
    return result;
}

PythonOutBuf patch(const PythonInBuf &old_value, const PythonInBuf &diff) {
    return PythonOutBuf(diff_apply_binary(old_value.get(), diff.get()), buf_free);
}
