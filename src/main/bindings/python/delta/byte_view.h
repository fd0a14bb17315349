// Bytes-like arguments read in place: any object exporting a C-contiguous
// buffer of one-byte items.
#ifndef OSTREL_PYTHON_BYTE_VIEW_H
#define OSTREL_PYTHON_BYTE_VIEW_H

#include <pybind11/pybind11.h>

#include "buf.h"

// Holds the exporter's buffer for the view's whole life, so the bytes stay
// where they are: an owner that would resize or free them (a bytearray,
// an mmap) refuses with BufferError meanwhile. Built and destroyed with
// the interpreter lock held; get() may be read without it.
class ByteView {
public:
    // TypeError naming function and argument and what is accepted, for an
    // object without a buffer, a buffer that is not C-contiguous, or items
    // other than bytes (format B, b or c, size 1); the exporter's own
    // error when it refuses the request.
    ByteView(pybind11::handle object, const char *function, const char *argument);
    ~ByteView();

    ByteView(const ByteView &) = delete;
    ByteView &operator=(const ByteView &) = delete;

    const buf *get() const { return &value; }
    PyObject *object() const { return view.obj; }

private:
    Py_buffer view{};
    buf value{};
};

// True for a buffer whose items are bytes (format B, b or c, size 1).
bool byte_items(const Py_buffer &view);

// An int argument within [low, high]: TypeError for anything but an int,
// ValueError naming the range otherwise.
long long int_argument(pybind11::handle value, const char *function, const char *argument, long long low,
                       long long high);

#endif
