#include "dumps.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cbor_output.h"
#include "main/python_compat.h"

namespace py = pybind11;

namespace {

// Every container level takes one step of the interpreter's own recursion
// guard, so that self-containing or absurdly deep values end in
// RecursionError instead of overflowing the native stack. A step is what
// Py_EnterRecursiveCall and Py_LeaveRecursiveCall do to the thread's
// counter; the last step before the limit is left to Py_EnterRecursiveCall
// itself, which raises the error. (The two calls cost a thread-local
// lookup each, a fourth of the time of small documents.)
class RecursionGuard {
public:
    explicit RecursionGuard(RecursionCounter &counter) : counter(counter) {
        if (counter.step_in()) return;
        if (Py_EnterRecursiveCall(" while encoding a value as CBOR") != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { counter.step_out(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

private:
    RecursionCounter &counter;
};

// pybind11's conversion of a handle, failing with the cast error as
// pybind11 2.10.4 words it; later releases name the type in the message.
template <typename Native>
Native convert(py::handle value) {
    py::detail::make_caster<Native> caster;
    if (!caster.load(value, true))
        throw py::cast_error("Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES "
                             "or compile in debug mode for details)");
    return py::detail::cast_op<Native>(std::move(caster));
}

// Writes one value. The two switches are fixed for a whole call:
// Indefinite frames arrays and maps as
//
//   9f item... ff          bf key value... ff
//
// instead of a head with the count (80+n / a0+n for small counts);
// DepthLimited counts the nesting level of every container item, key and
// value, and refuses any item deeper than level max_depth. Scalars are
// written alike by all four.
//
// Items of the exact builtin types are written straight from the object;
// everything else (subclasses, foreign objects) goes through the DumpsValue
// conversion and the visitor operators, as the top-level value does. Both
// roads give the same bytes and the same errors for a given value.
template <bool Indefinite, bool DepthLimited>
class CborEncoder {
public:
    explicit CborEncoder(uint32_t max_depth) : max_depth(max_depth) {}

    // A top-level value of one of the exact builtin types: written as its
    // DumpsValue alternative would be, without the conversion.
    void encode_exact(PyObject *value) { write_value(value); }

    void operator()(const py::bool_ &value) { (*this)(static_cast<bool>(value)); }
    void operator()(const py::float_ &value) { out.number(static_cast<double>(value)); }
    void operator()(const py::int_ &value) { write_int(value); }
    void operator()(const py::list &value) { write_array(value.ptr()); }
    void operator()(const py::tuple &value) { write_array(value.ptr()); }
    void operator()(const py::dict &value) { write_map(value.ptr()); }
    void operator()(const py::none &) { out.byte(0xf6); }
    void operator()(bool value) { out.byte(value ? 0xf5 : 0xf4); }
    void operator()(unsigned long long value) { out.head(0, value); }
    void operator()(long long value) { out.integer(value); }
    void operator()(std::string_view value) { write_text(value); }

    void operator()(const py::bytes &value) {
        out.string(2, PyBytes_AS_STRING(value.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
    }

    // Lone surrogates have no UTF-8 form: the cast fails with pybind11's
    // cast error.
    void operator()(const py::str &value) { write_text(convert<std::string_view>(value)); }

    py::bytes bytes() const {
        const char *data = reinterpret_cast<const char *>(out.bytes());
        PyObject *result = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(out.size()));
        if (result == nullptr) {
            PyErr_Clear();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        return py::reinterpret_steal<py::bytes>(result);
    }

private:
    void write_text(std::string_view text) { out.string(3, text.data(), text.size()); }

    // Integers from -2^63 to 2^64 - 1: unsigned when the value survives the
    // round trip through uint64_t, else signed when it survives int64_t.
    // The round trip compares with Python equality, so an int subclass
    // with its own __eq__ decides for itself.
    void write_int(const py::int_ &value) {
        unsigned long long u = 0;
        if (round_trips(value, u)) return out.head(0, u);
        long long s = 0;
        if (round_trips(value, s)) return out.integer(s);
        throw std::runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                                 describe_value(value));
    }

    // Any failure here only means that the value does not fit.
    template <typename Native>
    static bool round_trips(const py::int_ &value, Native &native) {
        try {
            native = value.cast<Native>();
            return py::int_(native).equal(value);
        } catch (...) {
            PyErr_Clear();
            return false;
        }
    }

    // An exact int always equals the int made back from its conversion, so
    // the round trip reduces to the conversions themselves. Out of range,
    // the full rule gives the error.
    void write_exact_int(PyObject *number) {
        auto *digits = reinterpret_cast<PyLongObject *>(number);
        if (PyUnstable_Long_IsCompact(digits)) return out.integer(PyUnstable_Long_CompactValue(digits));
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(number, &overflow);
        if (overflow == 0 && !(s == -1 && PyErr_Occurred())) return out.integer(s);
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(number);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return out.head(0, u);
        }
        PyErr_Clear();
        write_int(py::reinterpret_borrow<py::int_>(number));
    }

    // Text that has no UTF-8 form takes the conversion road, which fails
    // with the cast error.
    [[gnu::always_inline]] void write_exact_str(PyObject *text) {
        if (!out.text(text)) (*this)(py::reinterpret_borrow<py::str>(text));
    }

    // str(value), or why it could not be had, cut to value_text_limit bytes
    // without splitting a UTF-8 sequence (the text becomes the message of
    // a Python exception, which must decode).
    std::string describe_value(const py::handle &value) const {
        std::ostringstream text;
        try {
            text << value;
        } catch (const std::exception &e) {
            text << "failed with " << e.what();
        } catch (...) {
            text << "failed with unknown exception";
        }
        std::string described = text.str();
        size_t length = std::min(described.size(), value_text_limit);
        if (length < described.size())
            while (length > 0 && (static_cast<unsigned char>(described[length]) & 0xc0) == 0x80) --length;
        described.resize(length);
        return described;
    }

    // Items are read from the list's or tuple's own item array. Python code
    // run by a conversion may change a list under our feet: an item is held
    // while such code may run (see write_value), and a change of size ends
    // the call.
    void write_array(PyObject *items) {
        RecursionGuard guard(recursion);
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
        if constexpr (Indefinite)
            out.byte(0x9f);
        else
            out.head(4, static_cast<uint64_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            write_item(PySequence_Fast_GET_ITEM(items, i));
            if (PySequence_Fast_GET_SIZE(items) != size)
                throw std::runtime_error("list changed size during iteration");
        }
        if constexpr (Indefinite) out.byte(0xff);
    }

    // Entries come from the dict's own table in iteration order. A definite
    // map must hold exactly the count written in its head, so a dict
    // changed by a conversion ends the call.
    void write_map(PyObject *table) {
        RecursionGuard guard(recursion);
        const Py_ssize_t size = PyDict_GET_SIZE(table);
        if constexpr (Indefinite)
            out.byte(0xbf);
        else
            out.head(5, static_cast<uint64_t>(size));
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(table, &position, &key, &value)) {
            if (written == size) throw std::runtime_error("dictionary keys changed during iteration");
            write_entry(key, value);
            ++written;
            if (PyDict_GET_SIZE(table) != size) throw std::runtime_error("dictionary changed size during iteration");
        }
        if (written != size) throw std::runtime_error("dictionary keys changed during iteration");
        if constexpr (Indefinite) out.byte(0xff);
    }

    // The level is tested before the item is converted.
    void write_item(PyObject *item) {
        enter_level();
        write_value(item);
        leave_level();
    }

    // Key and value share one level. The value is borrowed from the table,
    // which the key's encoding may change unless the key is a plain scalar.
    void write_entry(PyObject *key, PyObject *value) {
        enter_level();
        if (plain_scalar(key)) {
            write_value(key);
            write_value(value);
        } else {
            const py::object held = py::reinterpret_borrow<py::object>(value);
            write_value(key);
            write_value(value);
        }
        leave_level();
    }

    // Values of these exact types are written without running any Python
    // code, so nothing can drop them while they are written.
    static bool plain_scalar(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
               value == Py_None || type == &PyBytes_Type;
    }

    // Inlined into every container loop, with the string writers: a call
    // per item costs about a fifth of the time of string-heavy documents.
    // Keep in step with plain_scalar and dumps_takes_exactly.
    [[gnu::always_inline]] void write_value(PyObject *value) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) return write_exact_str(value);
        if (type == &PyLong_Type) return write_exact_int(value);
        if (type == &PyFloat_Type) return out.number(PyFloat_AS_DOUBLE(value));
        if (value == Py_True) return out.byte(0xf5);
        if (value == Py_False) return out.byte(0xf4);
        if (value == Py_None) return out.byte(0xf6);
        if (type == &PyBytes_Type)
            return out.string(2, PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
        write_compound(value);
    }

    // Containers and conversions may run Python code that drops the last
    // other reference to the value.
    void write_compound(PyObject *value) {
        const py::object held = py::reinterpret_borrow<py::object>(value);
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyDict_Type) return write_map(value);
        if (type == &PyList_Type || type == &PyTuple_Type) return write_array(value);
        DumpsValue converted = convert<DumpsValue>(held);
        std::visit(*this, converted);
    }

    void enter_level() {
        if constexpr (DepthLimited) {
            if (++depth > max_depth) throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
        }
    }

    void leave_level() {
        if constexpr (DepthLimited) --depth;
    }

    Output out;
    RecursionCounter recursion;
    uint32_t depth = 0;
    uint32_t max_depth;
    static constexpr size_t value_text_limit = 40;
};

template <bool Indefinite, bool DepthLimited>
py::bytes encode(const DumpsValue &value, uint32_t max_depth) {
    CborEncoder<Indefinite, DepthLimited> encoder(max_depth);
    std::visit(encoder, value);
    return encoder.bytes();
}

template <bool Indefinite, bool DepthLimited>
py::bytes encode(PyObject *value, uint32_t max_depth) {
    CborEncoder<Indefinite, DepthLimited> encoder(max_depth);
    encoder.encode_exact(value);
    return encoder.bytes();
}

// The four encoder variants, chosen once per call.
template <typename Value>
py::bytes encode_with(Value value, bool indefinite, unsigned int max_depth) {
    if (indefinite)
        return max_depth != 0 ? encode<true, true>(value, max_depth) : encode<true, false>(value, 0);
    return max_depth != 0 ? encode<false, true>(value, max_depth) : encode<false, false>(value, 0);
}

}  // namespace

py::bytes dumps(const DumpsValue &value, bool indefinite, unsigned int max_depth) {
    return encode_with<const DumpsValue &>(value, indefinite, max_depth);
}

bool dumps_takes_exactly(PyObject *value) {
    PyTypeObject *type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyDict_Type ||
           type == &PyList_Type || type == &PyTuple_Type || type == &PyBool_Type || value == Py_None ||
           type == &PyBytes_Type;
}

py::bytes dumps_exact(PyObject *value, bool indefinite, unsigned int max_depth) {
    return encode_with<PyObject *>(value, indefinite, max_depth);
}
