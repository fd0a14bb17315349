#include "dumps.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cbor_writer.h"

namespace py = pybind11;

namespace {

// Every container level takes one step of the interpreter's own recursion
// guard, so that self-containing or absurdly deep values end in
// RecursionError instead of overflowing the native stack.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a value as CBOR") != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// Writes one value into its own generator. The two switches are fixed for
// a whole call: Indefinite frames arrays and maps as
//
//   9f item... ff          bf key value... ff
//
// instead of a head with the count (80+n / a0+n for small counts); DepthLimited counts the
// nesting level of every container item, key and value, and refuses
// any item deeper than level max_depth. Scalars are written alike by all
// four.
template <bool Indefinite, bool DepthLimited>
class CborEncoder {
public:
    explicit CborEncoder(uint32_t max_depth) : max_depth(max_depth) {
        if (!generator) throw std::bad_alloc();
    }

    void operator()(const py::bool_ &value) { (*this)(static_cast<bool>(value)); }
    void operator()(const py::float_ &value) { check(cbor_write_float(out(), static_cast<double>(value))); }
    void operator()(const py::int_ &value) { write_int(value); }
    void operator()(const py::list &value) { write_array(value); }
    void operator()(const py::tuple &value) { write_array(value); }
    void operator()(const py::dict &value) { write_map(value); }
    void operator()(const py::none &) { check(cbor_write_null(out())); }
    void operator()(bool value) { check(value ? cbor_write_true(out()) : cbor_write_false(out())); }
    void operator()(unsigned long long value) { check(cbor_write_uint(out(), value)); }
    void operator()(long long value) { write_signed(value); }
    void operator()(std::string_view value) { write_text(value); }

    void operator()(const py::bytes &value) {
        check(cbor_write_byte_string(out(), PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr())));
    }

    // Lone surrogates have no UTF-8 form: the cast fails with pybind11's
    // cast error.
    void operator()(const py::str &value) { write_text(value.cast<std::string_view>()); }

    py::bytes bytes() const {
        const char *data = reinterpret_cast<const char *>(generator->data);
        PyObject *result = PyBytes_FromStringAndSize(data, generator->len);
        if (result == nullptr) {
            PyErr_Clear();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        return py::reinterpret_steal<py::bytes>(result);
    }

private:
    cbor_generator *out() const { return generator.get(); }

    // A writer fails only when the stream cannot grow; the partial item it
    // may leave is thrown away with the generator.
    static void check(int result) {
        if (result < 0) throw std::bad_alloc();
    }

    void write_text(std::string_view text) {
        check(cbor_write_text_string(out(), text.data(), static_cast<int64_t>(text.size())));
    }

    void write_signed(long long value) {
        check(value < 0 ? cbor_write_negint(out(), value) : cbor_write_uint(out(), static_cast<uint64_t>(value)));
    }

    // Integers from -2^63 to 2^64 - 1: unsigned when the value survives the
    // round trip through uint64_t, else signed when it survives int64_t.
    // The round trip compares with Python equality, so an int subclass
    // with its own __eq__ decides for itself.
    void write_int(const py::int_ &value) {
        unsigned long long u = 0;
        if (round_trips(value, u)) return check(cbor_write_uint(out(), u));
        long long s = 0;
        if (round_trips(value, s)) return write_signed(s);
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
    // run by a conversion may change a list under our feet: each item is
    // held while it is encoded, and a change of size ends the call.
    template <typename Sequence>
    void write_array(const Sequence &sequence) {
        RecursionGuard guard;
        PyObject *items = sequence.ptr();
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
        check(cbor_write_array(out(), Indefinite ? -1 : static_cast<int64_t>(size)));
        for (Py_ssize_t i = 0; i < size; ++i) {
            write_item(py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items, i)));
            if (PySequence_Fast_GET_SIZE(items) != size)
                throw std::runtime_error("list changed size during iteration");
        }
        if constexpr (Indefinite) check(cbor_write_break(out()));
    }

    // Entries come from the dict's own table in iteration order. A definite
    // map must hold exactly the count written in its head, so a dict
    // changed by a conversion ends the call.
    void write_map(const py::dict &dict) {
        RecursionGuard guard;
        PyObject *table = dict.ptr();
        const Py_ssize_t size = PyDict_GET_SIZE(table);
        check(cbor_write_map(out(), Indefinite ? -1 : static_cast<int64_t>(size)));
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(table, &position, &key, &value)) {
            if (written == size) throw std::runtime_error("dictionary keys changed during iteration");
            write_entry(py::reinterpret_borrow<py::object>(key),
                        py::reinterpret_borrow<py::object>(value));
            ++written;
            if (PyDict_GET_SIZE(table) != size)
                throw std::runtime_error("dictionary changed size during iteration");
        }
        if (written != size) throw std::runtime_error("dictionary keys changed during iteration");
        if constexpr (Indefinite) check(cbor_write_break(out()));
    }

    // The level is tested before the item is converted.
    void write_item(const py::object &item) {
        enter_level();
        write_value(item);
        leave_level();
    }

    // Key and value share one level.
    void write_entry(const py::object &key, const py::object &value) {
        enter_level();
        write_value(key);
        write_value(value);
        leave_level();
    }

    void write_value(const py::object &value) {
        DumpsValue converted = value.cast<DumpsValue>();
        std::visit(*this, converted);
    }

    void enter_level() {
        if constexpr (DepthLimited) {
            if (++depth > max_depth)
                throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
        }
    }

    void leave_level() {
        if constexpr (DepthLimited) --depth;
    }

    std::unique_ptr<cbor_generator, decltype(&cbor_generator_free)> generator{cbor_generator_create(),
                                                                             cbor_generator_free};
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

}  // namespace

py::bytes dumps(const DumpsValue &value, bool indefinite, unsigned int max_depth) {
    if (indefinite)
        return max_depth != 0 ? encode<true, true>(value, max_depth) : encode<true, false>(value, 0);
    return max_depth != 0 ? encode<false, true>(value, max_depth) : encode<false, false>(value, 0);
}
