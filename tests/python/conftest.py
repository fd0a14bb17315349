"""Helpers shared by the test files: exact error messages, subclasses of
builtin types (they take the module's general conversion instead of its
fast paths), pybind11's and dumps' fixed messages, CBOR heads written from
the wire rules, values as a decoder reads them back, small deltas whose
bytes are known, and a ticker that shows whether a call let the interpreter
lock go."""

import contextlib
import re
import sys
import threading


def exactly(message):
    """A pattern for pytest.raises(match=...) that accepts message and nothing else."""
    return "^" + re.escape(message) + r"\Z"


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


CAST_MESSAGE = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES"
    " or compile in debug mode for details)"
)
RANGE_MESSAGE = "dumps received an integer out of range for both int64_t and uint64_t"


def reference_head(major, argument):
    """The shortest CBOR head of a major type and argument, written from the wire rules."""
    if argument < 24:
        return bytes([major << 5 | argument])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if argument < 1 << (8 * size):
            return bytes([major << 5 | info]) + argument.to_bytes(size, "big")
    raise AssertionError(argument)


def as_decoded(value, key=False):
    """A value as dumps writes it and a decoder reads it back: tuples become
    arrays, which come back as tuples inside map keys and as lists elsewhere."""
    if isinstance(value, (list, tuple)):
        items = [as_decoded(item, key) for item in value]
        return tuple(items) if key else items
    if isinstance(value, dict):
        return {as_decoded(k, True): as_decoded(v) for k, v in value.items()}
    return value


# old, new, the delta from old to new (hex): every shape the driver writes.
SMALL_DELTAS = [
    (b"abcdefgh", b"abcXYdefgh", "00034258590305"),
    (b"abcdefgh", b"abcdefgh", "f6"),  # identical, at least 2 bytes
    (b"abcd", b"abcd", "f6"),
    (b"ab", b"ab", "f6"),
    (b"a", b"a", "4161"),  # identical but 1 byte: the replacement
    (b"", b"", "40"),
    (b"abc", b"xyz", "4378797a"),
    (b"abc", b"", "40"),
    (b"", b"abc", "43616263"),
    (b"", b"xyz", "4378797a"),
    (b"abcdef", b"abc", "0003"),
    (b"abcdefghij", b"abcdXYZhij", "00044358595a0703"),
]


@contextlib.contextmanager
def no_forced_switches():
    """A switch interval so long that the interpreter never takes the lock
    from a running thread: a thread gives it up only where it lets it go
    (a native call that releases it, a wait, its end)."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


@contextlib.contextmanager
def ticker():
    """A thread that counts, taking the interpreter lock for each count and
    letting it go in between; yields a function that reads the count.
    Meanwhile there are no forced switches, so the count moves during a call
    only if that call lets the lock go, however busy the machine is."""
    count = [0]
    stop = threading.Event()

    def run():
        while not stop.wait(0.0005):
            count[0] += 1

    with no_forced_switches():
        thread = threading.Thread(target=run)
        thread.start()
        try:
            yield lambda: count[0]
        finally:
            stop.set()
            thread.join()


def lets_the_lock_go(call, count, attempts=50):
    """Whether the ticker of count moved during one of up to attempts calls
    of call (a machine too busy to run the ticker once only costs attempts)."""
    for _ in range(attempts):
        before = count()
        call()
        if count() > before:
            return True
    return False
