// The standard-library types that CBOR tags stand for: their tag numbers,
// the text forms of dates and times, and the values loads builds from
// tagged items. Everything here runs with the interpreter lock held.
#ifndef OSTREL_PYTHON_CBOR_SEMANTIC_TAGS_H
#define OSTREL_PYTHON_CBOR_SEMANTIC_TAGS_H

#include <Python.h>

#include <cstddef>
#include <cstdint>

enum SemanticTag : uint64_t {
    tag_date_time = 0,         // RFC 3339 text
    tag_epoch_time = 1,        // seconds since 1970-01-01T00:00Z, int or float
    tag_decimal = 4,           // [exponent, mantissa]: mantissa * 10**exponent
    tag_rational = 30,         // [numerator, denominator]
    tag_uuid = 37,             // 16 bytes
    tag_epoch_date = 100,      // days since 1970-01-01 (RFC 8943)
    tag_set = 258,             // an array of distinct members
    tag_full_date = 1004,      // "YYYY-MM-DD" (RFC 8943)
    tag_self_described = 55799 // marks CBOR, stands for its item
};

// Loads the datetime module's C interface; false with the exception set.
bool semantic_tags_ready();

// --- Encoding ------------------------------------------------------------------

bool is_datetime(PyObject *value);
// True for datetime.date and subclasses that are not datetimes.
bool is_date(PyObject *value);

// Room for the longest text below.
const size_t time_text_max = 40;

// The RFC 3339 text of an aware datetime into text: "Z" for a zero
// offset, the offset otherwise ("+05:30"), fractions of seconds only when
// not zero, without trailing zeros. An offset that is not whole minutes is
// written as the same instant in UTC. Returns the length; 0 for a naive
// datetime (no exception set); -1 with the exception set.
Py_ssize_t datetime_text(PyObject *value, char *text);
// "YYYY-MM-DD" of a date into text; returns 10.
Py_ssize_t date_text(PyObject *value, char *text);

enum StdClass { decimal_class, fraction_class, uuid_class };
// decimal.Decimal, fractions.Fraction or uuid.UUID (borrowed) once its
// module has been imported by anyone, else nullptr: no value can be an
// instance of a class that was never loaded. No exception is set.
PyObject *imported_class(StdClass which);

// --- Decoding ------------------------------------------------------------------

// Whether loads builds a value of its own for the tag.
bool decodes_tag(uint64_t number);

// The value that a tag decodes_tag holds for on item (borrowed): a set is a
// frozenset when hashable is set (inside a map key or a set). Returns a new
// reference; nullptr with *reason set and no exception for a malformed
// item; nullptr with an exception set when memory or an import failed.
PyObject *tagged_value(uint64_t number, PyObject *item, bool hashable, const char **reason);

#endif
