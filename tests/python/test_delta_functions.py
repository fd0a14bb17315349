"""ostrel_core.delta.diff and patch: calling conventions, delta shapes,
failures, and the round trip on random pairs."""

import ctypes
import os
import random

import pytest

import ostrel_core
from conftest import SMALL_DELTAS, BytesSub, exactly
from ostrel_core.delta import PythonInBuf, PythonOutBuf, diff, patch

SEED = int(os.environ.get("OSTREL_PY_DELTA_SEED", "4242"))
IN_BUF = "ostrel_core.delta.PythonInBuf"
OUT_BUF = "ostrel_core.delta.PythonOutBuf"


@pytest.mark.parametrize(("old", "new", "expected"), SMALL_DELTAS)
def test_diff(old, new, expected):
    assert bytes(diff(old, new)).hex() == expected
    assert bytes(diff(old_value=old, new_value=new)).hex() == expected
    assert bytes(diff(PythonInBuf(old), new_value=PythonInBuf(new))).hex() == expected


PATCHES = [
    # old, delta (hex), new
    (b"abcdefgh", "00034258590305", b"abcXYdefgh"),
    (b"abcdef", "0003", b"abc"),
    (b"abcdefgh", "f6", b""),  # the caller keeps the old value itself
    (b"abc", "", b""),
    (b"abc", "40", b""),
    (b"abc", "204378797a", b"xyz"),  # a negative integer is skipped
    (b"abc", "63616263", b"abc"),  # a text string inserts its bytes
    (b"abc", "436162", b""),  # a string cut short ends the delta
    (b"abc", "0201 0001 0101", b"cab"),
]


@pytest.mark.parametrize(("old", "delta", "expected"), PATCHES)
def test_patch(old, delta, expected):
    delta = bytes.fromhex(delta.replace(" ", ""))
    assert bytes(patch(old, delta)) == expected
    assert bytes(patch(old_value=old, diff=delta)) == expected
    assert bytes(patch(PythonInBuf(old), diff=PythonInBuf(delta))) == expected


def test_bytes_subclasses_are_converted():
    assert bytes(diff(BytesSub(b"abcdefgh"), new_value=BytesSub(b"abcXYdefgh"))).hex() == "00034258590305"
    assert bytes(patch(BytesSub(b"abc"), BytesSub(b"\x00\x02"))) == b"ab"


def test_one_in_buffer_serves_many_calls():
    old = PythonInBuf(b"abcdefgh")
    first = bytes(diff(old, b"abcXYdefgh"))
    assert bytes(diff(old, b"abcXYdefgh")) == first
    assert bytes(patch(old, first)) == b"abcXYdefgh"
    assert bytes(patch(old, PythonInBuf(first))) == b"abcXYdefgh"


def test_results_are_out_buffers():
    assert type(diff(b"a", b"b")) is PythonOutBuf
    assert type(patch(b"a", b"")) is PythonOutBuf


def incompatible(name, second, invoked):
    return (
        f"{name}(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. (old_value: {IN_BUF}, {second}: {IN_BUF}) -> {OUT_BUF}\n\nInvoked with: {invoked}"
    )


@pytest.mark.parametrize(
    ("function", "second"), [(diff, "new_value"), (patch, "diff")], ids=["diff", "patch"]
)
@pytest.mark.parametrize(
    ("arguments", "shown"),
    [
        ((bytearray(b"a"), b"b"), "bytearray(b'a'), b'b'"),
        ((b"a", "b"), "b'a', 'b'"),
        ((b"a", 1), "b'a', 1"),
        ((None, "b"), "None, 'b'"),  # None with an unacceptable partner
        ((b"a",), "b'a'"),
    ],
)
def test_unacceptable_arguments(function, second, arguments, shown):
    with pytest.raises(TypeError, match=exactly(incompatible(function.__name__, second, shown))):
        function(*arguments)


def test_views_and_results_are_not_arguments():
    result = diff(b"ab", b"ac")
    for function in (diff, patch):
        for argument in (memoryview(b"a"), result):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                function(argument, b"a")
    assert bytes(patch(b"ab", bytes(result))) == b"ac"


@pytest.mark.parametrize(
    "call",
    [
        lambda: diff(None, b"b"),
        lambda: diff(b"a", None),
        lambda: diff(None, None),
        lambda: diff(old_value=b"a", new_value=None),
        lambda: patch(None, b"00"),
        lambda: patch(b"a", None),
        lambda: patch(old_value=None, diff=PythonInBuf(b"")),
    ],
)
def test_none_is_runtime_error_with_empty_message(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("",)


def test_values_beyond_32_bit_positions_are_refused():
    # bytes(n) is backed by untouched zero pages: no memory is spent here.
    huge = bytes(2**31)
    message = "diff: values longer than 2147483647 bytes cannot be described by a delta"
    for old, new in ((huge, b"a"), (b"a", huge)):
        with pytest.raises(ValueError, match=exactly(message)):
            diff(old, new)


def test_patch_of_malformed_delta_returns_an_empty_holder():
    result = patch(b"abc", b"\x05")
    assert type(result) is PythonOutBuf
    with pytest.raises(ValueError, match="the result is unavailable because the input was invalid"):
        bytes(result)


def test_failed_allocations_in_diff_raise_memory_error():
    hook = ctypes.CDLL(ostrel_core.__file__)._ostrel_alloc_fail_after
    hook.argtypes = [ctypes.c_long]
    old = bytes(range(256)) * 8
    new = old[:700] + b"inserted" + old[900:1500] + old[1600:]
    expected = bytes(diff(old, new))
    try:
        for successes in range(100_000):
            hook(successes)
            try:
                result = bytes(diff(old, new))
            except MemoryError:
                continue
            finally:
                hook(-1)
            assert result == expected
            break
        else:
            pytest.fail("diff never succeeded")
    finally:
        hook(-1)


def random_pair(rng):
    size = rng.choice([0, 1, 2, 10, 100, 1000, 5000])
    old = bytes(rng.choice(b"ab\x00\xff") if rng.random() < 0.5 else rng.randrange(256) for _ in range(size))
    new = bytearray(old)
    for _ in range(rng.randrange(6)):
        position = rng.randrange(len(new) + 1)
        if rng.random() < 0.5:
            new[position:position] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
        else:
            del new[position : position + rng.randrange(1, 40)]
    return old, bytes(new)


def test_round_trip_on_random_pairs():
    print(f"seed {SEED} (OSTREL_PY_DELTA_SEED)")
    rng = random.Random(SEED)
    for _ in range(300):
        old, new = random_pair(rng)
        delta = bytes(diff(old, new))
        if delta == b"\xf6":
            assert old == new and len(old) >= 2
        else:
            assert bytes(patch(old, delta)) == new, (old, new, delta)
