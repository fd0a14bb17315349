"""Every public call and error path, repeated many times, leaves memory flat.

Each repetition builds fresh values that carry at least 10 kB, and the
native side holds about as much when it fails, so a leak of either shows in
the interpreter's traced allocations (tracemalloc) or in the process's
resident size long before the tolerances below.
"""

import array
import ctypes
import gc
import os
import tracemalloc

import pytest

import ostrel_core
from ostrel_core.cbor import CBORDecodeError, dumps, loads
from ostrel_core.delta import ActivityHistory, PythonInBuf, PythonOutBuf, apply, compute, diff, patch

PAYLOAD = 10_000
TRACED_TOLERANCE = 1 << 20
RSS_TOLERANCE = 8 << 20

_fail_after = ctypes.CDLL(ostrel_core.__file__)._ostrel_alloc_fail_after
_fail_after.argtypes = [ctypes.c_long]


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def payload(i):
    return bytes([i % 251]) * PAYLOAD


def raises(exception, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{call.__name__} did not raise {exception.__name__}")


def with_allocations_failing_after(successes, exception, call, *args, **kwargs):
    _fail_after(successes)
    try:
        raises(exception, call, *args, **kwargs)
    finally:
        _fail_after(-1)


class NotEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


def self_containing(i):
    value = [payload(i)]
    value.append(value)
    return value


def changing_list(i):
    class Clears:
        def __bool__(self):
            value.clear()
            return True

    value = [payload(i), Clears(), 1]
    return value


def encoded(i):
    return dumps({"k": [payload(i), i, 1.5, "text" * 100, (i, -i)], "n": {"deep": [[i]]}})


HUGE = bytes(2**31)  # untouched zero pages: costs no memory
HISTORY = ActivityHistory()


def edited(i):
    return payload(i)[:5000] + b"new" + payload(i)[5000:]


def bomb(i):
    """A delta asking for 4096 copies of the whole old value."""
    return bytes.fromhex("00 19 27 10") * 4096 + payload(i)[:1]

PATHS = {
    "dumps": lambda i: dumps({"k": [payload(i), i, 1.5, "text" * 100]}),
    "dumps-definite-limited": lambda i: dumps([payload(i), (i,)], indefinite=False, max_depth=3),
    "dumps-type-error": lambda i: raises(TypeError, dumps, {payload(i)}),
    "dumps-cast-error": lambda i: raises(RuntimeError, dumps, [payload(i), {i}]),
    "dumps-integer-range": lambda i: raises(RuntimeError, dumps, [payload(i), 2**64 + i]),
    "dumps-integer-equality": lambda i: raises(RuntimeError, dumps, [payload(i), NotEqual(i)]),
    "dumps-depth": lambda i: raises(RuntimeError, dumps, [payload(i), [[i]]], max_depth=1),
    "dumps-surrogate": lambda i: raises(RuntimeError, dumps, [payload(i), "\ud800" + str(i)]),
    "dumps-mutation": lambda i: raises(RuntimeError, dumps, changing_list(i), indefinite=False),
    "dumps-recursion": lambda i: raises(RecursionError, dumps, self_containing(i)),
    "dumps-memory": lambda i: with_allocations_failing_after(3, MemoryError, dumps, [payload(i)] * 5),
    "loads": lambda i: loads(encoded(i)),
    "loads-tagged": lambda i: loads(b"\xd8\x20\xc2\x59\x27\x10" + payload(i)),
    "loads-keys": lambda i: loads(b"\xa1\x82\x59\x27\x10" + payload(i) + b"\x01\x02"),
    "loads-truncated": lambda i: raises(CBORDecodeError, loads, encoded(i)[:-3]),
    "loads-trailing": lambda i: raises(CBORDecodeError, loads, encoded(i) + b"\x00"),
    "loads-utf8": lambda i: raises(CBORDecodeError, loads, encoded(i)[:-1] + b"\x62\xc0\xaf\xff"),
    "loads-depth": lambda i: raises(CBORDecodeError, loads, encoded(i), max_depth=2),
    "loads-map-key": lambda i: raises(CBORDecodeError, loads, b"\xa1\x82\x00\xa0\x00"),
    "loads-bignum": lambda i: raises(CBORDecodeError, loads, b"\x82\x59\x27\x10" + payload(i) + b"\xc2\x00"),
    "loads-chunks": lambda i: raises(CBORDecodeError, loads, b"\x5f\x59\x27\x10" + payload(i) + b"\x61a\xff"),
    "loads-memory": lambda i: with_allocations_failing_after(0, MemoryError, loads, encoded(i)),
    "diff": lambda i: bytes(diff(payload(i), payload(i)[:5000] + b"new" + payload(i)[5000:])),
    "diff-none": lambda i: raises(RuntimeError, diff, payload(i), None),
    "diff-type-error": lambda i: raises(TypeError, diff, payload(i), bytearray(PAYLOAD)),
    "diff-too-long": lambda i: raises(ValueError, diff, HUGE, payload(i)),
    "diff-memory": lambda i: with_allocations_failing_after(5, MemoryError, diff, payload(i), payload(i + 1)),
    "patch": lambda i: memoryview(patch(payload(i), b"\x19\x13\x88\x19\x13\x88")).tobytes(),
    "patch-malformed": lambda i: raises(ValueError, bytes, patch(b"", b"\x59\x27\x10" + payload(i) + b"\x05")),
    "patch-none": lambda i: raises(RuntimeError, patch, None, payload(i)),
    "compute": lambda i: apply(payload(i), compute(bytearray(payload(i)), memoryview(edited(i)))),
    "compute-myers-history": lambda i: compute(payload(i), edited(i), method="myers", history=HISTORY),
    "compute-type-error": lambda i: raises(TypeError, compute, payload(i), "text"),
    "compute-not-contiguous": lambda i: raises(TypeError, compute, payload(i), memoryview(payload(i))[::2]),
    "compute-options": lambda i: raises(ValueError, compute, payload(i), payload(i), method="myers", level=i % 5 + 1),
    "compute-too-long": lambda i: raises(ValueError, compute, HUGE, payload(i), level=1),
    "compute-memory": lambda i: with_allocations_failing_after(3, MemoryError, compute, payload(i), edited(i)),
    "compute-history-memory": lambda i: with_allocations_failing_after(
        i % 6, MemoryError, compute, payload(i), edited(i), method="myers", history=HISTORY),
    "apply": lambda i: apply(payload(i), b"\x19\x13\x88\x19\x13\x88\x41" + payload(i)[:1], max_size=PAYLOAD),
    "apply-no-change": lambda i: apply(bytearray(payload(i)), b"\xf6"),
    "apply-malformed": lambda i: raises(ValueError, apply, payload(i), b"\x59\x27\x10" + payload(i) + b"\x05"),
    "apply-max-size": lambda i: raises(ValueError, apply, payload(i), bomb(i), max_size=PAYLOAD),
    "apply-type-error": lambda i: raises(TypeError, apply, payload(i), array.array("i", payload(i)[:4000])),
    "history": lambda i: ActivityHistory(slots=i % 64 + 1, bucket_ms=1000).utilisation,
    "history-refused": lambda i: raises(ValueError, ActivityHistory, slots=1, bucket_ms=i % 128 + 1),
    "history-memory": lambda i: with_allocations_failing_after(i % 2, MemoryError, ActivityHistory),
    "in-buffer-type-error": lambda i: raises(TypeError, PythonInBuf, bytearray(payload(i))),
    "out-buffer-constructor": lambda i: raises(TypeError, PythonOutBuf),
}
REPETITIONS = {"dumps-recursion": 300}


@pytest.mark.parametrize("name", sorted(PATHS))
def test_memory_stays_flat(name):
    action = PATHS[name]
    repetitions = REPETITIONS.get(name, 10_000)
    for i in range(100):
        action(i)
    gc.collect()
    tracemalloc.start()
    try:
        traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss()
        for i in range(repetitions):
            action(i)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_growth = rss() - rss_before
    finally:
        tracemalloc.stop()
    assert traced_growth < TRACED_TOLERANCE
    assert rss_growth < RSS_TOLERANCE
