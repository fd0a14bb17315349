#include "encode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cbor_output.h"
#include "delta/byte_view.h"
#include "loads.h"
#include "main/python_compat.h"
#include "semantic_tags.h"

namespace py = pybind11;

namespace {

const size_t default_max_depth = 1500;

// Thrown once a Python exception is set; caught at the entry point.
struct Raised {};

// A strong reference for as long as the scope lasts.
class Held {
public:
    explicit Held(PyObject *object) : object(object) {}
    ~Held() { Py_XDECREF(object); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    PyObject *get() const { return object; }

private:
    PyObject *const object;
};

PyObject *checked(PyObject *result) {
    if (result == nullptr) throw Raised{};
    return result;
}

// One open container: the items still to write, and where the encoder is
// among them. Containers are walked on this heap stack rather than by
// recursion, so no value, however deep, takes native stack.
struct Frame {
    enum Kind : uint8_t {
        sequence,  // a list's or tuple's own items
        members,   // a set's members, in a list of our own
        dict,      // a dict's own entries
        pairs,     // a dict subclass's entries, in a list of (key, value) pairs
        tag        // a CBORTag's item
    };
    PyObject *container;  // owned: what the items are read from
    PyObject *origin;     // owned: the object the frame stands for, to find cycles
    PyObject *key;        // owned, dict and pairs: the current entry's key
    PyObject *value;      // owned, dict and pairs: the value due after the key
    Py_ssize_t index;     // next item, pair or PyDict_Next position
    Py_ssize_t size;      // the count written in the head
    Py_ssize_t taken;     // dict: entries taken so far
    size_t entries;       // sorted: the first of its entries in Encoder::entries
    size_t levels;        // CBOR levels its items sit below the frame's parent
    Kind kind;
    bool sorted;          // canonical map or set
    bool in_key;          // dict and pairs: writing the key
};

// Where an item of a sorted container starts, and where its key ends (maps).
struct Entry {
    size_t start;
    size_t key_end;
};

class Encoder {
public:
    Encoder(PyObject *fallback, bool canonical, size_t max_depth)
        : fallback(fallback), canonical(canonical), max_depth(max_depth) {}

    ~Encoder() {
        for (Frame &frame : frames) release(frame);
    }

    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    PyObject *run(PyObject *value) {
        try {
            frames.reserve(next_cycle_check);
            if (write(value)) walk();
            return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.bytes()),
                                             static_cast<Py_ssize_t>(out.size()));
        } catch (const Raised &) {
            return nullptr;
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
    }

private:
    // --- The walk ---------------------------------------------------------------

    void walk() {
        while (!frames.empty()) {
            Frame &frame = frames.back();
            switch (frame.kind) {
            case Frame::sequence:
            case Frame::members: step_sequence(frame); break;
            case Frame::dict:
            case Frame::pairs: step_map(frame); break;
            case Frame::tag: step_tag(frame); break;
            }
        }
    }

    // Each step writes items until one opens a container (the frame
    // reference is then stale) or the frame ends.
    void step_sequence(Frame &frame) {
        PyObject *const items = frame.container;
        for (;;) {
            if (PySequence_Fast_GET_SIZE(items) != frame.size) fail(PyExc_RuntimeError, "a list changed size while it was encoded");
            if (frame.index == frame.size) return close();
            if (frame.sorted) entries.push_back({out.size(), 0});
            if (write(PySequence_Fast_GET_ITEM(items, frame.index++))) return;
        }
    }

    void step_map(Frame &frame) {
        for (;;) {
            if (frame.value != nullptr) {
                if (frame.sorted) entries.back().key_end = out.size();
                frame.in_key = false;
                Held value(frame.value);
                frame.value = nullptr;
                if (write(value.get())) return;
                continue;
            }
            PyObject *key = nullptr, *value = nullptr;
            if (!next_entry(frame, &key, &value)) return close();
            if (frame.sorted) entries.push_back({out.size(), 0});
            Py_INCREF(key);
            Py_XSETREF(frame.key, key);
            frame.in_key = true;
            // A key of these types is written without running Python code,
            // which could drop the value from the dict: the value is then
            // written at once, borrowed.
            PyTypeObject *type = Py_TYPE(key);
            if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBytes_Type) {
                write(key);
                if (frame.sorted) entries.back().key_end = out.size();
                frame.in_key = false;
                if (write(value)) return;
                continue;
            }
            Py_INCREF(value);
            frame.value = value;
            if (write(key)) return;
        }
    }

    // Borrowed key and value of the next entry, false after the last. A
    // definite map holds exactly the count in its head, so a dict changed
    // by Python code run meanwhile (default, a subclass's methods) ends the
    // call.
    bool next_entry(Frame &frame, PyObject **key, PyObject **value) {
        if (frame.kind == Frame::pairs) {
            if (frame.index == frame.size) return false;
            PyObject *pair = PyList_GET_ITEM(frame.container, frame.index++);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                fail(PyExc_TypeError, "items() of a dict subclass gave something other than (key, value) pairs");
            *key = PyTuple_GET_ITEM(pair, 0);
            *value = PyTuple_GET_ITEM(pair, 1);
            return true;
        }
        if (PyDict_GET_SIZE(frame.container) != frame.size)
            fail(PyExc_RuntimeError, "a dict changed size while it was encoded");
        if (!PyDict_Next(frame.container, &frame.index, key, value)) {
            if (frame.taken != frame.size) fail(PyExc_RuntimeError, "a dict changed while it was encoded");
            return false;
        }
        if (frame.taken++ == frame.size) fail(PyExc_RuntimeError, "a dict changed while it was encoded");
        return true;
    }

    void step_tag(Frame &frame) {
        if (frame.index++ == 0 && write(frame.container)) return;
        close();
    }

    // --- Opening and closing containers ---------------------------------------

    // Pushes a frame whose items sit `levels` below the current level; takes
    // new references to container and origin.
    bool open(Frame::Kind kind, PyObject *container, PyObject *origin, Py_ssize_t size, size_t levels) {
        need_levels(levels, origin);
        if (frames.size() == next_cycle_check) {
            next_cycle_check *= 2;
            refuse_cycle(origin);
        }
        const bool sorted = canonical && (kind == Frame::members || kind == Frame::dict || kind == Frame::pairs);
        frames.push_back({container, origin, nullptr, nullptr, 0, size, 0, entries.size(), levels, kind, sorted,
                          false});
        Py_INCREF(container);
        Py_INCREF(origin);
        depth += levels;
        return true;
    }

    bool open_sequence(PyObject *items, PyObject *origin, Frame::Kind kind, size_t levels) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(items);
        out.head(4, static_cast<uint64_t>(size));
        return size != 0 && open(kind, items, origin, size, levels);
    }

    bool open_map(PyObject *entries_of, PyObject *origin, Frame::Kind kind) {
        const Py_ssize_t size = kind == Frame::dict ? PyDict_GET_SIZE(entries_of) : PyList_GET_SIZE(entries_of);
        out.head(5, static_cast<uint64_t>(size));
        return size != 0 && open(kind, entries_of, origin, size, 1);
    }

    void close() {
        Frame &frame = frames.back();
        const bool sorted = frame.sorted;
        const size_t first = frame.entries;
        depth -= frame.levels;
        release(frame);
        frames.pop_back();
        if (sorted) sort_entries(first);
    }

    static void release(Frame &frame) {
        Py_XDECREF(frame.container);
        Py_XDECREF(frame.origin);
        Py_XDECREF(frame.key);
        Py_XDECREF(frame.value);
    }

    // Deterministic order: the items written since `first`, each a key and
    // its value (or a member), reordered by the bytes of their keys.
    // Encodings are self-delimiting, so bytewise order is total; two equal
    // keys make a map no decoder can read faithfully.
    void sort_entries(size_t first) {
        const size_t count = entries.size() - first;
        const size_t begin = entries[first].start;
        const size_t end = out.size();
        struct Span {
            size_t start, key_size, size;
        };
        std::vector<Span> spans(count);
        for (size_t i = 0; i < count; ++i) {
            const Entry &entry = entries[first + i];
            const size_t stop = i + 1 < count ? entries[first + i + 1].start : end;
            const size_t key_end = entry.key_end != 0 ? entry.key_end : stop;
            spans[i] = {entry.start, key_end - entry.start, stop - entry.start};
        }
        entries.resize(first);
        const uint8_t *bytes = out.written();
        auto order = [bytes](const Span &a, const Span &b) {
            const int c = std::memcmp(bytes + a.start, bytes + b.start, std::min(a.key_size, b.key_size));
            return c != 0 ? c < 0 : a.key_size < b.key_size;
        };
        auto same = [bytes](const Span &a, const Span &b) {
            return a.key_size == b.key_size && std::memcmp(bytes + a.start, bytes + b.start, a.key_size) == 0;
        };
        if (std::is_sorted(spans.begin(), spans.end(), order) &&
            std::adjacent_find(spans.begin(), spans.end(), same) == spans.end())
            return;
        std::sort(spans.begin(), spans.end(), order);
        if (std::adjacent_find(spans.begin(), spans.end(), same) != spans.end())
            fail(PyExc_ValueError, "two keys or set members with the same encoding");
        std::vector<uint8_t> sorted;
        sorted.reserve(end - begin);
        for (const Span &span : spans) sorted.insert(sorted.end(), bytes + span.start, bytes + span.start + span.size);
        std::memcpy(out.written() + begin, sorted.data(), sorted.size());
    }

    // --- Items ----------------------------------------------------------------------

    // Writes one item; true if it opened a container, whose items follow.
    // The builtin types come first; everything else, subclasses included,
    // is sorted out by write_other.
    // The scalars are inlined into every loop over items.
    [[gnu::always_inline]] bool write(PyObject *value, bool may_convert = true) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyUnicode_Type) return write_str(value), false;
        if (type == &PyLong_Type) {
            long long small = 0;
            if (small_int(value, &small)) return out.integer(small), false;
            return write_int(value), false;
        }
        if (type == &PyFloat_Type) return out.shortest_number(PyFloat_AS_DOUBLE(value)), false;
        if (value == Py_True) return out.byte(0xf5), false;
        if (value == Py_False) return out.byte(0xf4), false;
        if (value == Py_None) return out.byte(0xf6), false;
        return write_compound(value, may_convert);
    }

    [[gnu::noinline]] bool write_compound(PyObject *value, bool may_convert) {
        PyTypeObject *type = Py_TYPE(value);
        if (type == &PyDict_Type) return open_map(value, value, Frame::dict);
        if (type == &PyList_Type || type == &PyTuple_Type) return open_sequence(value, value, Frame::sequence, 1);
        if (type == &PyBytes_Type) return write_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)), false;
        return write_other(value, may_convert);
    }

    // May run Python code (default, methods of the value), which might drop
    // the container's reference to the value: it is held meanwhile.
    bool write_other(PyObject *value, bool may_convert) {
        const Held held((Py_INCREF(value), value));
        if (PyLong_Check(value)) return write_int(value), false;
        if (PyFloat_Check(value)) return out.shortest_number(PyFloat_AS_DOUBLE(value)), false;
        if (PyUnicode_Check(value)) return write_str(value), false;
        if (PyBytes_Check(value)) return write_bytes(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)), false;
        if (PyByteArray_Check(value))
            return write_bytes(PyByteArray_AS_STRING(value), PyByteArray_GET_SIZE(value)), false;
        if (PyList_Check(value) || PyTuple_Check(value)) return open_sequence(value, value, Frame::sequence, 1);
        if (PyDict_Check(value)) {
            const Held pairs(checked(PyMapping_Items(value)));
            return open_map(pairs.get(), value, Frame::pairs);
        }
        if (PyAnySet_Check(value)) {
            need_levels(1);
            out.head(6, tag_set);
            const Held members(checked(PySequence_List(value)));
            return open_sequence(members.get(), value, Frame::members, 2);
        }
        if (is_datetime(value)) return write_datetime(value), false;
        if (is_date(value)) return write_date(value), false;
        PyObject *number = nullptr, *item = nullptr;
        if (cbor_tag_parts(value, &number, &item)) {
            need_levels(1, value);
            out.head(6, PyLong_AsUnsignedLongLong(number));  // in range since construction
            return open(Frame::tag, item, value, 1, 1);
        }
        const int simple = cbor_simple_value(value);
        if (simple >= 0) return out.head(7, static_cast<uint64_t>(simple)), false;
        if (value == cbor_undefined()) return out.byte(0xf7), false;
        if (PyObject_CheckBuffer(value) && write_byte_buffer(value)) return false;
        if (is_instance(value, decimal_class)) return write_decimal(value), false;
        if (is_instance(value, fraction_class)) return write_fraction(value), false;
        if (is_instance(value, uuid_class)) return write_uuid(value), false;
        if (fallback == nullptr || !may_convert) refuse(value, may_convert);
        const Held converted(checked(PyObject_CallOneArg(fallback, value)));
        // Written in the value's place, without a second call to default
        // for the result itself.
        return write(converted.get(), false);
    }

    static bool is_instance(PyObject *value, StdClass which) {
        PyObject *type = imported_class(which);
        return type != nullptr && PyType_Check(type) &&
               PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type));
    }

    [[gnu::always_inline]] void write_bytes(const char *bytes, Py_ssize_t size) {
        out.string(2, bytes, static_cast<size_t>(size));
    }

    [[gnu::always_inline]] void write_str(PyObject *text) {
        if (!out.text(text)) fail(PyExc_ValueError, "a str that has no UTF-8 form (it holds a lone surrogate)");
    }

    // The value of an int whose magnitude fits one digit of the
    // interpreter's representation, the common case, read in place.
    static bool small_int(PyObject *number, long long *value) {
#if PY_VERSION_HEX >= 0x030C0000
        auto *digits = reinterpret_cast<PyLongObject *>(number);
        if (!PyUnstable_Long_IsCompact(digits)) return false;
        *value = PyUnstable_Long_CompactValue(digits);
        return true;
#else
        const Py_ssize_t size = Py_SIZE(number);
        if (size < -1 || size > 1) return false;
        *value = size * static_cast<long long>(reinterpret_cast<PyLongObject *>(number)->ob_digit[0]);
        return true;
#endif
    }

    // Major type 0 or 1 up to 64 bits of argument; past that a bignum, tag
    // 2 (n) or 3 (-1 - n) on the big-endian bytes of n.
    void write_int(PyObject *number) {
        long long small = 0;
        if (small_int(number, &small)) return out.integer(small);
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) throw Raised{};
            return out.integer(value);
        }
        // int's own slots, which a subclass's methods do not override.
        PyNumberMethods *slots = PyLong_Type.tp_as_number;
        const Held magnitude(checked(overflow > 0 ? slots->nb_int(number) : slots->nb_invert(number)));
        const unsigned long long argument = PyLong_AsUnsignedLongLong(magnitude.get());
        if (!(argument == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
            return out.head(overflow > 0 ? 0 : 1, argument);
        PyErr_Clear();
        need_levels(1);
        PyObject *int_type = reinterpret_cast<PyObject *>(&PyLong_Type);
        const Held bits(checked(PyObject_CallMethod(int_type, "bit_length", "O", magnitude.get())));
        const Py_ssize_t size = (PyLong_AsSsize_t(bits.get()) + 7) / 8;
        const Held bytes(checked(PyObject_CallMethod(int_type, "to_bytes", "Ons", magnitude.get(), size, "big")));
        out.head(6, overflow > 0 ? 2 : 3);
        write_bytes(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    }

    // memoryview, array('B'), numpy uint8 arrays and the like; false
    // (nothing written) for buffers of other items or shapes, and for
    // scalars that export a buffer (a numpy uint8 is a number, not bytes).
    bool write_byte_buffer(PyObject *value) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) != 0) throw Raised{};
        const bool bytes = view.ndim >= 1 && byte_items(view) && PyBuffer_IsContiguous(&view, 'C');
        if (bytes) {
            try {
                write_bytes(static_cast<const char *>(view.buf), view.len);
            } catch (...) {
                PyBuffer_Release(&view);
                throw;
            }
        }
        PyBuffer_Release(&view);
        return bytes;
    }

    void write_datetime(PyObject *value) {
        char text[time_text_max];
        const Py_ssize_t length = datetime_text(value, text);
        if (length < 0) throw Raised{};
        if (length == 0) fail(PyExc_ValueError, "a naive datetime (give it a tzinfo, e.g. datetime.timezone.utc)");
        need_levels(1);
        out.head(6, tag_date_time);
        out.string(3, text, static_cast<size_t>(length));
    }

    void write_date(PyObject *value) {
        char text[time_text_max];
        const Py_ssize_t length = date_text(value, text);
        need_levels(1);
        out.head(6, tag_full_date);
        out.string(3, text, static_cast<size_t>(length));
    }

    // Tag 4 on [exponent, mantissa]; NaN and the infinities, which have no
    // such form, as floats.
    void write_decimal(PyObject *value) {
        const Held parts(checked(PyObject_CallMethod(value, "as_tuple", nullptr)));
        // A subclass may give anything back: only Decimal's own shape is read.
        if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 3 ||
            !PyTuple_Check(PyTuple_GET_ITEM(parts.get(), 1)))
            fail(PyExc_TypeError, "a Decimal whose as_tuple() is not (sign, digits, exponent)");
        PyObject *sign = PyTuple_GET_ITEM(parts.get(), 0);
        PyObject *digits = PyTuple_GET_ITEM(parts.get(), 1);
        PyObject *exponent = PyTuple_GET_ITEM(parts.get(), 2);
        if (!PyUnicode_Check(exponent) && !PyLong_Check(exponent))
            fail(PyExc_TypeError, "a Decimal whose as_tuple() is not (sign, digits, exponent)");
        const bool negative = PyObject_IsTrue(sign) == 1;
        if (PyUnicode_Check(exponent)) {
            const bool infinite = PyUnicode_CompareWithASCIIString(exponent, "F") == 0;
            return out.shortest_number(infinite ? (negative ? -HUGE_VAL : HUGE_VAL) : NAN);
        }
        need_levels(2);
        out.head(6, tag_decimal);
        out.head(4, 2);
        depth += 2;
        write_int(exponent);
        const Py_ssize_t count = PyTuple_GET_SIZE(digits);
        if (count <= 18) {
            long long mantissa = 0;
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject *digit = PyTuple_GET_ITEM(digits, i);
                const long d = PyLong_Check(digit) ? PyLong_AsLong(digit) : -1;
                if (d < 0 || d > 9) {
                    PyErr_Clear();
                    fail(PyExc_TypeError, "a Decimal whose as_tuple() is not (sign, digits, exponent)");
                }
                mantissa = mantissa * 10 + d;
            }
            out.integer(negative ? -mantissa : mantissa);
        } else {
            const Held whole(checked(PyObject_CallFunction(imported_class(decimal_class), "((OOi))", sign, digits, 0)));
            const Held mantissa(checked(PyNumber_Long(whole.get())));
            write_int(mantissa.get());
        }
        depth -= 2;
    }

    void write_fraction(PyObject *value) {
        const Held numerator(checked(PyObject_GetAttrString(value, "numerator")));
        const Held denominator(checked(PyObject_GetAttrString(value, "denominator")));
        if (!PyLong_Check(numerator.get()) || !PyLong_Check(denominator.get()))
            fail(PyExc_TypeError, "a Fraction whose numerator or denominator is not an int");
        need_levels(2);
        out.head(6, tag_rational);
        out.head(4, 2);
        depth += 2;
        write_int(numerator.get());
        write_int(denominator.get());
        depth -= 2;
    }

    void write_uuid(PyObject *value) {
        const Held bytes(checked(PyObject_GetAttrString(value, "bytes")));
        if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 16)
            fail(PyExc_TypeError, "a UUID whose bytes are not 16 bytes");
        need_levels(1);
        out.head(6, tag_uuid);
        write_bytes(PyBytes_AS_STRING(bytes.get()), 16);
    }

    // --- Limits and errors -----------------------------------------------------

    // The items of what is about to be written sit `levels` below the
    // current level, as loads counts them. A cycle is named as such
    // rather than as the depth it leads to.
    void need_levels(size_t levels, PyObject *opening = nullptr) {
        if (depth + levels <= max_depth) return;
        refuse_cycle(opening);
        fail(PyExc_ValueError, "nesting deeper than max_depth=" + std::to_string(max_depth));
    }

    // A container that holds itself makes the stack grow without end.
    // Rather than each push looking for its container among the open ones,
    // the whole stack is looked over each time its height doubles (and at
    // the depth limit): O(1) per push, and the error names the place where
    // a container first meets itself, as a check at every push would.
    void refuse_cycle(PyObject *opening) {
        const size_t count = frames.size() + (opening != nullptr);
        size_t buckets = 64;
        while (buckets < 2 * count) buckets *= 2;
        std::vector<PyObject *> seen(buckets, nullptr);
        for (size_t i = 0; i < count; ++i) {
            PyObject *origin = i < frames.size() ? frames[i].origin : opening;
            size_t at = static_cast<size_t>((reinterpret_cast<uintptr_t>(origin) >> 4) * UINT64_C(0x9e3779b97f4a7c15)) %
                        buckets;
            while (seen[at] != nullptr && seen[at] != origin) at = (at + 1) % buckets;
            if (seen[at] == origin) fail(PyExc_ValueError, "a container that holds itself", i);
            seen[at] = origin;
        }
    }

    [[noreturn]] void refuse(PyObject *value, bool may_convert) {
        std::string what = std::string("cannot encode an object of type '") + Py_TYPE(value)->tp_name + "'";
        if (!may_convert)
            what += ", which default returned";
        else if (fallback == nullptr)
            what += " (give encode a default= function that converts it)";
        fail(PyExc_TypeError, what);
    }

    // The message names the place of the item being written, or of the
    // container that opens frame `frame` when that is given.
    [[noreturn]] void fail(PyObject *type, const std::string &what, size_t frame = SIZE_MAX) {
        const std::string message = "encode(): " + what + " at " + path(std::min(frame, frames.size()));
        PyErr_SetString(type, message.c_str());
        throw Raised{};
    }

    // Where the item being written sits in the value, as Python would reach
    // it: value[2]['name'].value; a key or a set member is named as such.
    // Of a deep path the first and last few steps are shown.
    std::string path(size_t count) const {
        const size_t shown_steps = 8;
        std::string text = "value";
        for (size_t i = 0; i < count; ++i) {
            if (count > 2 * shown_steps && i >= shown_steps && i < count - shown_steps) {
                if (i == shown_steps) text += "...";
                continue;
            }
            const Frame &frame = frames[i];
            switch (frame.kind) {
            case Frame::sequence: text += "[" + std::to_string(frame.index - 1) + "]"; break;
            case Frame::members: text += " (a member of the set)"; break;
            case Frame::dict:
            case Frame::pairs:
                if (frame.key == nullptr) break;
                text += frame.in_key ? " (the key " + shown(frame.key) + ")" : "[" + shown(frame.key) + "]";
                break;
            case Frame::tag: text += ".value"; break;
            }
        }
        return text;
    }

    // repr of a key, cut to 40 characters.
    static std::string shown(PyObject *key) {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        std::string text = "?";
        PyObject *repr = PyObject_Repr(key);
        const char *utf8 = repr == nullptr ? nullptr : PyUnicode_AsUTF8(repr);
        if (utf8 != nullptr) text = utf8;
        Py_XDECREF(repr);
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        if (text.size() > 40) {
            size_t cut = 37;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
            text = text.substr(0, cut) + "...";
        }
        return text;
    }

    Output out;
    std::vector<Frame> frames;
    std::vector<Entry> entries;
    PyObject *const fallback;
    const bool canonical;
    const size_t max_depth;
    size_t depth = 0;
    size_t next_cycle_check = 32;  // stack height
};

// encode(value, /, *, default=None, canonical=False, max_depth=1500)
PyObject *encode(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "encode() takes exactly one positional argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject *fallback = nullptr;
    bool canonical = false;
    size_t max_depth = default_max_depth;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        PyObject *given = args[nargs + i];
        if (PyUnicode_CompareWithASCIIString(name, "default") == 0) {
            if (given != Py_None && !PyCallable_Check(given)) {
                PyErr_Format(PyExc_TypeError, "default must be callable or None, not %.100s", Py_TYPE(given)->tp_name);
                return nullptr;
            }
            fallback = given == Py_None ? nullptr : given;
        } else if (PyUnicode_CompareWithASCIIString(name, "canonical") == 0) {
            const int truth = PyObject_IsTrue(given);
            if (truth < 0) return nullptr;
            canonical = truth == 1;
        } else if (PyUnicode_CompareWithASCIIString(name, "max_depth") == 0) {
            if (!max_depth_argument(given, &max_depth)) return nullptr;
        } else {
            PyErr_Format(PyExc_TypeError, "encode() got an unexpected keyword argument '%U'", name);
            return nullptr;
        }
    }
    Encoder encoder(fallback, canonical, max_depth);
    return encoder.run(args[0]);
}

PyMethodDef encode_method = {
    "encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL | METH_KEYWORDS,
    "encode(value, /, *, default=None, canonical=False, max_depth=1500)\n--\n\n"
    "Encode value as one CBOR data item: definite lengths, shortest heads,\n"
    "the narrowest float that keeps the value. None, bool, int of any size,\n"
    "float, str, bytes-like objects, lists, tuples, dicts, sets, datetimes\n"
    "(aware), dates, Decimal, Fraction, UUID, CBORTag, CBORSimpleValue and\n"
    "undefined are written as themselves (subclasses as their base type);\n"
    "anything else is replaced by what default(obj) returns. With\n"
    "canonical=True map keys and set members are sorted by their encodings\n"
    "(RFC 8949 section 4.2.1), so equal values give equal bytes. Raises\n"
    "TypeError for a value it cannot encode and ValueError for a container\n"
    "that holds itself or nesting deeper than max_depth, naming where in\n"
    "the value it sits.\n"};

}  // namespace

void register_encode(py::module_ &cbor) {
    PyObject *function = PyCFunction_NewEx(&encode_method, nullptr, cbor.attr("__name__").ptr());
    if (function == nullptr) throw py::error_already_set();
    cbor.attr("encode") = py::reinterpret_steal<py::object>(function);
}
