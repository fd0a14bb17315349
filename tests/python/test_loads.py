"""cbor.loads: the examples of RFC 8949 Appendix A, the Python mapping and
its types, hostile inputs with their errors, nesting, buffers, round trips
through dumps and from cbor2's encoder, and mutated inputs."""

import math
import mmap
import random
import struct
import sys
import uuid
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import cbor2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import as_decoded
from ostrel_core.cbor import (CBORDecodeError, CBORSimpleValue, CBORTag, UndefinedType, dumps, encode, loads,
                              undefined)

INF, NAN = math.inf, math.nan

# (encoding, value) as RFC 8949 Appendix A gives them; tags 0 and 1 are
# datetimes, tags 23, 24 and 32 stay tags.
RFC_EXAMPLES = [
    ("00", 0), ("01", 1), ("0a", 10), ("17", 23), ("1818", 24), ("1819", 25), ("1864", 100),
    ("1903e8", 1000), ("1a000f4240", 1000000), ("1b000000e8d4a51000", 1000000000000),
    ("1bffffffffffffffff", 18446744073709551615), ("c249010000000000000000", 18446744073709551616),
    ("3bffffffffffffffff", -18446744073709551616), ("c349010000000000000000", -18446744073709551617),
    ("20", -1), ("29", -10), ("3863", -100), ("3903e7", -1000),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("fb3ff199999999999a", 1.1), ("f93e00", 1.5),
    ("f97bff", 65504.0), ("fa47c35000", 100000.0), ("fa7f7fffff", 3.4028234663852886e+38),
    ("fb7e37e43c8800759c", 1.0e+300), ("f90001", 5.960464477539063e-8), ("f90400", 0.00006103515625),
    ("f9c400", -4.0), ("fbc010666666666666", -4.1), ("f97c00", INF), ("f97e00", NAN), ("f9fc00", -INF),
    ("fa7f800000", INF), ("fa7fc00000", NAN), ("faff800000", -INF), ("fb7ff0000000000000", INF),
    ("fb7ff8000000000000", NAN), ("fbfff0000000000000", -INF),
    ("f4", False), ("f5", True), ("f6", None), ("f7", undefined), ("f0", CBORSimpleValue(16)),
    ("f8ff", CBORSimpleValue(255)),
    ("c074323031332d30332d32315432303a30343a30305a", datetime(2013, 3, 21, 20, 4, tzinfo=timezone.utc)),
    ("c11a514b67b0", datetime(2013, 3, 21, 20, 4, tzinfo=timezone.utc)),
    ("c1fb41d452d9ec200000", datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=timezone.utc)),
    ("d74401020304", CBORTag(23, b"\x01\x02\x03\x04")), ("d818456449455446", CBORTag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", CBORTag(32, "http://www.example.com")),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("60", ""), ("6161", "a"), ("6449455446", "IETF"),
    ("62225c", "\"\\"), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"), ("64f0908591", "\U00010151"),
    ("80", []), ("83010203", [1, 2, 3]), ("8301820203820405", [1, [2, 3], [4, 5]]),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", list(range(1, 26))),
    ("a0", {}), ("a201020304", {1: 2, 3: 4}), ("a26161016162820203", {"a": 1, "b": [2, 3]}),
    ("826161a161626163", ["a", {"b": "c"}]),
    ("a56161614161626142616361436164614461656145", {"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"), ("7f657374726561646d696e67ff", "streaming"),
    ("9fff", []), ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]), ("9f01820203820405ff", [1, [2, 3], [4, 5]]),
    ("83018202039f0405ff", [1, [2, 3], [4, 5]]), ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", list(range(1, 26))),
    ("bf61610161629f0203ffff", {"a": 1, "b": [2, 3]}), ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
]


def same(a, b):
    """Equal values of the same types, floats by their bits (NaN included)."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack(">d", a) == struct.pack(">d", b) or (math.isnan(a) and math.isnan(b))
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, CBORTag):
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


@pytest.mark.parametrize("encoding, value", RFC_EXAMPLES, ids=[e for e, _ in RFC_EXAMPLES])
def test_rfc_8949_examples(encoding, value):
    assert same(loads(bytes.fromhex(encoding)), value)


@pytest.mark.parametrize("encoding, value", [
    # every head width of every major type that carries a number
    ("1800", 0), ("190000", 0), ("1a00000000", 0), ("1b0000000000000000", 0), ("1b0000000100000000", 2**32),
    ("3800", -1), ("3a7fffffff", -2**31), ("3b7fffffffffffffff", -2**63), ("3b8000000000000000", -2**63 - 1),
    ("5801ff", b"\xff"), ("590001ff", b"\xff"), ("5a00000001ff", b"\xff"), ("5b0000000000000001ff", b"\xff"),
    ("7801c3", None), ("780161", "a"), ("79000161", "a"), ("7a0000000161", "a"), ("7b000000000000000161", "a"),
    ("980100", [0]), ("99000100", [0]), ("9a0000000100", [0]), ("9b000000000000000100", [0]),
    ("b8010000", {0: 0}), ("b900010000", {0: 0}), ("ba000000010000", {0: 0}), ("bb00000000000000010000", {0: 0}),
    ("d8ff00", CBORTag(255, 0)), ("d9ffff00", CBORTag(65535, 0)), ("dbffffffffffffffff00", CBORTag(2**64 - 1, 0)),
    # half floats: subnormals, NaN sign and payload kept as a double's
    ("f903ff", 1023 * 2.0**-24), ("f9fe00", -NAN), ("f97c01", struct.unpack(">d", bytes.fromhex("7ff0040000000000"))[0]),
    ("fa00000001", 2.0**-149), ("f8ff", CBORSimpleValue(255)), ("e0", CBORSimpleValue(0)), ("f820", CBORSimpleValue(32)),
    # bignums of any length, indefinite chunks included; tags in tags
    ("c240", 0), ("c340", -1), ("c25f4101420200ff", 0x010200), ("c24b" + "ff" * 11, 2**88 - 1),
    ("d9d9f7c100", datetime(1970, 1, 1, tzinfo=timezone.utc)), ("d9d9f7d9d9f7c600", CBORTag(6, 0)),
    # arrays inside map keys become tuples, in tags too
    ("a1820102f6", {(1, 2): None}), ("a19f01820203ff00", {(1, (2, 3)): 0}), ("a1c6810100", {CBORTag(6, (1,)): 0}),
    ("a2010201f5", {1: True}),  # a key given twice: the last value wins
])
def test_mapping(encoding, value):
    if value is None:
        with pytest.raises(CBORDecodeError, match="not valid UTF-8"):
            loads(bytes.fromhex(encoding))
        return
    assert same(loads(bytes.fromhex(encoding)), value)


def test_types_of_the_module():
    assert CBORTag(1, [2]) == CBORTag(1, [2]) and CBORTag(1, 2) != CBORTag(2, 2) and CBORTag(1, 2) != (1, 2)
    assert hash(CBORTag(6, (1, "a"))) == hash(CBORTag(6, (1, "a")))
    assert repr(CBORTag(32, "x")) == "CBORTag(32, 'x')" and repr(CBORSimpleValue(16)) == "CBORSimpleValue(16)"
    assert {CBORSimpleValue(16): 1}[CBORSimpleValue(16)] == 1 and CBORSimpleValue(16) != 16
    assert repr(undefined) == "undefined" and not undefined and isinstance(undefined, UndefinedType)
    assert loads(b"\x82\xf7\xf7") == [undefined, undefined] and loads(b"\xf7") is undefined
    assert issubclass(CBORDecodeError, ValueError)
    for make in (lambda: CBORTag(-1, 0), lambda: CBORTag(2**64, 0), lambda: CBORSimpleValue(24),
                 lambda: CBORSimpleValue(256)):
        with pytest.raises(ValueError):
            make()
    with pytest.raises(TypeError):
        UndefinedType()
    with pytest.raises(AttributeError):
        CBORTag(1, 2).tag = 3


# (input, offset, reason) for inputs that must fail, and fast.
HOSTILE = [
    ("", 0, "the input ends inside an item"),
    ("18", 0, "the input ends inside an item"),
    ("fb3ff0", 0, "the input ends inside an item"),
    ("8301", 0, "a length or count larger than the rest of the input can hold"),
    ("5bffffffffffffffff", 0, "a length or count larger"),
    ("7b7fffffffffffffff61", 0, "a length or count larger"),
    ("9bffffffffffffffff", 0, "a length or count larger"),
    ("bb4000000000000000", 0, "a length or count larger"),
    ("9a7fffffff" + "00" * 100, 0, "a length or count larger"),
    ("81" * 50 + "9a00ffffff" + "00" * 1000, 50, "a length or count larger"),
    ("9f01", 2, "the input ends inside an item"),
    ("c0", 1, "the input ends inside an item"),
    ("1c", 0, "reserved additional information"),
    ("fe", 0, "reserved additional information"),
    ("1f", 0, "indefinite length on an integer or a tag"),
    ("df00", 0, "indefinite length on an integer or a tag"),
    ("ff", 0, "a break outside an indefinite-length item"),
    ("8201ff", 2, "a break outside an indefinite-length item"),
    ("bf01ff", 2, "an indefinite-length map ends after a key"),
    ("5f6161ff", 1, "a chunk of an indefinite-length string"),
    ("7f5f41ffff", 1, "a chunk of an indefinite-length string"),
    ("7f7fffff", 1, "a chunk of an indefinite-length string"),
    ("62c328", 0, "not valid UTF-8"),
    ("63eda080", 0, "not valid UTF-8"),
    ("7f61e2ff", 1, "not valid UTF-8"),
    ("f81f", 0, "a two-byte simple value below 32"),
    ("0000", 1, "bytes after the end of the item"),
    ("8000ff", 1, "bytes after the end of the item"),
    ("a1a0f6", 1, "a map inside a map key"),
    ("a181a0f6", 2, "a map inside a map key"),
    ("c201", 0, "a bignum (tag 2) that does not hold a byte string"),
    ("c36161", 0, "a bignum (tag 3) that does not hold a byte string"),
    ("81" * 1501 + "00", 1501, "an item nested deeper than max_depth=1500"),
    ("c1" * 1501 + "00", 1501, "an item nested deeper than max_depth=1500"),
]


@pytest.mark.parametrize("encoding, offset, reason", HOSTILE, ids=[h[:24] for h, _, _ in HOSTILE])
def test_hostile_input(encoding, offset, reason):
    with pytest.raises(CBORDecodeError) as caught:
        loads(bytes.fromhex(encoding))
    message = str(caught.value)
    assert message.startswith(f"at byte {offset}: ") and reason in message, message


def test_nesting_limit_counts_levels_as_dumps_does():
    assert loads(b"\x81" * 1500 + b"\x00") is not None  # the default admits 1500 levels
    for value in ([[1]], {1: [2]}, [[]], [{}], {(1, (2,)): [3]}, 5, []):
        for limit in (1, 2, 3):
            try:
                dumps(value, max_depth=limit)
                fits = True
            except RuntimeError:
                fits = False
            try:
                loads(dumps(value), max_depth=limit)
                decoded = True
            except CBORDecodeError:
                decoded = False
            assert decoded == fits, (value, limit)
    # The deepest value dumps writes reads back: under the default limit up
    # to 3.12, whose guard stops dumps first; 3.13's guard lets it go deeper.
    deepest, levels = 0, 0
    while True:
        try:
            encoded = dumps([deepest])
        except RecursionError:
            break
        deepest, levels = [deepest], levels + 1
    if sys.version_info < (3, 13):
        assert loads(encoded) == deepest
    else:
        with pytest.raises(CBORDecodeError, match="nested deeper than max_depth=1500"):
            loads(encoded)
        assert loads(encoded, max_depth=levels) == deepest
    assert loads(b"\x80", max_depth=0) == [] and loads(b"\x01", max_depth=0) == 1
    with pytest.raises(CBORDecodeError, match="max_depth=0"):
        loads(b"\x81\x01", max_depth=0)


def test_hundred_thousand_levels_take_no_native_stack():
    deep = b"\x81" * 100_000 + b"\x00"
    with pytest.raises(CBORDecodeError, match="at byte 1501: "):
        loads(deep)
    value = loads(deep, max_depth=2**70)
    for _ in range(100_000):
        (value,) = value
    assert value == 0
    value = loads(b"\xa1\x00" * 100_000 + b"\x00", max_depth=100_000)
    del value  # freed without recursion


def test_arguments_and_buffers(tmp_path):
    encoded = dumps({"a": [1, b"x"]})
    expected = {"a": [1, b"x"]}
    path = tmp_path / "item.cbor"
    path.write_bytes(encoded)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert loads(mapped) == expected
    assert loads(bytearray(encoded)) == loads(memoryview(encoded)) == loads(data := encoded) == expected
    assert loads(memoryview(b"\x00" + encoded)[1:]) == expected
    with pytest.raises(BufferError):
        loads(memoryview(b"\x01\x00\x02")[::2])
    for call in (lambda: loads("text"), lambda: loads(None), lambda: loads(), lambda: loads(data, 5),
                 lambda: loads(data, depth=5), lambda: loads(data, max_depth=1.5),
                 lambda: loads(data, max_depth=True)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError, match="max_depth must be 0 or more"):
        loads(data, max_depth=-1)


# --- Round trips -------------------------------------------------------------

scalars = (st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats()
           | st.text() | st.binary())
keys = st.recursive(st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.text() | st.binary()
                    | st.floats(allow_nan=False), lambda inner: st.tuples(inner, inner), max_leaves=4)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner)
                      | st.dictionaries(keys, inner, max_size=5), max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(values, st.booleans())
def test_round_trip_through_dumps(value, indefinite):
    assert same(loads(dumps(value, indefinite=indefinite)), as_decoded(value))


def test_what_dumps_converts_reads_back_as_written():
    import numpy
    from decimal import Decimal
    for value, written in [(bytearray(b"ab"), "ab"), (numpy.int64(-5), -5), (numpy.uint64(7), 7),
                           (numpy.float64(1.5), 1.5), (numpy.bool_(False), False), (Decimal("2.5"), True),
                           ((1, (2,)), [1, [2]]), ({(1, (2,)): (3,)}, {(1, (2,)): [3]})]:
        for indefinite in (True, False):
            assert same(loads(dumps(value, indefinite=indefinite)), written), (value, indefinite)


big_scalars = scalars | st.integers() | st.floats(width=16) | st.floats(width=32)
big_values = st.recursive(big_scalars, lambda inner: st.lists(inner, max_size=5)
                          | st.dictionaries(keys | st.integers(), inner, max_size=5), max_leaves=20)


@settings(max_examples=300, deadline=None)
@given(big_values, st.booleans())
def test_what_cbor2_writes_reads_as_cbor2_reads_it(value, canonical):
    encoded = cbor2.dumps(value, canonical=canonical)
    assert same(loads(encoded), cbor2.loads(encoded))


def test_mutated_dumps_outputs_give_a_value_or_the_decode_error():
    rng = random.Random(20241208)
    values = [{"id": 7, "tags": ["a", "b"], "point": (1.5, -2.25), "blob": b"\x00\xff" * 5},
              [[], {}, "", b"", None, True, 2**64 - 1, -2**63, float("inf")], "\u00fc\u6c34" * 4]
    seeds = [dumps(v, indefinite=i) for v in values for i in (True, False)]
    outcomes = {"value": 0, "error": 0}
    for _ in range(5000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(data) + 1)
            action = rng.randrange(4)
            if action == 0 and at < len(data):
                data[at] = rng.randrange(256)
            elif action == 1:
                data[at:at] = bytes([rng.randrange(256)])
            elif action == 2:
                del data[at:at + rng.randint(1, 3)]
            else:
                del data[at:]
        try:
            loads(data, max_depth=rng.randrange(6))
            outcomes["value"] += 1
        except CBORDecodeError as e:
            assert str(e).startswith("at byte ")
            outcomes["error"] += 1
    assert min(outcomes.values()) > 100, outcomes


def text(string):
    """The hex of a text string item."""
    return encode(string).hex()


# Tags read as the Python types they stand for: (encoding, value).
SEMANTIC_TAGS = [
    ("c0" + text("2013-03-21T20:04:00Z"), datetime(2013, 3, 21, 20, 4, tzinfo=timezone.utc)),
    ("c0" + text("2013-03-21t20:04:00.5+05:30"),
     datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=timezone(timedelta(hours=5, minutes=30)))),
    ("c0" + text("0001-01-01T00:00:00.1234567-00:00"),
     datetime(1, 1, 1, 0, 0, 0, 123456, tzinfo=timezone.utc)),
    ("c13a0001517f", datetime(1969, 12, 31, tzinfo=timezone.utc)), ("c1f93e00", datetime(1970, 1, 1, 0, 0, 1, 500000,
                                                                                     tzinfo=timezone.utc)),
    ("d8641a00010000", date(2149, 6, 7)), ("d86420", date(1969, 12, 31)),
    ("d903ec" + text("2024-02-29"), date(2024, 2, 29)),
    ("c48221196ab3", Decimal("273.15")), ("c4820520", Decimal("-1E+5")), ("c48200c24d" + "01" * 13,
                                                                         Decimal(int("01" * 13, 16))),
    ("d81e822003", Fraction(-1, 3)), ("d81e820204", Fraction(1, 2)),
    ("d82550" + "00" * 15 + "05", uuid.UUID(int=5)),
    ("d90102820102", {1, 2}), ("d9010280", set()), ("d901028201820203", {1, (2, 3)}),
    ("a1d9010281010a", {frozenset({1}): 10}), ("d9010283010101", {1}),
    ("d9d9f7d9d9f783010203", [1, 2, 3]), ("d9d9f8c100", CBORTag(55800, datetime(1970, 1, 1, tzinfo=timezone.utc))),
]


@pytest.mark.parametrize("encoding, value", SEMANTIC_TAGS, ids=[e[:40] for e, _ in SEMANTIC_TAGS])
def test_semantic_tags(encoding, value):
    decoded = loads(bytes.fromhex(encoding))
    assert type(decoded) is type(value) and decoded == value
    if isinstance(value, datetime):
        assert decoded.utcoffset() == value.utcoffset()


# (encoding, offset, reason) of malformed semantic tags.
MALFORMED_TAGS = [
    ("c001", 0, "a date/time (tag 0) that is not an RFC 3339 text"),
    ("c0" + text("2013-02-29T20:04:00Z"), 0, "a date/time (tag 0) that is not an RFC 3339 text of an existing"),
    ("c0" + text("2013-03-21T24:04:00Z"), 0, "tag 0"), ("c0" + text("2013-03-21T23:59:60Z"), 0, "tag 0"),
    ("c0" + text("2013-03-21T20:04:00"), 0, "tag 0"), ("c0" + text("2013-03-21T20:04:00.Z"), 0, "tag 0"),
    ("c0" + text("2013-03-21T20:04:00+24:00"), 0, "tag 0"), ("c0" + text("2013-03-21 20:04:00Z"), 0, "tag 0"),
    ("8201c1fb7ff0000000000000", 2, "an epoch time (tag 1) that is not a number of seconds within the years 1"),
    ("c1fb7ff8000000000000", 0, "tag 1"), ("c11b7fffffffffffffff", 0, "tag 1"), ("c16161", 0, "tag 1"),
    ("c1c24a" + "ff" * 10, 0, "tag 1"), ("c1f5", 0, "tag 1"),
    ("d8641b7fffffffffffffff", 0, "an epoch date (tag 100) that is not a number of days"), ("d864f93c00", 0, "tag 100"),
    ("d903ec" + text("2023-02-29"), 0, "a date (tag 1004) that is not the text \"YYYY-MM-DD\" of an existing day"),
    ("d903ec" + text("2023-2-28"), 0, "tag 1004"), ("d903ec1a00000000", 0, "tag 1004"),
    ("c48101", 0, "a decimal fraction (tag 4) that is not [exponent, mantissa] of two integers"),
    ("c48201f5", 0, "tag 4"), ("c483010203", 0, "tag 4"), ("c482f93c0001", 0, "tag 4"),
    ("c4821b7fffffffffffffff01", 0, "tag 4"),
    ("d81e820100", 0, "a rational number (tag 30) that is not [numerator, denominator] of two integers, the "
                      "denominator not zero"), ("d81e8101", 0, "tag 30"), ("d81e8201f93c00", 0, "tag 30"),
    ("d8254f" + "00" * 15, 0, "a UUID (tag 37) that is not a byte string of 16 bytes"), ("d82501", 0, "tag 37"),
    ("d9010201", 0, "a set (tag 258) that is not an array"), ("d9010281a0", 4, "a map inside a map key or a set"),
]


@pytest.mark.parametrize("encoding, offset, reason", MALFORMED_TAGS, ids=[e[:40] for e, *_ in MALFORMED_TAGS])
def test_malformed_semantic_tags(encoding, offset, reason):
    with pytest.raises(CBORDecodeError) as raised:
        loads(bytes.fromhex(encoding))
    assert str(raised.value).startswith(f"at byte {offset}: ") and reason in str(raised.value)


def test_mutated_semantic_tags_give_a_value_or_the_decode_error():
    """Only values or CBORDecodeError come out of tagged items changed at
    random: none of Python's own exceptions from the types' constructors."""
    rng = random.Random(258)
    seeds = [encode(v) for v in (
        [datetime(2013, 3, 21, 20, 4, 0, 25, tzinfo=timezone(timedelta(hours=-5))), date(1, 1, 1)],
        {Decimal("-273.15"): Fraction(7, -3), "u": uuid.UUID(int=2**127), "s": {1, (2, "x")}},
        [Decimal("1E-30"), Decimal("9" * 40), Fraction(2**70, 3), date(9999, 12, 31)])]
    seeds += [bytes.fromhex(e) for e, _ in SEMANTIC_TAGS]
    outcomes = {"value": 0, "error": 0}
    for _ in range(20000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 3)):
            if not data:
                break
            at = rng.randrange(len(data))
            if rng.randrange(3):
                data[at] = rng.choice([rng.randrange(256), data[at] ^ 1 << rng.randrange(8), 0xc0, 0xc1, 0xc4,
                                       0x1b, 0x3b, 0x82, 0x80, 0xf9, 0x30 + rng.randrange(10)])
            else:
                del data[at:at + rng.randint(1, 4)]
        try:
            loads(data)
            outcomes["value"] += 1
        except CBORDecodeError as e:
            assert str(e).startswith("at byte ")
            outcomes["error"] += 1
    assert min(outcomes.values()) > 1000, outcomes
