"""PythonInBuf and PythonOutBuf: bytes lent to the core in place, core
results exported through the buffer protocol, and their lifetimes."""

import gc
import sys
import weakref

import numpy as np
import pytest

from conftest import BytesSub, exactly
from ostrel_core import delta
from ostrel_core.delta import PythonInBuf, PythonOutBuf

UNAVAILABLE = "delta could not be applied: the result is unavailable because the input was invalid"


def fresh_bytes(text):
    """A bytes object that nothing else refers to (no interning, no constants)."""
    return bytes(bytearray(text))


@pytest.mark.parametrize("value", [b"", b"x", BytesSub(b"sub"), bytes(100_000)])
def test_in_buffer_from_bytes(value):
    # Only a patch can show what the view covers: a replacement-style delta
    # never reads the old value, a whole-range match reads all of it.
    lent = PythonInBuf(value)
    whole = bytes([0x1A]) + len(value).to_bytes(4, "big")
    assert bytes(delta.patch(lent, b"\x00" + whole)) == value


@pytest.mark.parametrize(
    ("argument", "shown"),
    [
        ("x", "'x'"),
        (bytearray(b"x"), "bytearray(b'x')"),
        (None, "None"),
        (1, "1"),
    ],
)
def test_in_buffer_takes_only_bytes(argument, shown):
    message = (
        "__init__(): incompatible constructor arguments. The following argument types are supported:\n"
        f"    1. ostrel_core.delta.PythonInBuf(arg0: bytes)\n\nInvoked with: {shown}"
    )
    with pytest.raises(TypeError, match=exactly(message)):
        PythonInBuf(argument)


def test_in_buffer_refuses_views_and_results():
    for argument in (memoryview(b"x"), delta.diff(b"ab", b"ac")):
        with pytest.raises(TypeError, match="^__init__\\(\\): incompatible constructor arguments"):
            PythonInBuf(argument)


def test_in_buffer_exposes_no_buffer():
    lent = PythonInBuf(b"secret")
    with pytest.raises(TypeError):
        bytes(lent)
    with pytest.raises(TypeError):
        memoryview(lent)


def test_out_buffer_has_no_constructor():
    with pytest.raises(TypeError, match=exactly("ostrel_core.delta.PythonOutBuf: No constructor defined!")):
        PythonOutBuf()


def test_in_buffer_pins_its_bytes_until_it_goes():
    value = fresh_bytes(b"pinned value")
    before = sys.getrefcount(value)
    lent = PythonInBuf(value)
    assert sys.getrefcount(value) == before + 1
    del lent
    gc.collect()
    assert sys.getrefcount(value) == before


def test_bytes_arguments_are_held_only_during_the_call():
    old, new = fresh_bytes(b"abcdefgh"), fresh_bytes(b"abcXYdefgh")
    before = sys.getrefcount(old), sys.getrefcount(new)
    result = delta.diff(old, new)
    assert (sys.getrefcount(old), sys.getrefcount(new)) == before
    assert (old, new) == (b"abcdefgh", b"abcXYdefgh")
    del result


def test_result_export():
    result = delta.diff(b"abcdefgh", b"abcXYdefgh")
    view = memoryview(result)
    assert (view.format, view.itemsize, view.ndim) == ("b", 1, 1)
    assert (view.shape, view.strides, view.nbytes) == ((7,), (1,), 7)
    assert not view.readonly and view.c_contiguous
    assert view.tolist() == [0, 3, 0x42, 0x58, 0x59, 3, 5]
    assert bytes(result) == bytes.fromhex("00034258590305")


def test_result_items_are_signed_bytes():
    result = delta.patch(b"", bytes.fromhex("4380ff7f"))
    assert memoryview(result).tolist() == [-128, -1, 127]
    assert bytes(result) == b"\x80\xff\x7f"


def test_result_is_shared_not_copied():
    result = delta.patch(b"", b"\x43abc")
    first, second = memoryview(result), memoryview(result)
    first[0] = ord("X")
    assert bytes(second) == b"Xbc"
    as_array = np.frombuffer(result, dtype=np.int8)
    assert as_array.flags.writeable
    as_array[1] = ord("Y")
    assert bytes(result) == b"XYc"


@pytest.mark.parametrize("empty_delta", [b"", b"\x40", b"\xf6"])
def test_empty_result_exports_an_empty_buffer(empty_delta):
    result = delta.patch(b"old", empty_delta)
    assert bytes(result) == b""
    view = memoryview(result)
    assert (len(view), view.format, view.readonly) == (0, "b", False)
    assert view.tobytes() == b""
    assert np.frombuffer(result, dtype=np.int8).size == 0


def test_view_outlives_the_last_reference():
    result = delta.patch(b"0123456789", bytes.fromhex("00020305"))
    alive = weakref.ref(result)
    view = memoryview(result)
    del result
    gc.collect()
    assert alive() is not None
    assert bytes(view) == b"0134567"
    view.release()
    gc.collect()
    assert alive() is None


def test_dropped_result_is_released():
    result = delta.diff(b"a" * 100, b"b" * 100)
    alive = weakref.ref(result)
    del result
    gc.collect()
    assert alive() is None


# --- a result that holds nothing ---------------------------------------------

MALFORMED = [
    "05",  # a match without its length
    "0141 61",  # a match whose second item is a byte string
    "0003 00",  # a second match cut short
    "0004",  # a match past the end of the old value
    "1a7fffffff 01",  # an offset far beyond it
]


@pytest.mark.parametrize("malformed", MALFORMED)
def test_null_result_refuses_every_buffer_request(malformed):
    result = delta.patch(b"abc", bytes.fromhex(malformed.replace(" ", "")))
    assert type(result) is PythonOutBuf
    for request in (bytes, memoryview, bytearray, lambda r: np.frombuffer(r, dtype=np.int8)):
        with pytest.raises(ValueError, match=exactly(UNAVAILABLE)):
            request(result)
    alive = weakref.ref(result)
    del result
    gc.collect()
    assert alive() is None
