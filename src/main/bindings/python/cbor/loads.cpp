#include "loads.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "cbor_reader.h"
#include "main/python_compat.h"
#include "semantic_tags.h"

namespace py = pybind11;

namespace {

// What the module's types and singletons are; set once by register_loads.
PyObject *decode_error = nullptr;
PyTypeObject *tag_type = nullptr;
PyTypeObject *simple_type = nullptr;
PyObject *undefined = nullptr;

const size_t default_max_depth = 1500;

// --- CBORTag: an immutable (tag, value) pair --------------------------------

struct TagObject {
    PyObject_HEAD
    PyObject *tag;
    PyObject *value;
};

PyObject *make_tag(PyObject *tag, PyObject *value) {
    auto *self = PyObject_GC_New(TagObject, tag_type);
    if (self == nullptr) return nullptr;
    self->tag = Py_NewRef(tag);
    self->value = Py_NewRef(value);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *tag_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"tag", "value", nullptr};
    PyObject *tag = nullptr;
    PyObject *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O:CBORTag", const_cast<char **>(names), &PyLong_Type, &tag,
                                     &value))
        return nullptr;
    PyLong_AsUnsignedLongLong(tag);
    if (PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "a CBOR tag number is an integer from 0 to 2**64-1");
        return nullptr;
    }
    return make_tag(tag, value);
}

int tag_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(tag->tag);
    Py_VISIT(tag->value);
    return 0;
}

int tag_clear(PyObject *self) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    Py_CLEAR(tag->tag);
    Py_CLEAR(tag->value);
    return 0;
}

void tag_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tag_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *tag_repr(PyObject *self) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    return PyUnicode_FromFormat("CBORTag(%R, %R)", tag->tag, tag->value);
}

PyObject *tag_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != tag_type || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    auto *a = reinterpret_cast<TagObject *>(self);
    auto *b = reinterpret_cast<TagObject *>(other);
    int same = PyObject_RichCompareBool(a->tag, b->tag, Py_EQ);
    if (same == 1) same = PyObject_RichCompareBool(a->value, b->value, Py_EQ);
    if (same < 0) return nullptr;
    return PyBool_FromLong((same == 1) == (op == Py_EQ));
}

Py_hash_t tag_hash(PyObject *self) {
    auto *tag = reinterpret_cast<TagObject *>(self);
    PyObject *pair = PyTuple_Pack(2, tag->tag, tag->value);
    if (pair == nullptr) return -1;
    const Py_hash_t hash = PyObject_Hash(pair);
    Py_DECREF(pair);
    return hash;
}

PyMemberDef tag_members[] = {
    {"tag", Py_T_OBJECT_EX, offsetof(TagObject, tag), Py_READONLY, "the tag number"},
    {"value", Py_T_OBJECT_EX, offsetof(TagObject, value), Py_READONLY, "the tagged item"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot tag_slots[] = {
    {Py_tp_doc, const_cast<char *>("CBORTag(tag, value)\n--\n\nA CBOR tag (major type 6) that loads does not "
                                   "interpret: its number and its item.")},
    {Py_tp_new, reinterpret_cast<void *>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(tag_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tag_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(tag_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(tag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(tag_hash)},
    {Py_tp_members, tag_members},
    {0, nullptr},
};

PyType_Spec tag_spec = {"ostrel_core.cbor.CBORTag", sizeof(TagObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, tag_slots};

// --- CBORSimpleValue: a simple value other than false, true, null, undefined --

struct SimpleObject {
    PyObject_HEAD
    unsigned char value;
};

PyObject *make_simple(uint64_t value) {
    auto *self = PyObject_New(SimpleObject, simple_type);
    if (self == nullptr) return nullptr;
    self->value = static_cast<unsigned char>(value);
    return reinterpret_cast<PyObject *>(self);
}

PyObject *simple_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"value", nullptr};
    int value = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:CBORSimpleValue", const_cast<char **>(names), &value))
        return nullptr;
    if (value < 0 || value > 255 || (value >= 20 && value <= 31)) {
        PyErr_SetString(PyExc_ValueError, "a CBOR simple value is 0-19 or 32-255 (20-23 are False, True, None "
                                          "and undefined; 24-31 are reserved)");
        return nullptr;
    }
    return make_simple(static_cast<uint64_t>(value));
}

void simple_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *simple_repr(PyObject *self) {
    return PyUnicode_FromFormat("CBORSimpleValue(%d)", reinterpret_cast<SimpleObject *>(self)->value);
}

PyObject *simple_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != simple_type || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool same = reinterpret_cast<SimpleObject *>(self)->value == reinterpret_cast<SimpleObject *>(other)->value;
    return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t simple_hash(PyObject *self) { return 0x5100 + reinterpret_cast<SimpleObject *>(self)->value; }

PyMemberDef simple_members[] = {
    {"value", Py_T_UBYTE, offsetof(SimpleObject, value), Py_READONLY, "the simple value, 0-19 or 32-255"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot simple_slots[] = {
    {Py_tp_doc, const_cast<char *>("CBORSimpleValue(value)\n--\n\nA CBOR simple value (major type 7) without a "
                                   "Python counterpart.")},
    {Py_tp_new, reinterpret_cast<void *>(simple_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(simple_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(simple_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(simple_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(simple_hash)},
    {Py_tp_members, simple_members},
    {0, nullptr},
};

PyType_Spec simple_spec = {"ostrel_core.cbor.CBORSimpleValue", sizeof(SimpleObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, simple_slots};

// --- undefined: the one instance of UndefinedType, false in a truth test -----

PyObject *undefined_repr(PyObject *) { return PyUnicode_FromString("undefined"); }
int undefined_bool(PyObject *) { return 0; }

PyType_Slot undefined_slots[] = {
    {Py_tp_doc, const_cast<char *>("The type of cbor.undefined, the CBOR simple value undefined.")},
    {Py_tp_repr, reinterpret_cast<void *>(undefined_repr)},
    {Py_nb_bool, reinterpret_cast<void *>(undefined_bool)},
    {0, nullptr},
};

PyType_Spec undefined_spec = {"ostrel_core.cbor.UndefinedType", sizeof(PyObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                  Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              undefined_slots};

// --- Values ------------------------------------------------------------------

// -1 - argument; below -2**63 it no longer fits a long long.
PyObject *negative(uint64_t argument) {
    if (argument <= static_cast<uint64_t>(LLONG_MAX)) return PyLong_FromLongLong(-1 - static_cast<long long>(argument));
    PyObject *magnitude = PyLong_FromUnsignedLongLong(argument);
    if (magnitude == nullptr) return nullptr;
    PyObject *value = PyNumber_Invert(magnitude);
    Py_DECREF(magnitude);
    return value;
}

// The reader has validated the UTF-8; ASCII is copied straight in.
PyObject *text(const uint8_t *bytes, size_t length, bool ascii) {
    if (!ascii) return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(bytes), static_cast<Py_ssize_t>(length),
                                            "strict");
    PyObject *value = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (value != nullptr) std::memcpy(PyUnicode_DATA(value), bytes, length);
    return value;
}

// Map keys repeat from one map to the next, and so do many values (field
// types, names, states): short ASCII strings are kept in a small
// direct-mapped cache across calls, so that a repeated one costs no new
// string and its hash is computed once. The cache is only touched under
// the interpreter lock.
const size_t text_cache_bits = 11;
const size_t text_cache_longest = 64;
PyObject *text_cache[size_t{1} << text_cache_bits];

// Equality of two runs of length bytes (at most text_cache_longest), in
// word loads rather than a call: most are a few bytes long.
bool same_bytes(const uint8_t *a, const uint8_t *b, size_t length) {
    if (length >= 8) {
        uint64_t x = 0, y = 0;
        for (size_t at = 0; at + 8 < length; at += 8) {
            std::memcpy(&x, a + at, 8);
            std::memcpy(&y, b + at, 8);
            if (x != y) return false;
        }
        std::memcpy(&x, a + length - 8, 8);
        std::memcpy(&y, b + length - 8, 8);
        return x == y;
    }
    if (length >= 4) {
        uint32_t x = 0, y = 0, z = 0, w = 0;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&z, a + length - 4, 4);
        std::memcpy(&w, b + length - 4, 4);
        return x == y && z == w;
    }
    for (size_t i = 0; i < length; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

PyObject *cached_text(const uint8_t *bytes, size_t length, bool ascii) {
    if (!ascii || length > text_cache_longest) return text(bytes, length, ascii);
    // The slot comes from the length and the first and last bytes, read in
    // loads that stay within the string.
    uint64_t low = 0, high = 0;
    if (length >= 8) {
        std::memcpy(&low, bytes, 8);
        std::memcpy(&high, bytes + length - 8, 8);
    } else if (length >= 4) {
        uint32_t first = 0, last = 0;
        std::memcpy(&first, bytes, 4);
        std::memcpy(&last, bytes + length - 4, 4);
        low = first;
        high = last;
    } else if (length > 0) {
        low = uint64_t{bytes[0]} | uint64_t{bytes[length / 2]} << 8 | uint64_t{bytes[length - 1]} << 16;
    }
    const uint64_t mixed = (low ^ (high * UINT64_C(0x9e3779b97f4a7c15)) ^ length) * UINT64_C(0xff51afd7ed558ccd);
    PyObject *&slot = text_cache[mixed >> (64 - text_cache_bits)];
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == length &&
        same_bytes(static_cast<const uint8_t *>(PyUnicode_DATA(slot)), bytes, length))
        return Py_NewRef(slot);
    PyObject *value = text(bytes, length, true);
    if (value != nullptr) Py_XSETREF(slot, Py_NewRef(value));
    return value;
}

PyObject *simple(uint64_t value) {
    switch (value) {
    case 20: return Py_NewRef(Py_False);
    case 21: return Py_NewRef(Py_True);
    case 22: return Py_NewRef(Py_None);
    case 23: return Py_NewRef(undefined);
    default: return make_simple(value);
    }
}

void raise_error(size_t offset, const char *reason) {
    PyErr_Format(decode_error, "at byte %zu: %s", offset, reason);
}

// --- The decoder ---------------------------------------------------------------

// One open array, map, tag or indefinite string, as it is being built.
struct Frame {
    enum Kind : uint8_t { list, appended_list, tuple, appended_tuple, dict, tag, chunks };
    PyObject *container;  // list, tuple, dict; a tag's item; the chunks' bytes so far
    PyObject *key;        // a map's key waiting for its value
    uint64_t argument;    // tag number; for chunks, the major type
    size_t offset;        // of the opening head
    Py_ssize_t index;     // next slot of a list or tuple; bytes used in chunks
    Kind kind;
    bool hashable;        // inside a map key: arrays become tuples, maps are refused
};

// The open frames, on a stack that grows on the heap past a few levels, so
// that any nesting the reader admits takes no native stack.
class Frames {
public:
    Frames() = default;
    ~Frames() {
        for (size_t i = 0; i < depth; ++i) {
            Py_XDECREF(frames[i].container);
            Py_XDECREF(frames[i].key);
        }
        if (frames != inline_frames) PyMem_Free(frames);
    }
    Frames(const Frames &) = delete;
    Frames &operator=(const Frames &) = delete;

    bool empty() const { return depth == 0; }
    Frame &top() { return frames[depth - 1]; }

    // Takes the container; false (with MemoryError) if the stack cannot grow.
    bool push(const Frame &frame) {
        if (depth == capacity && !grow()) {
            Py_XDECREF(frame.container);
            return false;
        }
        frames[depth++] = frame;
        return true;
    }

    Frame pop() { return frames[--depth]; }

private:
    bool grow() {
        const size_t grown = capacity * 2;
        Frame *moved = frames == inline_frames ? PyMem_New(Frame, grown) : PyMem_Resize(frames, Frame, grown);
        if (moved == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (frames == inline_frames) std::memcpy(moved, inline_frames, sizeof inline_frames);
        frames = moved;
        capacity = grown;
        return true;
    }

    static const size_t inline_count = 32;
    Frame inline_frames[inline_count];
    Frame *frames = inline_frames;
    size_t depth = 0;
    size_t capacity = inline_count;
};

// Puts a finished value (stolen) into the innermost open container.
bool attach(Frame &frame, PyObject *value) {
    switch (frame.kind) {
    case Frame::list:
        PyList_SET_ITEM(frame.container, frame.index++, value);
        return true;
    case Frame::tuple:
        PyTuple_SET_ITEM(frame.container, frame.index++, value);
        return true;
    case Frame::appended_list:
    case Frame::appended_tuple: {
        const int failed = PyList_Append(frame.container, value);
        Py_DECREF(value);
        return failed == 0;
    }
    case Frame::dict: {
        if (frame.key == nullptr) {
            frame.key = value;
            return true;
        }
        const int failed = PyDict_SetItem(frame.container, frame.key, value);
        Py_DECREF(value);
        Py_CLEAR(frame.key);
        return failed == 0;
    }
    default:  // a tag: its one item
        frame.container = value;
        return true;
    }
}

// Appends a chunk of an indefinite string to the bytes so far, doubling.
bool append_chunk(Frame &frame, const uint8_t *bytes, size_t length) {
    const Py_ssize_t size = PyBytes_GET_SIZE(frame.container);
    if (static_cast<size_t>(size - frame.index) < length) {
        const size_t needed = static_cast<size_t>(frame.index) + length;
        const size_t doubled = static_cast<size_t>(size) * 2;
        if (_PyBytes_Resize(&frame.container, static_cast<Py_ssize_t>(doubled > needed ? doubled : needed)) < 0)
            return false;
    }
    std::memcpy(PyBytes_AS_STRING(frame.container) + frame.index, bytes, length);
    frame.index += static_cast<Py_ssize_t>(length);
    return true;
}

// The value of a closed frame (new reference), or NULL with an error set.
PyObject *finish(Frame &frame) {
    switch (frame.kind) {
    case Frame::appended_tuple: {
        PyObject *value = PyList_AsTuple(frame.container);
        Py_DECREF(frame.container);
        return value;
    }
    case Frame::tag: {
        PyObject *item = frame.container;
        PyObject *value = nullptr;
        if (frame.argument == 2 || frame.argument == 3) {
            if (!PyBytes_CheckExact(item)) {
                PyErr_Format(decode_error, "at byte %zu: a bignum (tag %d) that does not hold a byte string",
                             frame.offset, static_cast<int>(frame.argument));
            } else {
                value = _PyLong_FromByteArray(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(item)),
                                              static_cast<size_t>(PyBytes_GET_SIZE(item)), 0, 0);
                if (value != nullptr && frame.argument == 3) Py_SETREF(value, PyNumber_Invert(value));
            }
        } else if (decodes_tag(frame.argument)) {
            const char *reason = nullptr;
            value = tagged_value(frame.argument, item, frame.hashable, &reason);
            if (reason != nullptr) raise_error(frame.offset, reason);
        } else {
            PyObject *number = PyLong_FromUnsignedLongLong(frame.argument);
            if (number != nullptr) value = make_tag(number, item);
            Py_XDECREF(number);
        }
        Py_DECREF(item);
        return value;
    }
    case Frame::chunks: {
        PyObject *bytes = frame.container;
        if (frame.argument == 2) {
            if (_PyBytes_Resize(&bytes, frame.index) < 0) return nullptr;
            return bytes;
        }
        PyObject *value = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), frame.index, "strict");
        Py_DECREF(bytes);
        return value;
    }
    default:
        return frame.container;
    }
}

PyObject *decode(const uint8_t *data, size_t len, size_t max_depth) {
    cbor_reader *reader = cbor_reader_create(data, len, max_depth);
    if (reader == nullptr) return PyErr_NoMemory();
    Frames frames;
    PyObject *result = nullptr;
    // Events come in batches: one call into the reader for many items.
    cbor_event events[64];
    size_t filled = 0, next = 0;
    for (;;) {
        if (next == filled) {
            filled = cbor_reader_read(reader, events, sizeof events / sizeof events[0]);
            next = 0;
        }
        const cbor_event &e = events[next++];
        PyObject *value = nullptr;
        switch (e.type) {
        case CBOR_EVENT_UINT:
            value = PyLong_FromUnsignedLongLong(e.argument);
            break;
        case CBOR_EVENT_NEGINT:
            value = negative(e.argument);
            break;
        case CBOR_EVENT_BYTES:
        case CBOR_EVENT_TEXT: {
            const uint64_t major = e.type == CBOR_EVENT_BYTES ? 2 : 3;
            if (e.indefinite) {
                PyObject *bytes = PyBytes_FromStringAndSize(nullptr, 0);
                if (bytes == nullptr || !frames.push({bytes, nullptr, major, e.offset, 0, Frame::chunks, false}))
                    goto failed;
                continue;
            }
            const size_t length = static_cast<size_t>(e.argument);
            if (!frames.empty()) {
                Frame &top = frames.top();
                if (top.kind == Frame::chunks) {
                    if (!append_chunk(top, e.bytes, length)) goto failed;
                    continue;
                }
            }
            value = major == 2 ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(e.bytes),
                                                           static_cast<Py_ssize_t>(length))
                               : cached_text(e.bytes, length, e.ascii);
            break;
        }
        case CBOR_EVENT_ARRAY:
        case CBOR_EVENT_MAP:
        case CBOR_EVENT_TAG: {
            bool hashable = false;
            if (!frames.empty()) {
                const Frame &top = frames.top();
                hashable = top.hashable || (top.kind == Frame::dict && top.key == nullptr) ||
                           (top.kind == Frame::tag && top.argument == tag_set);
            }
            Frame frame = {nullptr, nullptr, e.argument, e.offset, 0, Frame::tag, hashable};
            const Py_ssize_t count = static_cast<Py_ssize_t>(e.argument);
            if (e.type == CBOR_EVENT_ARRAY) {
                if (hashable) {
                    frame.kind = e.indefinite ? Frame::appended_tuple : Frame::tuple;
                    frame.container = e.indefinite ? PyList_New(0) : PyTuple_New(count);
                } else {
                    frame.kind = e.indefinite ? Frame::appended_list : Frame::list;
                    frame.container = PyList_New(e.indefinite ? 0 : count);
                }
                if (frame.container == nullptr) goto failed;
            } else if (e.type == CBOR_EVENT_MAP) {
                if (hashable) {
                    raise_error(e.offset, "a map inside a map key or a set (Python cannot hash a dict)");
                    goto failed;
                }
                frame.kind = Frame::dict;
                frame.container = e.indefinite ? PyDict_New() : _PyDict_NewPresized(count);
                if (frame.container == nullptr) goto failed;
            }
            if (!frames.push(frame)) goto failed;
            continue;
        }
        case CBOR_EVENT_SIMPLE:
            value = simple(e.argument);
            break;
        case CBOR_EVENT_FLOAT:
            value = PyFloat_FromDouble(e.number);
            break;
        case CBOR_EVENT_END: {
            Frame frame = frames.pop();
            value = finish(frame);
            break;
        }
        case CBOR_EVENT_DONE:
            cbor_reader_free(reader);
            return result;
        default: {
            size_t offset = 0;
            const int code = cbor_reader_error(reader, &offset);
            if (code == CBOR_READ_MEMORY)
                PyErr_NoMemory();
            else if (code == CBOR_READ_DEPTH)
                PyErr_Format(decode_error, "at byte %zu: an item nested deeper than max_depth=%zu", offset, max_depth);
            else
                raise_error(offset, cbor_reader_error_text(code));
            goto failed;
        }
        }
        if (value == nullptr) goto failed;
        if (frames.empty()) {
            result = value;
        } else if (!attach(frames.top(), value)) {
            goto failed;
        }
    }
failed:
    Py_XDECREF(result);
    cbor_reader_free(reader);
    return nullptr;
}

// loads(data, /, *, max_depth=1500)
PyObject *loads(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "loads() takes exactly one positional argument (%zd given)", nargs);
        return nullptr;
    }
    size_t max_depth = default_max_depth;
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(name, "max_depth") != 0) {
            PyErr_Format(PyExc_TypeError, "loads() got an unexpected keyword argument '%U'", name);
            return nullptr;
        }
        if (!max_depth_argument(args[nargs + i], &max_depth)) return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject *result = decode(static_cast<const uint8_t *>(view.buf), static_cast<size_t>(view.len), max_depth);
    PyBuffer_Release(&view);
    return result;
}

PyMethodDef loads_method = {
    "loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads)), METH_FASTCALL | METH_KEYWORDS,
    "loads(data, /, *, max_depth=1500)\n--\n\n"
    "Decode the one CBOR data item that data (any C-contiguous bytes-like\n"
    "object) holds. Items may nest max_depth levels deep. Tags 0 and 1\n"
    "become aware datetimes, 100 and 1004 dates, 4 Decimal, 30 Fraction,\n"
    "37 UUID, 258 set (frozenset inside a map key or a set), 2 and 3 int;\n"
    "tag 55799 is dropped and other tags are CBORTag. Raises\n"
    "CBORDecodeError, naming the byte offset and the reason, for anything\n"
    "that is not exactly one well-formed item, or a malformed tag of those.\n"};

}  // namespace

bool max_depth_argument(PyObject *given, size_t *max_depth) {
    if (!PyLong_Check(given) || PyBool_Check(given)) {
        PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %.100s", Py_TYPE(given)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long depth = PyLong_AsLongLongAndOverflow(given, &overflow);
    if (depth == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && depth < 0)) {
        PyErr_SetString(PyExc_ValueError, "max_depth must be 0 or more");
        return false;
    }
    *max_depth = overflow > 0 || static_cast<unsigned long long>(depth) > SIZE_MAX ? SIZE_MAX
                                                                                  : static_cast<size_t>(depth);
    return true;
}

bool cbor_tag_parts(PyObject *object, PyObject **number, PyObject **item) {
    if (Py_TYPE(object) != tag_type) return false;
    auto *tag = reinterpret_cast<TagObject *>(object);
    *number = tag->tag;
    *item = tag->value;
    return true;
}

int cbor_simple_value(PyObject *object) {
    return Py_TYPE(object) == simple_type ? reinterpret_cast<SimpleObject *>(object)->value : -1;
}

PyObject *cbor_undefined() { return undefined; }

void register_loads(py::module_ &cbor) {
    if (!semantic_tags_ready()) throw py::error_already_set();
    decode_error = PyErr_NewExceptionWithDoc(
        "ostrel_core.cbor.CBORDecodeError",
        "Raised by loads for input that is not exactly one well-formed CBOR item, or that is nested too deeply.",
        PyExc_ValueError, nullptr);
    if (decode_error == nullptr) throw py::error_already_set();
    cbor.attr("CBORDecodeError") = py::reinterpret_borrow<py::object>(decode_error);

    PyObject *types[3] = {type_from_spec(tag_spec), type_from_spec(simple_spec), type_from_spec(undefined_spec)};
    for (PyObject *type : types)
        if (type == nullptr) throw py::error_already_set();
    tag_type = reinterpret_cast<PyTypeObject *>(types[0]);
    simple_type = reinterpret_cast<PyTypeObject *>(types[1]);
    cbor.attr("CBORTag") = py::reinterpret_borrow<py::object>(types[0]);
    cbor.attr("CBORSimpleValue") = py::reinterpret_borrow<py::object>(types[1]);
    cbor.attr("UndefinedType") = py::reinterpret_borrow<py::object>(types[2]);

    auto *undefined_type = reinterpret_cast<PyTypeObject *>(types[2]);
    undefined = undefined_type->tp_alloc(undefined_type, 0);
    if (undefined == nullptr) throw py::error_already_set();
    cbor.attr("undefined") = py::reinterpret_borrow<py::object>(undefined);

    PyObject *function = PyCFunction_NewEx(&loads_method, nullptr, cbor.attr("__name__").ptr());
    if (function == nullptr) throw py::error_already_set();
    cbor.attr("loads") = py::reinterpret_steal<py::object>(function);
}
