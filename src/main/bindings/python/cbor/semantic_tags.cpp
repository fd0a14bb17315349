#include "semantic_tags.h"

#include <datetime.h>

#include <cstdio>
#include <cstring>

namespace {

// --- Classes of the standard library ------------------------------------------

struct ClassName {
    const char *module;
    const char *name;
    PyObject *found;  // strong, once looked up
};

ClassName classes[] = {{"decimal", "Decimal", nullptr}, {"fractions", "Fraction", nullptr}, {"uuid", "UUID", nullptr}};

// The class, importing its module if import_module is set; nullptr with an
// exception set when that fails.
PyObject *class_of(StdClass which, bool import_module) {
    ClassName &entry = classes[which];
    if (entry.found != nullptr) return entry.found;
    PyObject *module = nullptr;
    if (import_module) {
        module = PyImport_ImportModule(entry.module);
    } else {
        PyObject *name = PyUnicode_FromString(entry.module);
        if (name == nullptr) return nullptr;
        module = PyImport_GetModule(name);
        Py_DECREF(name);
    }
    if (module == nullptr) return nullptr;
    entry.found = PyObject_GetAttrString(module, entry.name);
    Py_DECREF(module);
    return entry.found;
}

// --- Text of dates and times ----------------------------------------------------

// Digits at text[0, count) as a number, or -1 if any is not a digit.
int digits(const char *text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "YYYY-MM-DD" at text: false unless exactly that shape.
bool parse_date(const char *text, int *year, int *month, int *day) {
    if (text[4] != '-' || text[7] != '-') return false;
    *year = digits(text, 4);
    *month = digits(text + 5, 2);
    *day = digits(text + 8, 2);
    return *year >= 0 && *month >= 0 && *day >= 0;
}

const char *const bad_time = "a date/time (tag 0) that is not an RFC 3339 text of an existing time";

// An RFC 3339 date-time: "YYYY-MM-DDTHH:MM:SS", fractions of any length
// (beyond microseconds cut off), "Z" or an offset "+HH:MM" / "-HH:MM".
PyObject *parse_date_time(PyObject *item, const char **reason) {
    *reason = bad_time;
    if (!PyUnicode_Check(item)) return nullptr;
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text == nullptr || length < 20) {
        PyErr_Clear();
        return nullptr;
    }
    int year = 0, month = 0, day = 0;
    if (!parse_date(text, &year, &month, &day) || (text[10] != 'T' && text[10] != 't') || text[13] != ':' ||
        text[16] != ':')
        return nullptr;
    const int hour = digits(text + 11, 2), minute = digits(text + 14, 2), second = digits(text + 17, 2);
    if (hour < 0 || minute < 0 || second < 0) return nullptr;
    Py_ssize_t at = 19;
    int microsecond = 0;
    if (text[at] == '.') {
        const Py_ssize_t first = ++at;
        for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at)
            if (at - first < 6) microsecond = microsecond * 10 + (text[at] - '0');
        if (at == first) return nullptr;
        for (Py_ssize_t place = at - first; place < 6; ++place) microsecond *= 10;
    }
    int offset = 0;
    if (length - at == 1 && (text[at] == 'Z' || text[at] == 'z')) {
        offset = 0;
    } else if (length - at == 6 && (text[at] == '+' || text[at] == '-') && text[at + 3] == ':') {
        const int hours = digits(text + at + 1, 2), minutes = digits(text + at + 4, 2);
        if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return nullptr;
        offset = (hours * 60 + minutes) * 60 * (text[at] == '-' ? -1 : 1);
    } else {
        return nullptr;
    }
    PyObject *zone = nullptr;
    if (offset == 0) {
        zone = PyDateTime_TimeZone_UTC;
        Py_INCREF(zone);
    } else {
        PyObject *delta = PyDelta_FromDSU(0, offset, 0);
        if (delta == nullptr) return nullptr;
        zone = PyTimeZone_FromOffset(delta);
        Py_DECREF(delta);
        if (zone == nullptr) return nullptr;
    }
    PyObject *value = PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, microsecond,
                                                              zone, PyDateTimeAPI->DateTimeType);
    Py_DECREF(zone);
    return value;
}

// --- Values of tags -------------------------------------------------------------

// The two items of an array of two ints, borrowed.
bool int_pair(PyObject *item, PyObject **first, PyObject **second) {
    if ((!PyList_CheckExact(item) && !PyTuple_CheckExact(item)) || PySequence_Fast_GET_SIZE(item) != 2) return false;
    *first = PySequence_Fast_GET_ITEM(item, 0);
    *second = PySequence_Fast_GET_ITEM(item, 1);
    return PyLong_CheckExact(*first) && PyLong_CheckExact(*second);
}

PyObject *epoch_time(PyObject *item, const char **reason) {
    *reason = "an epoch time (tag 1) that is not a number of seconds within the years 1 to 9999";
    if (!PyLong_CheckExact(item) && !PyFloat_CheckExact(item)) return nullptr;
    PyObject *arguments = PyTuple_Pack(2, item, PyDateTime_TimeZone_UTC);
    if (arguments == nullptr) return nullptr;
    PyObject *value = PyDateTime_FromTimestamp(arguments);
    Py_DECREF(arguments);
    return value;
}

// 1970-01-01 is day 719163 of the proleptic Gregorian calendar.
PyObject *epoch_date(PyObject *item, const char **reason) {
    *reason = "an epoch date (tag 100) that is not a number of days within the years 1 to 9999";
    if (!PyLong_CheckExact(item)) return nullptr;
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0 || days < 1 - 719163 || days > 3652059 - 719163) return nullptr;
    return PyObject_CallMethod(reinterpret_cast<PyObject *>(PyDateTimeAPI->DateType), "fromordinal", "L",
                               days + 719163);
}

PyObject *full_date(PyObject *item, const char **reason) {
    *reason = "a date (tag 1004) that is not the text \"YYYY-MM-DD\" of an existing day";
    if (!PyUnicode_Check(item)) return nullptr;
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(item, &length);
    int year = 0, month = 0, day = 0;
    if (text == nullptr || length != 10 || !parse_date(text, &year, &month, &day)) return nullptr;
    return PyDate_FromDate(year, month, day);
}

// mantissa * 10**exponent, exactly: Decimal((sign, digits, exponent)) with
// the digits of the mantissa as Decimal reads them off an int.
PyObject *decimal(PyObject *item, const char **reason) {
    *reason = "a decimal fraction (tag 4) that is not [exponent, mantissa] of two integers";
    PyObject *exponent = nullptr, *mantissa = nullptr;
    if (!int_pair(item, &exponent, &mantissa)) return nullptr;
    PyObject *type = class_of(decimal_class, true);
    if (type == nullptr) return nullptr;
    int overflow = 0;
    const long small = PyLong_AsLongAndOverflow(mantissa, &overflow);
    const int negative = overflow < 0 || (overflow == 0 && small < 0);
    PyObject *magnitude = PyNumber_Absolute(mantissa);
    PyObject *whole = magnitude == nullptr ? nullptr : PyObject_CallOneArg(type, magnitude);
    Py_XDECREF(magnitude);
    PyObject *parts = whole == nullptr ? nullptr : PyObject_CallMethod(whole, "as_tuple", nullptr);
    Py_XDECREF(whole);
    if (parts == nullptr) return nullptr;
    PyObject *value = PyObject_CallFunction(type, "((iOO))", negative, PyTuple_GET_ITEM(parts, 1), exponent);
    Py_DECREF(parts);
    return value;
}

PyObject *rational(PyObject *item, const char **reason) {
    *reason = "a rational number (tag 30) that is not [numerator, denominator] of two integers, the "
              "denominator not zero";
    PyObject *numerator = nullptr, *denominator = nullptr;
    if (!int_pair(item, &numerator, &denominator)) return nullptr;
    PyObject *type = class_of(fraction_class, true);
    return type == nullptr ? nullptr : PyObject_CallFunctionObjArgs(type, numerator, denominator, nullptr);
}

PyObject *uuid(PyObject *item, const char **reason) {
    *reason = "a UUID (tag 37) that is not a byte string of 16 bytes";
    if (!PyBytes_CheckExact(item) || PyBytes_GET_SIZE(item) != 16) return nullptr;
    PyObject *type = class_of(uuid_class, true);
    if (type == nullptr) return nullptr;
    PyObject *arguments = PyTuple_New(0);
    PyObject *keywords = arguments == nullptr ? nullptr : Py_BuildValue("{sO}", "bytes", item);
    PyObject *value = keywords == nullptr ? nullptr : PyObject_Call(type, arguments, keywords);
    Py_XDECREF(keywords);
    Py_XDECREF(arguments);
    return value;
}

PyObject *set(PyObject *item, bool hashable, const char **reason) {
    *reason = "a set (tag 258) that is not an array";
    if (!PyList_CheckExact(item) && !PyTuple_CheckExact(item)) return nullptr;
    return hashable ? PyFrozenSet_New(item) : PySet_New(item);
}

}  // namespace

bool semantic_tags_ready() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

bool is_datetime(PyObject *value) { return PyDateTime_Check(value); }

bool is_date(PyObject *value) { return PyDate_Check(value) && !PyDateTime_Check(value); }

Py_ssize_t datetime_text(PyObject *value, char *text) {
    PyObject *offset = PyObject_CallMethod(value, "utcoffset", nullptr);
    if (offset == nullptr) return -1;
    if (offset == Py_None) {
        Py_DECREF(offset);
        return 0;
    }
    if (!PyDelta_Check(offset)) {
        Py_DECREF(offset);
        PyErr_SetString(PyExc_TypeError, "utcoffset() returned something other than a timedelta");
        return -1;
    }
    const long seconds = PyDateTime_DELTA_GET_DAYS(offset) * 86400L + PyDateTime_DELTA_GET_SECONDS(offset);
    const bool whole_minutes = PyDateTime_DELTA_GET_MICROSECONDS(offset) == 0 && seconds % 60 == 0;
    if (whole_minutes) Py_INCREF(value);
    PyObject *shown = whole_minutes ? value : PyNumber_Subtract(value, offset);
    Py_DECREF(offset);
    if (shown == nullptr) return -1;
    int length = std::snprintf(text, time_text_max, "%04d-%02d-%02dT%02d:%02d:%02d", PyDateTime_GET_YEAR(shown),
                               PyDateTime_GET_MONTH(shown), PyDateTime_GET_DAY(shown),
                               PyDateTime_DATE_GET_HOUR(shown), PyDateTime_DATE_GET_MINUTE(shown),
                               PyDateTime_DATE_GET_SECOND(shown));
    int microsecond = PyDateTime_DATE_GET_MICROSECOND(shown);
    Py_DECREF(shown);
    if (microsecond != 0) {
        int places = 6;
        while (microsecond % 10 == 0) {
            microsecond /= 10;
            --places;
        }
        length += std::snprintf(text + length, time_text_max - length, ".%0*d", places, microsecond);
    }
    if (!whole_minutes || seconds == 0) {
        text[length++] = 'Z';
    } else {
        const long minutes = (seconds < 0 ? -seconds : seconds) / 60;
        length += std::snprintf(text + length, time_text_max - length, "%c%02ld:%02ld", seconds < 0 ? '-' : '+',
                                minutes / 60, minutes % 60);
    }
    return length;
}

Py_ssize_t date_text(PyObject *value, char *text) {
    return std::snprintf(text, time_text_max, "%04d-%02d-%02d", PyDateTime_GET_YEAR(value),
                         PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value));
}

PyObject *imported_class(StdClass which) {
    PyObject *found = class_of(which, false);
    if (found == nullptr) PyErr_Clear();
    return found;
}

bool decodes_tag(uint64_t number) {
    switch (number) {
    case tag_date_time:
    case tag_epoch_time:
    case tag_decimal:
    case tag_rational:
    case tag_uuid:
    case tag_epoch_date:
    case tag_set:
    case tag_full_date:
    case tag_self_described: return true;
    default: return false;
    }
}

PyObject *tagged_value(uint64_t number, PyObject *item, bool hashable, const char **reason) {
    *reason = nullptr;
    PyObject *value = nullptr;
    switch (number) {
    case tag_date_time: value = parse_date_time(item, reason); break;
    case tag_epoch_time: value = epoch_time(item, reason); break;
    case tag_decimal: value = decimal(item, reason); break;
    case tag_rational: value = rational(item, reason); break;
    case tag_uuid: value = uuid(item, reason); break;
    case tag_epoch_date: value = epoch_date(item, reason); break;
    case tag_set: value = set(item, hashable, reason); break;
    case tag_full_date: value = full_date(item, reason); break;
    default:  // self-described CBOR
        Py_INCREF(item);
        return item;
    }
    if (value != nullptr) {
        *reason = nullptr;
        return value;
    }
    // What Python refused (a day that does not exist, a zero denominator,
    // a time out of range) is the item's fault; running out of memory or
    // failing to import is not.
    if (PyErr_Occurred() && (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_ImportError)))
        *reason = nullptr;
    else
        PyErr_Clear();
    return nullptr;
}
