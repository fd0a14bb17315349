// The Python side of InBuffer and OutBuffer: a bytes object lent to the
// core in place, and a core result exported through the buffer protocol.
#ifndef OSTREL_CXX_API_PYTHON_PROXY_H
#define OSTREL_CXX_API_PYTHON_PROXY_H

#include <pybind11/pybind11.h>

#include <exception>
#include <utility>

#include "buf.h"

namespace ostrel {

// Holds a strong reference to the bytes object whose storage a view
// points into.
class InProxy {
public:
    using Source = pybind11::bytes;

    explicit InProxy(pybind11::bytes object) : object(std::move(object)) {}

    // The object's own storage, not copied.
    buf view() const {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            throw std::exception();
        }
        return buf{data, static_cast<size_t>(size), static_cast<size_t>(size)};
    }

private:
    pybind11::bytes object;
};

struct OutProxy {
    // One writable dimension of signed bytes over the result's own storage.
    // An empty result may have no storage at all; consumers get a valid
    // pointer to zero bytes instead.
    static pybind11::buffer_info describe(buf &result) {
        static char no_bytes;
        void *data = result.data != nullptr ? result.data : &no_bytes;
        auto size = static_cast<Py_ssize_t>(result.len);
        return pybind11::buffer_info(data, 1, "b", 1, {size}, {Py_ssize_t{1}}, false);
    }
};

}  // namespace ostrel

#endif
