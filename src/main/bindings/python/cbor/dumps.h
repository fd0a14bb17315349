// cbor.dumps: a Python value encoded as one CBOR data item.
#ifndef OSTREL_PYTHON_CBOR_DUMPS_H
#define OSTREL_PYTHON_CBOR_DUMPS_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string_view>
#include <variant>

// A Python value becomes the first alternative that accepts it, first
// without conversions and then with them (pybind11's variant caster), so
// the order matters: the nine object types take what they are exactly;
// bool, the two integers and string_view take what is left (numpy
// scalars, objects with a truth value or an integer conversion,
// bytearray).
using DumpsValue = std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list,
                                pybind11::tuple, pybind11::dict, pybind11::bytes, pybind11::str,
                                pybind11::none, bool, unsigned long long, long long, std::string_view>;

// Containers are framed indefinitely when indefinite is set; max_depth 0
// means no nesting limit.
pybind11::bytes dumps(const DumpsValue &value, bool indefinite, unsigned int max_depth);

// True for the exact builtin types (str, int, float, dict, list, tuple,
// bool, None, bytes), which the conversion to DumpsValue takes as they are.
bool dumps_takes_exactly(PyObject *value);

// dumps of a value for which dumps_takes_exactly holds, with the same
// bytes and errors, without converting it first. value is borrowed.
pybind11::bytes dumps_exact(PyObject *value, bool indefinite, unsigned int max_depth);

#endif
