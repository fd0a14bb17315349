"""cbor.encode: exact bytes for every type it takes, RFC 8949 Appendix A in
deterministic form, round trips through loads and with cbor2 both ways,
canonical order, and the errors for types, cycles and depth."""

import collections
import enum
import math
import random
import struct
import uuid
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import StrSub, exactly, reference_head
from ostrel_core.cbor import CBORSimpleValue, CBORTag, dumps, encode, loads, undefined

UTC = timezone.utc


class Color(enum.IntEnum):
    RED = 2


Point = collections.namedtuple("Point", "x y")


class Opaque:
    pass


class OddInt(int):
    def __int__(self):
        return 0

    def __invert__(self):
        return 0


class OddDecimal(Decimal):
    def as_tuple(self):
        return (0, ("1", "5"), -1)


# (value, encoding): one row per kind of value, subclasses as their base.
TYPES = [
    (None, "f6"), (True, "f5"), (False, "f4"), (0, "00"), (-1, "20"), (Color.RED, "02"),
    (2**64 - 1, "1bffffffffffffffff"), (-2**64, "3bffffffffffffffff"), (OddInt(-2**64), "3bffffffffffffffff"),
    (OddInt(2**64), "c249010000000000000000"),
    (2**64, "c249010000000000000000"), (-2**64 - 1, "c349010000000000000000"), (2**70, "c249400000000000000000"),
    (1.5, "f93e00"), (-0.0, "f98000"), (100000.0, "fa47c35000"), (1.1, "fb3ff199999999999a"),
    (math.nan, "f97e00"), (-math.nan, "f97e00"), (math.inf, "f97c00"), (2.0**-149, "fa00000001"),
    (1023 * 2.0**-24, "f903ff"), (-(2.0**-24), "f98001"), (2.0**-25, "fa33000000"),
    ("a", "6161"), (StrSub("ab"), "626162"), ("\u00fc", "62c3bc"),
    (b"a", "4161"), (bytearray(b"y"), "4179"), (memoryview(b"ab"), "426162"),
    (memoryview(b"abc")[::2], None), ([1, (2,)], "82018102"), (Point(1, 2), "820102"),
    ({"b": 1, "a": [2]}, "a261620161618102"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "a2616201616102"),
    ({(1, 2): frozenset()}, "a1820102d9010280"), ({3}, "d901028103"),
    (datetime(2013, 3, 21, 20, 4, tzinfo=UTC), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (datetime(2013, 3, 21, 20, 4, 0, 250000, tzinfo=timezone(timedelta(hours=-5, minutes=-30))),
     "c0781c" + b"2013-03-21T20:04:00.25-05:30".hex()),
    (datetime(1, 1, 1, 0, 0, 30, tzinfo=timezone(timedelta(seconds=30))), "c074" + b"0001-01-01T00:00:00Z".hex()),
    (date(2020, 1, 2), "d903ec6a" + b"2020-01-02".hex()),
    (Decimal("273.15"), "c48221196ab3"), (Decimal("-1.5"), "c482202e"),
    (Decimal("1E+3"), "c4820301"), (Decimal("NaN"), "f97e00"), (Decimal("-Infinity"), "f9fc00"),
    (Decimal("1" * 30), "c48200c24d" + int("1" * 30).to_bytes(13, "big").hex()),
    (Fraction(-1, 3), "d81e822003"), (uuid.UUID(int=5), "d82550" + "00" * 15 + "05"),
    (CBORTag(32, "x"), "d8206178"), (CBORSimpleValue(16), "f0"), (CBORSimpleValue(255), "f8ff"), (undefined, "f7"),
]


@pytest.mark.parametrize("value, encoding", TYPES, ids=[repr(v)[:40] for v, _ in TYPES])
def test_types(value, encoding):
    if encoding is None:
        with pytest.raises(TypeError, match="cannot encode an object of type 'memoryview'"):
            encode(value)
        return
    assert encode(value).hex() == encoding


# RFC 8949 Appendix A: every example in preferred serialization, which
# canonical=True must reproduce byte for byte.
RFC_EXAMPLES = [
    (0, "00"), (1, "01"), (10, "0a"), (23, "17"), (24, "1818"), (25, "1819"), (100, "1864"), (1000, "1903e8"),
    (1000000, "1a000f4240"), (1000000000000, "1b000000e8d4a51000"), (18446744073709551615, "1bffffffffffffffff"),
    (18446744073709551616, "c249010000000000000000"), (-18446744073709551616, "3bffffffffffffffff"),
    (-18446744073709551617, "c349010000000000000000"), (-1, "20"), (-10, "29"), (-100, "3863"), (-1000, "3903e7"),
    (0.0, "f90000"), (-0.0, "f98000"), (1.0, "f93c00"), (1.1, "fb3ff199999999999a"), (1.5, "f93e00"),
    (65504.0, "f97bff"), (100000.0, "fa47c35000"), (3.4028234663852886e+38, "fa7f7fffff"),
    (1.0e+300, "fb7e37e43c8800759c"), (5.960464477539063e-8, "f90001"), (0.00006103515625, "f90400"),
    (-4.0, "f9c400"), (-4.1, "fbc010666666666666"), (math.inf, "f97c00"), (math.nan, "f97e00"),
    (-math.inf, "f9fc00"), (False, "f4"), (True, "f5"), (None, "f6"), (undefined, "f7"),
    (CBORSimpleValue(16), "f0"), (CBORSimpleValue(255), "f8ff"),
    (datetime(2013, 3, 21, 20, 4, tzinfo=UTC), "c074323031332d30332d32315432303a30343a30305a"),
    (CBORTag(1, 1363896240), "c11a514b67b0"), (CBORTag(1, 1363896240.5), "c1fb41d452d9ec200000"),
    (CBORTag(23, b"\x01\x02\x03\x04"), "d74401020304"), (CBORTag(24, b"dIETF"), "d818456449455446"),
    (CBORTag(32, "http://www.example.com"), "d82076687474703a2f2f7777772e6578616d706c652e636f6d"),
    (b"", "40"), (b"\x01\x02\x03\x04", "4401020304"), ("", "60"), ("a", "6161"), ("IETF", "6449455446"),
    ("\"\\", "62225c"), ("\u00fc", "62c3bc"), ("\u6c34", "63e6b0b4"), ("\U00010151", "64f0908591"),
    ([], "80"), ([1, 2, 3], "83010203"), ([1, [2, 3], [4, 5]], "8301820203820405"),
    (list(range(1, 26)), "98190102030405060708090a0b0c0d0e0f101112131415161718181819"),
    ({}, "a0"), ({3: 4, 1: 2}, "a201020304"), ({"b": [2, 3], "a": 1}, "a26161016162820203"),
    (["a", {"b": "c"}], "826161a161626163"),
    ({"e": "E", "d": "D", "c": "C", "b": "B", "a": "A"}, "a56161614161626142616361436164614461656145"),
]


@pytest.mark.parametrize("value, encoding", RFC_EXAMPLES, ids=[e for _, e in RFC_EXAMPLES])
def test_rfc_8949_examples_in_deterministic_form(value, encoding):
    assert encode(value, canonical=True).hex() == encoding


def test_canonical_order_is_bytewise_order_of_the_encoded_keys():
    # 10 (0a) < 100 (18 64) < -1 (20) < b"" (40) < "z" (61 7a) < "aa" (62 61 61) < (1,) (81 01) < False (f4)
    value = {"aa": 0, b"": 1, -1: 2, 100: 3, "z": 4, 10: 5, (1,): 6, False: 7}
    assert encode(value, canonical=True).hex() == "a8" + "".join(
        ["0a05", "186403", "2002", "4001", "617a04", "62616100", "810106", "f407"])
    assert encode({"b": {2: 0, 1: 0}, "a": {3, 1}}, canonical=True).hex() == "a26161d90102820103" + "6162a201000200"
    with pytest.raises(ValueError, match=r"two keys or set members with the same encoding at value\Z"):
        encode({Opaque(): 1, Opaque(): 2}, canonical=True, default=lambda o: "same")


keys = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5) | st.binary(
    max_size=5)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(keys, st.integers(), max_size=12), st.randoms(use_true_random=False))
def test_canonical_bytes_do_not_depend_on_insertion_order(items, rng):
    shuffled = list(items.items())
    rng.shuffle(shuffled)
    encoded = encode(dict(shuffled), canonical=True)
    assert encoded == encode(items, canonical=True)
    # The same map written from its entries sorted by their bytes.
    entries = sorted(encode(k) + encode(v) for k, v in items.items())
    assert encoded == reference_head(5, len(items)) + b"".join(entries)
    members = sorted(encode(k) for k in items)
    assert encode(set(items), canonical=True) == b"\xd9\x01\x02" + reference_head(4, len(items)) + b"".join(members)


# Values of every type of the table that compare equal after a round trip
# (tuples come back as lists, bytearrays as bytes, frozensets as sets).
zones = st.sampled_from([UTC, timezone(timedelta(hours=5, minutes=30)), timezone(timedelta(hours=-8))])
leaves = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary()
          | st.datetimes(timezones=zones) | st.dates() | st.decimals(allow_nan=False, allow_infinity=False)
          | st.fractions() | st.uuids())
hashables = st.none() | st.booleans() | st.integers() | st.text(max_size=8) | st.uuids() | st.dates()
values = st.recursive(
    leaves, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(hashables, inner, max_size=4)
    | st.frozensets(hashables, max_size=4).map(set), max_leaves=12)


def normal(value):
    """The value as a decoder gives it back."""
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    if isinstance(value, dict):
        return {k: normal(v) for k, v in value.items()}
    if isinstance(value, bytearray):
        return bytes(value)
    return value


def same(a, b, ordered=True):
    """Equal and of the same types, floats by their bits, datetimes with
    their offsets, maps with their order unless ordered is False."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack(">d", a) == struct.pack(">d", b)
    if type(a) is not type(b) and not (isinstance(a, (set, frozenset)) and isinstance(b, (set, frozenset))):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y, ordered) for x, y in zip(a, b))
    if isinstance(a, dict):
        return (list(a) == list(b) or not ordered and a.keys() == b.keys()) and all(
            same(a[k], b[k], ordered) for k in a)
    if isinstance(a, datetime):
        return a == b and a.utcoffset() == b.utcoffset()
    return a == b


@settings(max_examples=400, deadline=None)
@given(values, st.booleans())
def test_round_trip_through_loads(value, canonical):
    assert same(loads(encode(value, canonical=canonical)), normal(value), ordered=not canonical)


@settings(max_examples=400, deadline=None)
@given(values)
def test_cbor2_reads_what_encode_writes(value):
    assert same(cbor2.loads(encode(value)), normal(value))


@settings(max_examples=400, deadline=None)
@given(values)
def test_loads_reads_what_cbor2_writes(value):
    assert same(loads(cbor2.dumps(value)), normal(value))


def test_buffers_of_bytes_are_byte_strings_and_numbers_are_not():
    import array

    import numpy
    assert encode([array.array("B", b"ab"), numpy.frombuffer(b"cd", numpy.uint8)]).hex() == "82426162426364"
    for number in (numpy.uint8(5), numpy.uint64(2**63), numpy.int64(-1)):
        with pytest.raises(TypeError, match=rf"cannot encode an object of type '(numpy\.)?{type(number).__name__}'"):
            encode(number)
    assert encode(numpy.uint64(2**63), default=int).hex() == "1b8000000000000000"


def test_default_converts_what_encode_does_not_take():
    seen = []

    def default(obj):
        seen.append(type(obj).__name__)
        return {"opaque": [Opaque()] if len(seen) == 1 else id(obj) % 1}

    assert loads(encode([Opaque()], default=default)) == [{"opaque": [{"opaque": 0}]}]
    assert seen == ["Opaque", "Opaque"]
    assert encode(complex(1, 2), default=lambda c: [c.real, c.imag]).hex() == "82f93c00f94000"


# (value, options, exception, message) for values encode refuses.
ERRORS = [
    (Opaque(), {}, TypeError,
     "encode(): cannot encode an object of type 'Opaque' (give encode a default= function that converts it) at value"),
    ([1, {"k": {2: Opaque()}}], {}, TypeError, "... at value[1]['k'][2]"),
    ({Opaque(): 1}, {}, TypeError, "... at value (the key <test_encode.Opaque object..."),
    ([{1}, {Opaque}], {}, TypeError, "... at value[1] (a member of the set)"),
    ([CBORTag(6, [0, Opaque()])], {}, TypeError, "... at value[0].value[1]"),
    (Opaque(), {"default": lambda o: o}, TypeError,
     "encode(): cannot encode an object of type 'Opaque', which default returned at value"),
    ([Opaque()], {"default": lambda o: [1, o]}, ValueError, "... nesting deeper than max_depth=1500 at value[0][1][1]"),
    (complex(1, 2), {"default": lambda o: 1 / 0}, ZeroDivisionError, "division by zero"),
    (datetime(2020, 1, 1), {}, ValueError, "encode(): a naive datetime (give it a tzinfo, e.g. datetime.timezone.utc) "
                                           "at value"),
    (["\ud800"], {}, ValueError, "encode(): a str that has no UTF-8 form (it holds a lone surrogate) at value[0]"),
    ([[1]], {"max_depth": 1}, ValueError, "encode(): nesting deeper than max_depth=1 at value[0]"),
    ({3}, {"max_depth": 1}, ValueError, "... at value"),
    (Decimal("1.5"), {"max_depth": 1}, ValueError, "... at value"),
    (2**64, {"max_depth": 0}, ValueError, "... at value"),
    (OddDecimal("1.5"), {}, TypeError, "encode(): a Decimal whose as_tuple() is not (sign, digits, exponent) at "
                                       "value"),
    (1, {"default": 1}, TypeError, "default must be callable or None, not int"),
    (1, {"max_depth": -1}, ValueError, "max_depth must be 0 or more"),
    (1, {"indent": 1}, TypeError, "encode() got an unexpected keyword argument 'indent'"),
]


@pytest.mark.parametrize("value, options, error, message", ERRORS, ids=[m[:50] for *_, m in ERRORS])
def test_errors(value, options, error, message):
    with pytest.raises(error) as raised:
        encode(value, **options)
    if message.startswith("... "):
        assert message[4:].rstrip(".") in str(raised.value)
    else:
        assert str(raised.value) == message


def test_containers_that_hold_themselves():
    cycles = []
    lst = [1]
    lst.append(lst)
    cycles.append((lst, "value[1]"))
    d = {"a": [0]}
    d["a"].append(d)
    cycles.append((d, "value['a'][1]"))
    t = ([],)
    t[0].append(t)
    cycles.append((t, "value[0][0]"))
    inner = []
    tag = CBORTag(6, inner)
    inner.append(tag)
    cycles.append(([tag], "value[0].value[0]"))
    for value, where in cycles:
        for canonical in (False, True):
            with pytest.raises(ValueError, match=exactly("encode(): a container that holds itself at " + where)):
                encode(value, canonical=canonical)
    shared = [1]
    assert encode([shared, shared]) == encode([[1], [1]])  # met twice is not a cycle
    # A cycle of three lists below 40 others is named where it closes, and
    # so is a cycle that reaches the depth limit first.
    a, b, c = [], [], []
    a.append(b), b.append(c), c.append(a)
    value = a
    for _ in range(40):
        value = [value]
    with pytest.raises(ValueError, match=exactly("encode(): a container that holds itself at value" + "[0]" * 8 + "..."
                                                 + "[0]" * 8)):
        encode(value)
    with pytest.raises(ValueError, match=exactly("encode(): a container that holds itself at value[1]")):
        encode(lst, max_depth=1)


def test_depth_is_counted_as_loads_counts_it_without_native_recursion():
    deep = []
    for _ in range(200000):
        deep = [deep]
    with pytest.raises(ValueError, match="nesting deeper than max_depth=1500"):
        encode(deep)
    encoded = encode(deep, max_depth=10**9)
    assert encoded == b"\x81" * 200000 + b"\x80"
    rng = random.Random(19)
    for _ in range(300):
        value = rng.choice([0, [], {}, {1}, Decimal("1.5"), 2**70, date(2000, 1, 1), "x"])
        for _ in range(rng.randrange(5)):
            value = rng.choice([[value], {"k": value}, CBORTag(7, value), (value, 1)])
        encoded = encode(value)
        for max_depth in range(8):
            try:
                loads(encoded, max_depth=max_depth)
                decoded = True
            except ValueError:
                decoded = False
            try:
                assert encode(value, max_depth=max_depth) == encoded
                assert decoded, (value, max_depth)
            except ValueError:
                assert not decoded, (value, max_depth)


def test_containers_changed_by_default_end_the_call():
    items = [Opaque(), 1, 2]
    with pytest.raises(RuntimeError, match=exactly("encode(): a list changed size while it was encoded at value[0]")):
        encode(items, default=lambda o: items.clear())
    table = {"a": Opaque(), "b": 1}
    with pytest.raises(RuntimeError, match="a dict changed size while it was encoded"):
        encode(table, default=lambda o: table.pop("b"))


def test_dumps_is_unchanged():
    assert dumps(bytearray(b"y")) == b"\x61\x79" and dumps(2.0**-24) == bytes.fromhex("fa33800000")
    assert encode(2.0**-24) == bytes.fromhex("f90001")
