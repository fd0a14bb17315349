"""dumps writes values of the exact builtin types straight from the object,
and calls with plain arguments skip pybind11's dispatch. Everything else
(subclasses, foreign objects, unusual arguments) takes the DumpsValue
conversion. These tests hold the two roads to the same bytes and errors,
and the direct writers to the core's generator writers (through ctypes).
"""

import ctypes
import math
import os
import random
import struct
import sys

import pytest

import ostrel_core
from conftest import CAST_MESSAGE, RANGE_MESSAGE, BytesSub, FloatSub, IntSub, StrSub, exactly, reference_head
from ostrel_core.cbor import dumps

SEED = int(os.environ.get("OSTREL_TEST_SEED", "20240613"))


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


def generic(value):
    """The same value with every int, float, str, bytes and container
    replaced by a subclass instance, which takes the conversion road."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return IntSub(value)
    if isinstance(value, float):
        return FloatSub(value)
    if isinstance(value, str):
        return StrSub(value)
    if isinstance(value, bytes):
        return BytesSub(value)
    if isinstance(value, list):
        return ListSub(generic(item) for item in value)
    if isinstance(value, tuple):
        return TupleSub(generic(item) for item in value)
    if isinstance(value, dict):
        return DictSub((generic(k), generic(v)) for k, v in value.items())
    raise AssertionError(type(value))


def outcome(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except Exception as error:  # compared by type and message
        return type(error), str(error)


# --- the core's writers, through ctypes -----------------------------------------


class Generator(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_int)]


_core = ctypes.CDLL(ostrel_core.__file__)
_core.cbor_generator_create.restype = ctypes.POINTER(Generator)
_core.cbor_generator_free.argtypes = [ctypes.POINTER(Generator)]
for _name, _argument in (("cbor_write_float", ctypes.c_double), ("cbor_write_uint", ctypes.c_uint64),
                         ("cbor_write_negint", ctypes.c_int64)):
    getattr(_core, _name).argtypes = [ctypes.POINTER(Generator), _argument]


def written(writer, value):
    generator = _core.cbor_generator_create()
    try:
        assert getattr(_core, writer)(generator, value) >= 0
        return ctypes.string_at(generator.contents.data, generator.contents.len)
    finally:
        _core.cbor_generator_free(generator)


def writer_int(number):
    return written("cbor_write_uint", number) if number >= 0 else written("cbor_write_negint", number)


# --- integers -------------------------------------------------------------------

INT_BOUNDARIES = [
    0, 1, 23, 24, 255, 256, 65535, 65536, 2**30 - 1, 2**30, 2**31, 2**32 - 1, 2**32,
    2**62, 2**63 - 1, 2**63, 2**64 - 1,
    -1, -24, -25, -256, -257, -65536, -65537, -(2**30), -(2**30) - 1, -(2**32), -(2**32) - 1,
    -(2**63) + 1, -(2**63),
]


@pytest.mark.parametrize("number", INT_BOUNDARIES)
def test_integers_match_the_writer_and_the_full_rule(number):
    expected = writer_int(number)
    assert dumps(number) == expected
    assert dumps([number]) == b"\x9f" + expected + b"\xff"
    assert dumps([IntSub(number)]) == b"\x9f" + expected + b"\xff"
    assert dumps({number: number}, indefinite=False) == b"\xa1" + expected * 2


@pytest.mark.parametrize("number", [2**64, 2**64 + 1, -(2**63) - 1, -(2**64), 10**40, -(10**40)])
def test_integers_out_of_range_fail_alike(number):
    message = exactly(RANGE_MESSAGE + str(number)[:40])
    for value in (number, [number], {number: 0}, {0: number}, [IntSub(number)]):
        with pytest.raises(RuntimeError, match=message):
            dumps(value)


# --- floats ----------------------------------------------------------------------

FLOAT_BOUNDARIES = [
    0.0, -0.0, 1.0, -1.0, 1.5, 0.1, 65504.0, 65505.0, 65520.0, 65536.0, 2.0**-14, 2.0**-14 * 1.5,
    2.0**-15, 2.0**-24, 2.0**-25, 2.0**15 * (2 - 2**-10), 2.0**15 * (2 - 2**-11),
    2.0**-126, 2.0**-127, 2.0**-127 * 1.5, 2.0**-149, 2.0**-150, 2.0**-149 * 3, 2.0**-148 * 1.5,
    2.0**127, 2.0**128, 3.4028234663852886e38, 3.4028235677973366e38, 2.0**24, 2.0**24 + 1,
    1e300, 5e-324, sys.float_info.max, sys.float_info.min, math.inf, -math.inf, math.nan,
]


def random_floats(count):
    rng = random.Random(SEED)
    numbers = []
    for _ in range(count):
        # bit patterns, and values built to sit near the width boundaries
        numbers.append(struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0])
        bits = rng.choice((11, 24, 25, 53))
        numbers.append(math.ldexp(rng.getrandbits(bits) | 1, rng.randint(-160, 140)) * rng.choice((1, -1)))
    return numbers


def test_floats_match_the_writer():
    print("seed", SEED)
    numbers = FLOAT_BOUNDARIES + [-x for x in FLOAT_BOUNDARIES] + random_floats(5000)
    numbers += [struct.unpack(">d", struct.pack(">Q", bits))[0] for bits in (0x7FF0000000000001, 0xFFF8000000000000)]
    for number in numbers:
        expected = written("cbor_write_float", number)
        assert dumps(number) == expected, number
        assert dumps([number, FloatSub(number)]) == b"\x9f" + expected * 2 + b"\xff", number


# --- strings and bytes --------------------------------------------------------

STRING_LENGTHS = [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 33, 255, 256, 65535, 65536]


@pytest.mark.parametrize("length", STRING_LENGTHS)
def test_strings_and_bytes_of_every_copy_size(length):
    content = bytes((i * 7 + 1) % 128 for i in range(length))
    text = content.decode()
    for value, major in ((text, 3), (content, 2), (bytearray(content), 3)):
        item = reference_head(major, length) + content
        assert dumps(value) == item
        assert dumps([value, value]) == b"\x9f" + item * 2 + b"\xff"
    pair = b"\x82" + reference_head(3, length) + content + reference_head(2, length) + content
    assert dumps([StrSub(text), BytesSub(content)], indefinite=False) == pair


@pytest.mark.parametrize("text", ["\u00e9", "caf\u00e9" * 7, "\u20ac" * 9, "\U0001f600" * 5, "a\x00b", "x" * 23 + "\u00ff"])
def test_non_ascii_text_is_its_utf8(text):
    encoded = text.encode()
    item = reference_head(3, len(encoded)) + encoded
    assert dumps(text) == item
    assert dumps({text: [text]}, indefinite=False) == b"\xa1" + item + b"\x81" + item
    assert dumps([text]) == dumps(ListSub([StrSub(text)]))


@pytest.mark.parametrize("text", ["\ud800", "ab\udfff", "\udc80" * 30])
def test_text_without_utf8_fails_alike(text):
    for value in (text, [text], {text: 1}, {1: text}, [1, (text,)], StrSub(text), [StrSub(text)]):
        with pytest.raises(RuntimeError, match=exactly(CAST_MESSAGE)):
            dumps(value)


# --- both roads on whole values -----------------------------------------------------


def random_value(rng, depth=0):
    kind = rng.randrange(10 if depth < 4 else 7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return rng.choice(INT_BOUNDARIES + [rng.randint(-(2**63), 2**64 - 1), rng.randint(-1000, 1000)])
    if kind == 2:
        return rng.choice(FLOAT_BOUNDARIES[:-1] + [rng.uniform(-1e6, 1e6), float(rng.randint(-9999, 9999))])
    if kind in (3, 4):
        alphabet = "abc\u00e9\u4e2d\U0001f600"
        return "".join(rng.choice(alphabet[: rng.choice((3, 6))]) for _ in range(rng.choice(STRING_LENGTHS[:14])))
    if kind in (5, 6):
        return rng.randbytes(rng.choice(STRING_LENGTHS[:16]))
    items = [random_value(rng, depth + 1) for _ in range(rng.randrange(6))]
    if kind == 7:
        return items
    if kind == 8:
        return tuple(items)
    return {k: v for k, v in zip(items, items[::-1]) if not isinstance(k, (dict, list, tuple))}


def test_random_values_take_either_road_alike():
    print("seed", SEED)
    rng = random.Random(SEED)
    for _ in range(2000):
        value = random_value(rng)
        for options in ({}, {"indefinite": False}, {"max_depth": 2}, {"indefinite": False, "max_depth": 3}):
            direct = outcome(dumps, value, **options)
            assert direct == outcome(dumps, generic(value), **options), (value, options)
            # an int for indefinite is converted by pybind11: the other road
            converted = dict(options, indefinite=int(options.get("indefinite", True)))
            assert direct == outcome(dumps, value, **converted), (value, options)


ARGUMENTS = [
    # args, kwargs, expected hex (the value is [[1]])
    ((False,), {}, "818101"),
    ((True, 0), {}, "9f9f01ffff"),
    ((False, 2), {}, "818101"),
    ((), {"indefinite": False}, "818101"),
    ((), {"max_depth": 2, "indefinite": False}, "818101"),
    ((True,), {"max_depth": 2**32 - 1}, "9f9f01ffff"),
    ((1,), {}, "9f9f01ffff"),
    ((None,), {}, "818101"),
]


@pytest.mark.parametrize(("args", "kwargs", "expected"), ARGUMENTS)
def test_argument_forms(args, kwargs, expected):
    assert dumps([[1]], *args, **kwargs).hex() == expected


ARGUMENTS_REFUSED = [
    # args, kwargs
    ((True,), {"indefinite": True}),
    ((True, 0), {"max_depth": 0}),
    ((), {"value": 1}),
    ((), {"depth": 1}),
    ((True, -1), {}),
    ((True, 2**32), {}),
    ((), {"max_depth": 1.0}),
    ((True, 0, 0), {}),
]


@pytest.mark.parametrize(("args", "kwargs"), ARGUMENTS_REFUSED)
def test_argument_forms_refused(args, kwargs):
    with pytest.raises(TypeError, match="^dumps\\(\\): incompatible function arguments"):
        dumps([[1]], *args, **kwargs)


def test_depth_limit_error_is_the_same_on_both_roads():
    for value in ([[1]], {1: [2]}, ([(1,)],)):
        expected = exactly("Exceeded recursion limit:1")
        for candidate in (value, generic(value)):
            with pytest.raises(RuntimeError, match=expected):
                dumps(candidate, max_depth=1)


# --- recursion guard and values that change --------------------------------------


def nested(depth, make=list):
    value = make()
    for _ in range(depth):
        value = make([value])
    return value


def first_failing_depth(make):
    low, high = 1, 1 << 17
    while low < high:
        middle = (low + high) // 2
        try:
            dumps(nested(middle, make))
            low = middle + 1
        except RecursionError:
            high = middle
    return low


def test_recursion_limit_is_the_same_on_both_roads():
    limit = first_failing_depth(list)
    assert limit > 900  # the interpreter's limit, less the frames of the test run
    assert first_failing_depth(ListSub) == limit
    # the guard is left balanced: the same depth fails again, nothing less
    # (searched from the same frame: up to 3.11 Python frames count too)
    assert len(dumps(nested(limit - 1))) == 2 * limit
    assert first_failing_depth(list) == limit


def test_value_dropped_by_its_key_stays_alive():
    class ClearsTable:
        def __bool__(self):
            table.clear()
            return True

    table = {(ClearsTable(),): ["only", "the", "table", "holds", "this"]}
    with pytest.raises(RuntimeError, match=exactly("dictionary changed size during iteration")):
        dumps(table, indefinite=False)


def test_container_dropped_by_its_own_items_stays_alive():
    class ClearsOuter:
        def __bool__(self):
            outer.clear()
            return True

    outer = [[ClearsOuter(), "x" * 100, 2.5, {"k": "v"}]]
    with pytest.raises(RuntimeError, match=exactly("list changed size during iteration")):
        dumps(outer)
