#include "compute_apply.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "byte_view.h"
#include "delta_apply.h"
#include "delta_check.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "delta_optimal.h"
#include "shared_history.h"

namespace py = pybind11;

namespace {

const char *const compute_doc = R"(
    The delta that turns 'old' into 'new', as bytes.

    method="match" (default) matches against an index of 'old' at 'level'
    (1 fastest to 5 smallest, each never larger than the level below; None:
    the default, which adapts to the values); level 6 gives the smallest
    delta the format can express, for old and new of at most 512 MiB
    together, and calls 'progress(stage, done, total)' now and then when it
    is given (stages "suffix array", "longest matches", "parse"; an
    exception it raises stops the work and propagates). method="myers"
    gives exactly the bytes of diff(), with 'search_limit' steps, its effort
    graded by 'history' when one is given. check=True puts a check record in front (at most 45
    bytes: the lengths and XXH3-64 digests of 'old' and 'new'), so that
    apply() refuses a wrong base or damaged bytes. 'old' and 'new' are any
    C-contiguous buffers of bytes, read in place; the interpreter lock is
    released while large values are diffed.
    )";

const char *const apply_doc = R"(
    The value 'delta' builds from 'old', as bytes.

    ValueError, naming the byte offset and the reason, for a malformed
    delta, and for one whose result would be longer than 'max_size' (known
    before any memory is taken for it). The no-change delta f6 gives 'old'.

    A delta's check record is verified by default: CheckError when 'old' is
    not the value the delta was made from (before any memory is taken for
    the result) or the result is not the value it was made for.
    check=True also refuses a delta without a record; check=False applies
    without verifying.
    )";

const char *const index_doc = R"(
    The index of one old value, built once for many deltas against it.

    Index(old, level=None).compute(new, check=False) gives exactly the
    bytes of compute(old, new, level=level, check=check). The index holds 'old' (any C-contiguous
    buffer of bytes, read in place) for its lifetime: a bytearray or mmap
    cannot be resized or closed meanwhile. Any number of threads may
    compute against one index at once; the interpreter lock is released
    while it is built and while large values are diffed. 'nbytes' is the
    memory the index takes beside 'old'.
    )";

const char *const check_record_doc = R"(
    The check record at the start of 'delta', as a dict: 'size' (bytes it
    takes), 'old_size' and 'old_digest', 'new_size' and 'new_digest' (the
    lengths and XXH3-64 digests of the values it was made from and for);
    None for a delta without one. ValueError, naming the byte offset, for a
    damaged or cut record.
    )";

const char *const check_error_doc =
    "Raised by apply when a checked delta does not fit: the old value is not the one it was made from, the "
    "result is not the one it was made for, or check=True and the delta has no check record.";

PyObject *check_error = nullptr;

// Inputs from which the interpreter lock is let go while the core works.
// Letting it go and taking it back costs about 0.15 us when no other
// thread wants it (and up to a switch interval when one does); from these
// sizes the work costs some twenty times that or more (bench/threads.py:
// a delta of two 2 KiB values about 20 us, a 64 KiB result about 3 us).
constexpr size_t compute_release_from = 4096;  // bytes of old and new together
constexpr size_t apply_release_from = 65536;   // bytes of delta and result together

// Runs work, without the interpreter lock when release is set.
template <typename Work>
auto unlocked_if(bool release, Work work) {
    if (!release) return work();
    py::gil_scoped_release unlocked;
    return work();
}

py::bytes take_bytes(buf *result) {
    std::unique_ptr<buf, void (*)(buf *)> owned(result, buf_free);
    if (!owned) throw std::bad_alloc();
    PyObject *bytes = PyBytes_FromStringAndSize(owned->data, static_cast<Py_ssize_t>(owned->len));
    if (bytes == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes);
}

int match_level(py::handle level, const char *function) {
    if (level.is_none()) return DIFF_MATCH_DEFAULT_LEVEL;
    return static_cast<int>(int_argument(level, function, "level", DIFF_MATCH_MIN_LEVEL, DIFF_MATCH_MAX_LEVEL));
}

void refuse_too_long(const buf *value, const char *function) {
    if (value->len > INT32_MAX)
        throw py::value_error(std::string(function) +
                              "(): values longer than 2147483647 bytes cannot be described by a delta");
}

// Level 6 sorts the suffixes of old and new together: past this size it
// would need more memory than the machines it is meant for have.
void refuse_past_optimal_limit(const buf *o, const buf *n, int level, const char *function) {
    if (level == DIFF_MATCH_MAX_LEVEL && o->len + n->len > DIFF_OPTIMAL_MAX_TOTAL)
        throw py::value_error(std::string(function) + "(): level " + std::to_string(DIFF_MATCH_MAX_LEVEL) +
                              " takes old and new of at most " + std::to_string(DIFF_OPTIMAL_MAX_TOTAL) +
                              " bytes (512 MiB) together, not " + std::to_string(o->len + n->len));
}

// Hands diff_optimal_binary's progress to a Python callable, with the
// interpreter lock taken for the call (the work runs without it). An
// exception the callable raises stays set in this thread and stops the work.
int call_progress(void *callable, int stage, uint64_t done, uint64_t total) {
    static const char *const stages[] = {"suffix array", "longest matches", "parse"};
    py::gil_scoped_acquire locked;
    try {
        (*static_cast<py::object *>(callable))(stages[stage], done, total);
        return 0;
    } catch (py::error_already_set &e) {
        e.restore();
        return 1;
    }
}

buf *compute_optimal(const buf *o, const buf *n, py::object &progress) {
    if (progress.is_none()) return diff_optimal_binary(o, n, nullptr, nullptr);
    buf *result = diff_optimal_binary(o, n, call_progress, &progress);
    if (result == nullptr) {
        py::gil_scoped_acquire locked;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return result;
}

py::bytes compute(py::object old_value, py::object new_value, const std::string &method, py::object level,
                  py::object search_limit, SharedHistory *history, bool check, py::object progress) {
    bool myers = method == "myers";
    if (!myers && method != "match")
        throw py::value_error("compute(): method must be 'match' or 'myers', not '" + method + "'");
    auto limit = static_cast<int32_t>(int_argument(search_limit, "compute", "search_limit", 0, INT32_MAX));
    if (myers && !level.is_none())
        throw py::value_error("compute(): level is for method='match'; method='myers' takes search_limit and history");
    if (!myers && (history != nullptr || limit != DIFF_DEFAULT_SEARCH_LIMIT))
        throw py::value_error(std::string("compute(): ") + (history ? "history" : "search_limit") +
                              " is for method='myers'; method='match' takes a level");
    int chosen_level = myers ? 0 : match_level(level, "compute");
    const bool optimal = chosen_level == DIFF_MATCH_MAX_LEVEL;
    if (!optimal && !progress.is_none())
        throw py::value_error("compute(): progress is reported at level " + std::to_string(DIFF_MATCH_MAX_LEVEL) +
                              " only");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error(std::string("compute() argument 'progress' must be callable, not ") +
                             Py_TYPE(progress.ptr())->tp_name);
    ByteView old_view(old_value, "compute", "old"), new_view(new_value, "compute", "new");
    const buf *o = old_view.get(), *n = new_view.get();
    refuse_too_long(o, "compute");
    refuse_too_long(n, "compute");
    refuse_past_optimal_limit(o, n, chosen_level, "compute");

    bool release = o->len + n->len >= compute_release_from;
    return take_bytes(unlocked_if(release, [&] {
        buf *delta = optimal ? compute_optimal(o, n, progress)
                     : !myers ? diff_match_binary(o, n, chosen_level)
                     : history ? history->generate(o, n, limit)
                               : diff_generate_binary_with_activity_history_ex(nullptr, o, n,
                                                                               DIFF_DEFAULT_STORAGE_LIMIT, limit);
        return check ? diff_check_prepend(o, n, delta) : delta;
    }));
}

[[noreturn]] void raise_check_error(int code) {
    std::string message = code == DIFF_APPLY_NO_RECORD ? "check=True and the delta has no check record"
                                                       : diff_apply_reason(code);
    PyErr_SetString(check_error, ("apply(): " + message).c_str());
    throw py::error_already_set();
}

py::bytes apply(py::object old_value, py::object delta, py::object max_size, py::object check) {
    long long limit = max_size.is_none() ? PY_SSIZE_T_MAX
                                         : int_argument(max_size, "apply", "max_size", 0, INT64_MAX);
    if (limit > PY_SSIZE_T_MAX) limit = PY_SSIZE_T_MAX;
    ByteView old_view(old_value, "apply", "old"), delta_view(delta, "apply", "delta");
    const buf *o = old_view.get(), *d = delta_view.get();
    if (!check.is_none() && !PyBool_Check(check.ptr()))
        throw py::type_error("apply(): check must be None, True or False, not " +
                             std::string(Py_TYPE(check.ptr())->tp_name));
    int mode = check.is_none() ? DIFF_CHECK_WHEN_PRESENT
               : check.ptr() == Py_True ? DIFF_CHECK_REQUIRED
                                        : DIFF_CHECK_SKIPPED;

    uint64_t length = 0;
    size_t offset = 0;
    bool digests_old = mode != DIFF_CHECK_SKIPPED && o->len >= apply_release_from;
    int code = unlocked_if(d->len >= apply_release_from || digests_old, [&] {
        return diff_apply_checked(o, d, mode, static_cast<uint64_t>(limit), &length, &offset);
    });
    std::string at = " at byte " + std::to_string(offset);
    if (code == DIFF_APPLY_TOO_LONG && !max_size.is_none())
        throw py::value_error("apply(): the delta builds more than max_size=" + std::to_string(limit) +
                              " bytes: the item" + at + " passes it");
    if (code == DIFF_APPLY_TOO_LONG)
        throw py::value_error("apply(): the delta builds more than a bytes object can hold: the item" + at +
                              " passes it");
    if (code == DIFF_APPLY_NO_RECORD || code == DIFF_APPLY_WRONG_OLD || code == DIFF_APPLY_WRONG_RESULT)
        raise_check_error(code);
    if (code != DIFF_APPLY_OK)
        throw py::value_error("apply(): malformed delta" + at + ": " + diff_apply_reason(code));

    // The no-change delta, or a verified record naming the old value as the
    // new one: an old value that is a bytes object already is the result.
    diff_check_record record;
    bool same = d->len == 1 && static_cast<uint8_t>(d->data[0]) == 0xf6;
    if (!same && mode != DIFF_CHECK_SKIPPED && diff_check_read(d, &record, &offset) == DIFF_APPLY_OK)
        same = record.size > 0 && record.new_length == record.old_length && record.new_digest == record.old_digest;
    if (same && PyBytes_CheckExact(old_view.object()))
        return py::reinterpret_borrow<py::bytes>(old_view.object());
    PyObject *result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (result == nullptr) throw py::error_already_set();
    py::bytes owned = py::reinterpret_steal<py::bytes>(result);
    char *out = PyBytes_AS_STRING(result);
    size_t written = 0;
    code = unlocked_if(d->len + length >= apply_release_from, [&] {
        return diff_apply_checked_fill(o, d, mode, out, static_cast<size_t>(length), &written);
    });
    if (code != DIFF_APPLY_OK) raise_check_error(code);
    if (written != length)
        throw py::value_error("apply(): the delta or the old value was written to during the call");
    return owned;
}

// delta.Index: the core's index and the old value's buffer, both held
// until the object goes. The index is only read after it is built, so
// computes run side by side without a lock of their own.
class MatchIndex {
public:
    MatchIndex(py::object old_value, py::object level)
        : chosen_level(match_level(level, "Index")), old_view(old_value, "Index", "old") {
        const buf *o = old_view.get();
        refuse_too_long(o, "Index");
        index = unlocked_if(o->len >= compute_release_from, [&] { return diff_match_index_build(o, chosen_level); });
        if (index == nullptr) throw std::bad_alloc();
    }
    ~MatchIndex() { diff_match_index_free(index); }
    MatchIndex(const MatchIndex &) = delete;
    MatchIndex &operator=(const MatchIndex &) = delete;

    py::bytes compute(py::object new_value, bool check) {
        ByteView new_view(new_value, "Index.compute", "new");
        const buf *o = old_view.get(), *n = new_view.get();
        refuse_too_long(n, "Index.compute");
        refuse_past_optimal_limit(o, n, chosen_level, "Index.compute");
        bool release = o->len + n->len >= compute_release_from;
        return take_bytes(unlocked_if(release, [&] {
            buf *delta = diff_match_index_compute(index, n);
            return check ? diff_check_prepend(o, n, delta) : delta;
        }));
    }

    py::object level() const {
        return chosen_level == DIFF_MATCH_DEFAULT_LEVEL ? py::none() : py::object(py::int_(chosen_level));
    }
    size_t nbytes() const { return diff_match_index_size(index); }
    py::object old() const { return py::reinterpret_borrow<py::object>(old_view.object()); }

private:
    const int chosen_level;
    ByteView old_view;
    diff_match_index *index = nullptr;
};

py::object check_record(py::object delta) {
    ByteView view(delta, "check_record", "delta");
    diff_check_record record;
    size_t offset = 0;
    int code = diff_check_read(view.get(), &record, &offset);
    if (code != DIFF_APPLY_OK)
        throw py::value_error("check_record(): malformed delta at byte " + std::to_string(offset) + ": " +
                              diff_apply_reason(code));
    if (record.size == 0) return py::none();
    py::dict fields;
    fields["size"] = record.size;
    fields["old_size"] = record.old_length;
    fields["old_digest"] = record.old_digest;
    fields["new_size"] = record.new_length;
    fields["new_digest"] = record.new_digest;
    return fields;
}

}  // namespace

void register_compute_apply(py::module_ &delta) {
    delta.def("compute", &compute, compute_doc, py::arg("old"), py::arg("new"), py::kw_only(),
              py::arg("method") = "match", py::arg("level") = py::none(),
              py::arg("search_limit") = DIFF_DEFAULT_SEARCH_LIMIT, py::arg("history") = py::none(),
              py::arg("check").noconvert() = false, py::arg("progress") = py::none());
    py::class_<MatchIndex>(delta, "Index", index_doc)
        .def(py::init<py::object, py::object>(), py::arg("old"), py::kw_only(), py::arg("level") = py::none())
        .def("compute", &MatchIndex::compute,
             "The delta from the index's old value to 'new', as bytes; check=True puts a check record in front, "
             "as compute(check=True) does.",
             py::arg("new"), py::kw_only(), py::arg("check").noconvert() = false)
        .def_property_readonly("level", &MatchIndex::level, "The level the index was built for (None: the default).")
        .def_property_readonly("nbytes", &MatchIndex::nbytes, "Bytes of memory the index takes beside 'old'.")
        .def_property_readonly("old", &MatchIndex::old, "The object whose bytes the index holds.");
    delta.def("apply", &apply, apply_doc, py::arg("old"), py::arg("delta"), py::kw_only(),
              py::arg("max_size") = py::none(), py::arg("check") = py::none());
    delta.def("check_record", &check_record, check_record_doc, py::arg("delta"));

    check_error = PyErr_NewExceptionWithDoc("ostrel_core.delta.CheckError", check_error_doc, PyExc_ValueError,
                                            nullptr);
    if (check_error == nullptr) throw py::error_already_set();
    delta.attr("CheckError") = py::reinterpret_borrow<py::object>(check_error);
}
