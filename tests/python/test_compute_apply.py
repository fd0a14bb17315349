"""ostrel_core.delta.compute, apply and ActivityHistory: any buffer of bytes
in, bytes out; bad arguments and malformed or oversized deltas refused
with what and where; other threads run during long work; one history
shared by many threads."""

import array
import mmap
import random
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import SMALL_DELTAS, BytesSub, exactly, lets_the_lock_go, no_forced_switches, ticker
from ostrel_core.delta import ActivityHistory, apply, compute, diff, patch

ACCEPTED = "must be a C-contiguous buffer of bytes (bytes, bytearray, memoryview, mmap, array('B'), numpy uint8), not "
OLD = b"abcdefgh"
NO_CHANGE = b"\xf6"


def released():
    view = memoryview(b"abc")
    view.release()
    return view


def malformed(at, reason):
    return f"apply(): malformed delta at byte {at}: {reason}"


CUT = "the item runs past the end of the delta"
NO_LENGTH = "the match offset is not followed by an unsigned integer length"
OUTSIDE = "the match reaches outside the old value"
BAD_HEAD = "the item head is malformed (reserved additional information, or indefinite length on an integer or tag)"

BAD_INPUTS = [
    # call, exception, message
    (lambda: compute("abc", b""), TypeError, "compute() argument 'old' " + ACCEPTED + "str"),
    (lambda: compute(b"", None), TypeError, "compute() argument 'new' " + ACCEPTED + "NoneType"),
    (lambda: apply(OLD, memoryview(b"abcd")[::2]), TypeError, "apply() argument 'delta' " + ACCEPTED + "a non-contiguous buffer"),
    (lambda: apply(np.zeros((4, 4), np.uint8)[:, 1], b""), TypeError, "apply() argument 'old' " + ACCEPTED + "a non-contiguous buffer"),
    (lambda: compute(array.array("i", [1]), b""), TypeError, "compute() argument 'old' " + ACCEPTED + "a buffer of 'i' items of 4 bytes"),
    (lambda: apply(OLD, np.zeros(2, np.uint16)), TypeError, "apply() argument 'delta' " + ACCEPTED + "a buffer of 'H' items of 2 bytes"),
    (lambda: compute(released(), b""), ValueError, "operation forbidden on released memoryview object"),
    (lambda: compute(OLD, OLD, method="bsdiff"), ValueError, "compute(): method must be 'match' or 'myers', not 'bsdiff'"),
    (lambda: compute(OLD, OLD, level=0), ValueError, "compute() argument 'level' must be from 1 to 6, not 0"),
    (lambda: compute(OLD, OLD, level=2**70), ValueError, f"compute() argument 'level' must be from 1 to 6, not {2**70}"),
    (lambda: compute(OLD, OLD, level="3"), TypeError, "compute() argument 'level' must be an int, not str"),
    (lambda: compute(OLD, OLD, method="myers", level=3), ValueError,
     "compute(): level is for method='match'; method='myers' takes search_limit and history"),
    (lambda: compute(OLD, OLD, history=ActivityHistory()), ValueError,
     "compute(): history is for method='myers'; method='match' takes a level"),
    (lambda: compute(OLD, OLD, search_limit=5), ValueError,
     "compute(): search_limit is for method='myers'; method='match' takes a level"),
    (lambda: compute(OLD, OLD, method="myers", search_limit=-1), ValueError,
     "compute() argument 'search_limit' must be from 0 to 2147483647, not -1"),
    (lambda: apply(OLD, b"", max_size=-1), ValueError,
     "apply() argument 'max_size' must be from 0 to 9223372036854775807, not -1"),
    (lambda: apply(OLD, b"", max_size=1.0), TypeError, "apply() argument 'max_size' must be an int, not float"),
    (lambda: ActivityHistory(slots=0), ValueError, "ActivityHistory() argument 'slots' must be from 1 to 1073741824, not 0"),
    (lambda: ActivityHistory(bucket_ms=None), TypeError, "ActivityHistory() argument 'bucket_ms' must be an int, not NoneType"),
    (lambda: ActivityHistory(slots=1, bucket_ms=100), ValueError,
     "ActivityHistory(): the window, slots x bucket_ms with each rounded up to a power of two, must be at least 256 ms; "
     "slots=1 and bucket_ms=100 give 128 ms"),
    # Malformed deltas: where and why.
    (lambda: apply(OLD, bytes.fromhex("43 61 62")), ValueError, malformed(0, CUT)),
    (lambda: apply(OLD, bytes.fromhex("00 03 43 61")), ValueError, malformed(2, CUT)),
    (lambda: apply(OLD, bytes.fromhex("00 18")), ValueError, malformed(1, CUT)),
    (lambda: apply(OLD, bytes.fromhex("05")), ValueError, malformed(0, NO_LENGTH)),
    (lambda: apply(OLD, bytes.fromhex("41 61 01 41 61")), ValueError, malformed(2, NO_LENGTH)),
    (lambda: apply(OLD, bytes.fromhex("d8 00 02")), ValueError, malformed(2, NO_LENGTH)),  # tag 0, then a lone 2
    (lambda: apply(OLD, bytes.fromhex("00 09")), ValueError, malformed(0, OUTSIDE)),
    (lambda: apply(OLD, bytes.fromhex("1b 00 00 00 01 00 00 00 00 03")), ValueError, malformed(0, OUTSIDE)),
    (lambda: apply(OLD, bytes.fromhex("00 02 1c")), ValueError, malformed(2, BAD_HEAD)),
    # Results longer than max_size, by one byte.
    (lambda: apply(OLD, bytes.fromhex("00 03 42 58 59 03 05"), max_size=9), ValueError,
     "apply(): the delta builds more than max_size=9 bytes: the item at byte 5 passes it"),
    (lambda: apply(OLD, NO_CHANGE, max_size=7), ValueError,
     "apply(): the delta builds more than max_size=7 bytes: the item at byte 0 passes it"),
]


@pytest.mark.parametrize(("call", "exception", "message"), BAD_INPUTS)
def test_bad_inputs(call, exception, message):
    with pytest.raises(exception, match=exactly(message)):
        call()


def test_keyword_only_options_and_history_type():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        compute(OLD, OLD, "myers")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        compute(OLD, OLD, method="myers", history=object())
    with pytest.raises(TypeError, match="incompatible function arguments"):
        apply(OLD, b"", 10)


def buffers(value):
    """value as every kind of buffer compute and apply read."""
    kinds = {
        "bytes": value,
        "bytes subclass": BytesSub(value),
        "bytearray": bytearray(value),
        "memoryview": memoryview(value),
        "memoryview slice": memoryview(b"<" + value + b">")[1:-1],
        "memoryview of chars": memoryview(value).cast("c"),
        "array B": array.array("B", value),
        "array b": array.array("b", value),
        "numpy uint8": np.frombuffer(value, np.uint8).copy(),
        "numpy int8 column": np.frombuffer(value, np.int8).reshape(-1, 1),
    }
    if value:  # an mmap cannot be empty
        mapped = mmap.mmap(-1, len(value))
        mapped[:] = value
        kinds["mmap"] = mapped
    return kinds


rng = random.Random(13)
BASE = rng.randbytes(3000)
PAIRS = [(old, new) for old, new, _ in SMALL_DELTAS] + [
    (BASE, BASE[:1000] + b"inserted" + BASE[1000:2500] + BASE[2600:]),
    (BASE, BASE[1500:] + BASE[:1500]),  # moved blocks
    (BASE, rng.randbytes(2000)),
]
METHODS = [dict(method="myers"), dict(method="myers", search_limit=7), *[dict(level=n) for n in range(1, 7)]]


@pytest.mark.parametrize("options", METHODS, ids=str)
def test_round_trips_through_every_buffer_type(options):
    for old, new in PAIRS:
        expected = compute(old, new, **options)
        if options == {"method": "myers"}:
            assert expected == bytes(diff(old, new))
        rebuilt = apply(old, expected, max_size=len(new))
        assert rebuilt == new
        if expected != NO_CHANGE:
            assert rebuilt == bytes(patch(old, expected))
        if new:
            with pytest.raises(ValueError, match="more than max_size"):
                apply(old, expected, max_size=len(new) - 1)
        old_kinds, new_kinds, delta_kinds = buffers(old), buffers(new), buffers(expected)
        for kind in old_kinds.keys() & new_kinds.keys():
            assert compute(old_kinds[kind], new_kinds[kind], **options) == expected, kind
            assert apply(old_kinds[kind], delta_kinds[kind]) == new, kind


@pytest.mark.parametrize(("old", "new", "expected"), SMALL_DELTAS)
def test_myers_gives_the_driver_bytes(old, new, expected):
    assert compute(old, new, method="myers").hex() == expected
    assert compute(bytearray(old), memoryview(new), method="myers", history=ActivityHistory()).hex() == expected


def test_no_change_delta_gives_the_old_value():
    assert apply(OLD, NO_CHANGE) is OLD  # a bytes object is its own copy
    assert apply(bytearray(OLD), NO_CHANGE) == OLD
    assert compute(OLD, bytearray(OLD)) == NO_CHANGE
    assert apply(OLD, NO_CHANGE + NO_CHANGE) == b""  # nulls inside a longer delta are ignored


@settings(max_examples=60, deadline=None)
@given(old=st.binary(max_size=600), edits=st.lists(st.tuples(st.integers(0, 600), st.integers(0, 40), st.binary(max_size=40)), max_size=12),
       level=st.integers(1, 6))
def test_random_revisions_round_trip(old, edits, level):
    new = old
    for at, cut, text in edits:
        at = min(at, len(new))
        new = new[:at] + text + new[at + cut:]
    for d in (compute(old, new, level=level), compute(old, new, method="myers")):
        assert apply(old, d) == new


# --- Threads.

def large_pair(size, every):
    generator = random.Random(size)
    old = generator.randbytes(size)
    new = bytearray(old)
    for i in range(0, size, every):
        new[i:i + 3] = generator.randbytes(5)
    return old, bytes(new)


LARGE = large_pair(1 << 20, 1024)  # some 50 ms at level 5, 400 ms with myers


@pytest.mark.parametrize("options", [dict(level=5), dict(method="myers")], ids=str)
def test_other_threads_run_while_a_large_pair_is_diffed(options):
    old, new = LARGE
    with ticker() as count:
        assert lets_the_lock_go(lambda: compute(old, new, **options), count), \
            "no other thread ran while a large pair was diffed"


def test_a_bytearray_cannot_be_resized_during_the_call():
    old, new = (bytearray(value) for value in LARGE)
    ready = threading.Event()
    result = []

    def work():
        ready.set()
        result.append(compute(old, new, method="myers"))

    with no_forced_switches():
        thread = threading.Thread(target=work)
        thread.start()
        ready.wait()
        # The main thread gets the interpreter lock back only once the call
        # has let it go, its buffers held.
        with pytest.raises(BufferError):
            new.append(0)
        still_running = not result
        thread.join()
    assert still_running
    assert apply(old, result[0]) == new


def test_one_history_shared_by_threads():
    # A window of 8192 ms (32 ms per unit of utilisation) in buckets of
    # 256 ms; each call takes a few milliseconds, so overlapping calls add up.
    history = ActivityHistory(slots=32, bucket_ms=256)
    assert (history.utilisation, history.last_quality) == (0, 0)
    pairs = [large_pair(1 << 17, every) for every in (997, 1499)]
    deltas = [None, None]
    spans = [[], []]
    errors = []
    start = threading.Barrier(2)

    def work(index):
        old, new = pairs[index]
        try:
            start.wait()
            for _ in range(100):
                began = time.perf_counter()
                deltas[index] = compute(old, new, method="myers", history=history)
                spans[index].append(time.perf_counter() - began)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    began = time.perf_counter()
    threads = [threading.Thread(target=work, args=(index,)) for index in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    time.sleep(0.6)  # two buckets on, the window holds only finished buckets
    utilisation = history.utilisation
    elapsed = time.perf_counter() - began
    assert not errors, errors
    assert [apply(old, d) for (old, _), d in zip(pairs, deltas)] == [new for _, new in pairs]
    # Every call's busy time is booked once, none lost when calls overlap
    # and none counted twice: between most of the calls' own spans and their
    # sum plus a millisecond each for the clock's rounding. That holds while
    # every call is shorter than a bucket and the run fits in the window,
    # which only a machine a hundred times slower than usual would break.
    calls = [span for thread_spans in spans for span in thread_spans]
    if max(calls) < 0.256 and elapsed < 7.5:
        called_ms = 1000 * sum(calls)
        assert 0.7 * called_ms <= 32 * (utilisation + 1)
        assert 32 * utilisation <= called_ms + len(calls)
    # Each call's quality follows the load before it: under half a window, the best.
    assert utilisation >= 128 or history.last_quality == 0


def test_quality_follows_the_load():
    history = ActivityHistory(slots=4, bucket_ms=64)  # a 256 ms window
    old, new = large_pair(1 << 18, 997)
    end = time.perf_counter() + 5
    while history.last_quality == 0 and time.perf_counter() < end:
        assert apply(old, compute(old, new, method="myers", history=history)) == new
    assert history.last_quality >= 1
    assert history.utilisation >= 128
