// The CPython API that the module calls directly, the same on every
// interpreter it builds for (3.9 to 3.13). What a later version added is
// given here for the earlier ones; this is the one file that looks at
// PY_VERSION_HEX.
//
//   Py_NewRef, Py_T_OBJECT_EX, Py_T_UBYTE, Py_READONLY       as in 3.12
//   Py_TPFLAGS_IMMUTABLETYPE                                  0 on 3.9: heap types stay mutable there
//   Py_TPFLAGS_DISALLOW_INSTANTIATION                         honoured on 3.9 by type_from_spec
//   PyUnstable_Long_IsCompact, PyUnstable_Long_CompactValue   as in 3.12
//   type_from_spec(type_spec) PyType_FromSpec: a new reference to the type, or null with an error set
//   RecursionCounter          the thread's counter that Py_EnterRecursiveCall steps
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_UBYTE T_UBYTE
#define Py_READONLY READONLY

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

// An int of at most one digit; its value is the digit with the sign of the
// size. Zero has no digit (3.9 allocates none).
inline int PyUnstable_Long_IsCompact(const PyLongObject *op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size >= -1 && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(op->ob_digit[0]);
}
#endif

#if PY_VERSION_HEX < 0x030A0000
inline PyObject *Py_NewRef(PyObject *object) {
    Py_INCREF(object);
    return object;
}

#define Py_TPFLAGS_IMMUTABLETYPE 0
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#endif

inline PyObject *type_from_spec(PyType_Spec &type_spec) {
    PyObject *type = PyType_FromSpec(&type_spec);
#if PY_VERSION_HEX < 0x030A0000
    // 3.9 gives a type without Py_tp_new the inherited object.__new__;
    // without one at all, calling the type fails as 3.10's flag makes it.
    if (type != nullptr && (type_spec.flags & Py_TPFLAGS_DISALLOW_INSTANTIATION) != 0)
        reinterpret_cast<PyTypeObject *>(type)->tp_new = nullptr;
#endif
    return type;
}

// One step of the counter is what Py_EnterRecursiveCall takes and
// Py_LeaveRecursiveCall gives back. step_in takes it when that stays within
// the limit and returns false, taking nothing, when it would not: then
// Py_EnterRecursiveCall is the one to take it, and it raises RecursionError.
class RecursionCounter {
public:
    bool step_in() {
#if PY_VERSION_HEX >= 0x030C0000
        if (thread->c_recursion_remaining <= 0) return false;
        --thread->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
        if (thread->recursion_remaining <= 0) return false;
        --thread->recursion_remaining;
#else
        if (thread->recursion_depth >= limit) return false;
        ++thread->recursion_depth;
#endif
        return true;
    }

    void step_out() {
#if PY_VERSION_HEX >= 0x030C0000
        ++thread->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
        ++thread->recursion_remaining;
#else
        --thread->recursion_depth;
#endif
    }

private:
    PyThreadState *const thread = PyThreadState_Get();
#if PY_VERSION_HEX < 0x030B0000
    const int limit = Py_GetRecursionLimit();
#endif
};
