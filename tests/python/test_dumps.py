"""ostrel_core.cbor.dumps: exact bytes, the alternative each value lands on,
the depth limit, every failure message, and values that fight back.

The property tests use hypothesis with a fixed seed (HYPOTHESIS_SEED below);
they compare dumps byte for byte with a small encoder written here from the
wire rules, and decode what dumps wrote with cbor2.
"""

import ctypes
import math
import struct
from decimal import Decimal
from fractions import Fraction

import cbor2
import numpy as np
import pytest
from hypothesis import given, seed, settings
from hypothesis import strategies as st

import ostrel_core
from conftest import CAST_MESSAGE, RANGE_MESSAGE, BytesSub, FloatSub, IntSub, StrSub, as_decoded, exactly, reference_head
from ostrel_core.cbor import dumps

HYPOTHESIS_SEED = 20240611

SIGNATURE = (
    "(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool, int, int, str],"
    " indefinite: bool = True, max_depth: int = 0) -> bytes"
)


# --- exact bytes ------------------------------------------------------------


class ListHidingItems(list):
    """Python-level views that disagree with the list's own storage."""

    def __iter__(self):
        return iter([99])

    def __len__(self):
        return 5

    def __getitem__(self, index):
        return 99


class TupleHidingItems(tuple):
    def __iter__(self):
        return iter([99])

    def __len__(self):
        return 5


class DictHidingItems(dict):
    def __iter__(self):
        return iter(["x"])

    def __len__(self):
        return 5

    def items(self):
        return [("x", 99)]

    def keys(self):
        return ["x"]

    def __getitem__(self, key):
        return 99


class Truthy:
    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntConvertible:
    def __int__(self):
        return 3


DEFAULT_FRAMING = [
    # value, expected hex (indefinite=True, max_depth=0)
    (None, "f6"),
    (True, "f5"),
    (False, "f4"),
    (0, "00"),
    (-1, "20"),
    (23, "17"),
    (24, "1818"),
    (255, "18ff"),
    (256, "190100"),
    (65536, "1a00010000"),
    (2**32, "1b0000000100000000"),
    (-24, "37"),
    (-25, "3818"),
    (-257, "390100"),
    (2**64 - 1, "1b" + "ff" * 8),
    (-(2**63), "3b7f" + "ff" * 7),
    (2**63, "1b8000000000000000"),
    ([], "9fff"),
    ({}, "bfff"),
    ((), "9fff"),
    ([1, (2,)], "9f019f02ffff"),
    ([1, 1.5, "a"], "9f01f93e006161ff"),
    ({"a": [None]}, "bf61619ff6ffff"),
    (b"a", "4161"),
    (b"", "40"),
    ("a", "6161"),
    ("", "60"),
    ("\u00e9", "62c3a9"),
    (b"x" * 24, "5818" + "78" * 24),
    ("y" * 256, "790100" + "79" * 256),
    (bytearray(b"a"), "6161"),
    (bytearray(), "60"),
    # floats, narrowest exact width (the property below covers the rule)
    (1.5, "f93e00"),
    (-0.0, "f98000"),
    (65504.0, "f97bff"),
    (65505.0, "fa477fe100"),
    (2.0**-24, "fa33800000"),  # a half subnormal is written as a single
    (0.1, "fb3fb999999999999a"),
    (math.nan, "f97e00"),
    (-math.inf, "f9fc00"),
    # subclasses land on their base type and are read from their own storage
    (IntSub(7), "07"),
    (FloatSub(1.5), "f93e00"),
    (StrSub("a"), "6161"),
    (BytesSub(b"a"), "4161"),
    (ListHidingItems([1, 2]), "9f0102ff"),
    (TupleHidingItems((1, 2)), "9f0102ff"),
    (DictHidingItems({1: 2}), "bf0102ff"),
    # foreign objects: numpy integers take an integer alternative, the rest
    # whatever conversion they offer, truth value first
    (np.int64(5), "05"),
    (np.int64(-5), "24"),
    (np.uint8(200), "18c8"),
    (np.uint64(2**63 - 1), "1b7f" + "ff" * 7),
    (np.int64(-(2**63)), "3b7f" + "ff" * 7),
    # beyond int64 a numpy integer is no index-protocol int64: truth value
    (np.uint64(2**64 - 1), "f5"),
    (np.float64(1.5), "f93e00"),  # a float subclass
    (np.float32(1.5), "f5"),  # not a float: its truth value
    (np.float32(0.0), "f4"),
    (Decimal("2.5"), "f5"),
    (Decimal(0), "f4"),
    (Fraction(1, 3), "f5"),
    (Fraction(0), "f4"),
    (0j, "f4"),
    (Truthy(True), "f5"),
    (Truthy(False), "f4"),
    (Index(7), "07"),
    (Index(-7), "26"),
    (Index(2**64 - 1), "1b" + "ff" * 8),
    (IntConvertible(), "03"),
    ([Decimal(1), np.int64(2)], "9ff502ff"),
]


@pytest.mark.parametrize(("value", "expected"), DEFAULT_FRAMING)
def test_default_framing(value, expected):
    assert dumps(value).hex() == expected


DEFINITE_FRAMING = [
    # value, expected hex (indefinite=False)
    ([], "80"),
    ({}, "a0"),
    ([1, (2,)], "82018102"),
    ({"a": 1}, "a1616101"),
    ({2: 0, 1: 0}, "a202000100"),
    (b"a", "4161"),
    ("a", "6161"),
    (list(range(24)), "9818" + "".join(f"{i:02x}" for i in range(24))),
    ({None: 1.5, (1, 2): b"", 2.5: False, True: "x"}, "a4f6f93e00820102 40f94100f4f56178".replace(" ", "")),
    ({(): {}}, "a180a0"),
]


@pytest.mark.parametrize(("value", "expected"), DEFINITE_FRAMING)
def test_definite_framing(value, expected):
    assert dumps(value, indefinite=False).hex() == expected


def test_arguments_by_keyword_and_defaults():
    assert dumps(value=[1], indefinite=False, max_depth=3) == bytes.fromhex("8101")
    assert dumps([1], False, 1) == bytes.fromhex("8101")
    assert dumps([1]) == dumps([1], indefinite=True, max_depth=0)
    assert dumps([1], indefinite=0) == bytes.fromhex("8101")


# --- depth limit ------------------------------------------------------------

DEPTH_ACCEPTED = [
    # value, max_depth, expected hex (indefinite=True)
    ([[]], 1, "9f9fffff"),
    (5, 1, "05"),
    ([1], 1, "9f01ff"),
    ({1: []}, 1, "bf019fffff"),
    ([[1]], 2, "9f9f01ffff"),
    ({1: {2: 3}}, 2, "bf01bf0203ffff"),
    ([[[[]]]], 3, "9f9f9f9fffffffff"),
    ([1, [2, [3]]], 3, "9f019f029f03ffffff"),
    ([[1]], 2**32 - 1, "9f9f01ffff"),
]


@pytest.mark.parametrize(("value", "max_depth", "expected"), DEPTH_ACCEPTED)
def test_depth_accepted(value, max_depth, expected):
    assert dumps(value, max_depth=max_depth).hex() == expected


DEPTH_REFUSED = [
    # value, max_depth, message
    ([[1]], 1, "Exceeded recursion limit:1"),
    ({1: [2]}, 1, "Exceeded recursion limit:1"),
    ({(1,): 0}, 1, "Exceeded recursion limit:1"),
    ([[[1]]], 2, "Exceeded recursion limit:2"),
    ([0, [1, [2, [3, [4]]]]], 4, "Exceeded recursion limit:4"),
    # the level is tested before the item is converted
    ([[{1}]], 1, "Exceeded recursion limit:1"),
    ({1: {2: {3}}}, 1, "Exceeded recursion limit:1"),
    # a conversion that fails within the limit fails as a conversion
    ([{1}], 1, CAST_MESSAGE),
    ({1: {2}}, 1, CAST_MESSAGE),
    ({frozenset(): 1}, 1, CAST_MESSAGE),
]


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize(("value", "max_depth", "message"), DEPTH_REFUSED)
def test_depth_refused(value, max_depth, message, indefinite):
    with pytest.raises(RuntimeError, match=exactly(message)):
        dumps(value, indefinite=indefinite, max_depth=max_depth)


# --- failures ---------------------------------------------------------------


def incompatible(invoked):
    return (
        "dumps(): incompatible function arguments. The following argument types are supported:\n"
        f"    1. {SIGNATURE}\n\nInvoked with: {invoked}"
    )


TYPE_ERRORS = [
    # args, kwargs, message
    (({1, 2},), {}, incompatible("{1, 2}")),
    ((frozenset(),), {}, incompatible("frozenset()")),
    ((object,), {}, incompatible("<class 'object'>")),
    ((1,), {"max_depth": -1}, incompatible("1; kwargs: max_depth=-1")),
    ((1,), {"max_depth": 1.0}, incompatible("1; kwargs: max_depth=1.0")),
    ((1,), {"max_depth": 2**32}, incompatible("1; kwargs: max_depth=4294967296")),
    ((1,), {"indefinite": "yes"}, incompatible("1; kwargs: indefinite='yes'")),
    ((), {}, incompatible("")),
]


@pytest.mark.parametrize(("args", "kwargs", "message"), TYPE_ERRORS)
def test_type_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=exactly(message)):
        dumps(*args, **kwargs)


def test_memoryview_is_refused():
    with pytest.raises(TypeError, match="^dumps\\(\\): incompatible function arguments"):
        dumps(memoryview(b"a"))


class NotEqual(int):
    """An int whose round trip never compares equal."""

    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class NotEqualWithText(NotEqual):
    def __new__(cls, value, text):
        number = super().__new__(cls, value)
        number.text = text
        return number

    def __str__(self):
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


RUNTIME_ERRORS = [
    # value, message
    ([{1, 2}], CAST_MESSAGE),
    ({1: frozenset()}, CAST_MESSAGE),
    ({frozenset(): 1}, CAST_MESSAGE),
    ([memoryview(b"")], CAST_MESSAGE),
    ([object()], CAST_MESSAGE),
    ("\ud800", CAST_MESSAGE),
    (["a\udfff"], CAST_MESSAGE),
    ({"\ud800": 1}, CAST_MESSAGE),
    (2**64, RANGE_MESSAGE + "18446744073709551616"),
    (-(2**63) - 1, RANGE_MESSAGE + "-9223372036854775809"),
    (-(2**64), RANGE_MESSAGE + "-18446744073709551616"),
    ([0, 10**60], RANGE_MESSAGE + "1" + "0" * 39),
    (-(10**60), RANGE_MESSAGE + "-1" + "0" * 38),
    ({2**100: 0}, RANGE_MESSAGE + str(2**100)),
    (NotEqual(5), RANGE_MESSAGE + "5"),
    (NotEqualWithText(5, "five"), RANGE_MESSAGE + "five"),
    (NotEqualWithText(5, "x" * 41), RANGE_MESSAGE + "x" * 40),
    (NotEqualWithText(5, "\u00e9" * 30), RANGE_MESSAGE + "\u00e9" * 20),
    # a cut in the middle of a character drops the whole character
    (NotEqualWithText(5, "a" + "\u00e9" * 30), RANGE_MESSAGE + "a" + "\u00e9" * 19),
    (NotEqualWithText(5, "\U0001f600" * 11), RANGE_MESSAGE + "\U0001f600" * 10),
    # str() beyond the interpreter's digit limit fails: its message is quoted
    pytest.param(10**5000, RANGE_MESSAGE + "failed with ValueError: Exceeds the limi", id="digit-limit"),
]


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize(("value", "message"), RUNTIME_ERRORS)
def test_runtime_errors(value, message, indefinite):
    with pytest.raises(RuntimeError, match=exactly(message)):
        dumps(value, indefinite=indefinite)


def test_text_of_a_failing_str_is_its_error():
    with pytest.raises(RuntimeError) as caught:
        dumps(NotEqualWithText(5, ValueError("no text")))
    message = str(caught.value)
    assert message.startswith(RANGE_MESSAGE + "failed with ValueError: no text")
    assert len(message) <= len(RANGE_MESSAGE) + 40


# --- the generator cannot grow ----------------------------------------------


@pytest.fixture
def alloc_fail_after():
    core = ctypes.CDLL(ostrel_core.__file__)
    hook = core._ostrel_alloc_fail_after
    hook.argtypes = [ctypes.c_long]
    yield hook
    hook(-1)


def test_failed_allocations_raise_memory_error_never_truncate(alloc_fail_after):
    value = {"list": list(range(300)), "text": "t" * 1000, "nested": [[1.5, None], (b"x" * 70000,)]}
    for framing in (True, False):
        expected = dumps(value, indefinite=framing)
        for successes in range(10_000):
            alloc_fail_after(successes)
            try:
                result = dumps(value, indefinite=framing)
            except MemoryError:
                continue
            finally:
                alloc_fail_after(-1)
            assert result == expected
            break
        else:
            pytest.fail("dumps never succeeded")


def test_stream_beyond_its_limit_is_memory_error():
    # A stream holds at most 2^31 - 1 bytes; bytes(n) costs no memory here.
    with pytest.raises(MemoryError):
        dumps([bytes(2**31)])


# --- values that change while they are encoded -------------------------------


class Mutator:
    """Runs an action when pybind11 asks for its truth value."""

    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True


def mutated_list(action_on):
    items = [None, 1, 2]
    items[0] = Mutator(lambda: action_on(items))
    return items


def mutated_dict(action_on):
    table = {"k": None, "b": 1}
    table["k"] = Mutator(lambda: action_on(table))
    return table


class EqualsClears(int):
    def __init__(self, value):
        self.owner = None

    def __eq__(self, other):
        self.owner.clear()
        return int(self) == int(other)

    __hash__ = int.__hash__


def list_cleared_by_eq():
    item = EqualsClears(5)
    item.owner = [item, 1, 2]
    value = item.owner
    return value


MUTATIONS = [
    # make value, message
    (lambda: mutated_list(lambda items: items.clear()), "list changed size during iteration"),
    (lambda: mutated_list(lambda items: items.append(3)), "list changed size during iteration"),
    (lambda: mutated_list(lambda items: items.pop(0)), "list changed size during iteration"),
    (list_cleared_by_eq, "list changed size during iteration"),
    (lambda: mutated_dict(lambda table: table.clear()), "dictionary changed size during iteration"),
    (lambda: mutated_dict(lambda table: table.update(c=2)), "dictionary changed size during iteration"),
    # same size, different keys: an entry that was not there at the start
    (lambda: mutated_dict(lambda table: (table.pop("k"), table.update(c=2))), "dictionary keys changed during iteration"),
    (lambda: [mutated_list(lambda items: items.clear())], "list changed size during iteration"),
]


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize(("make_value", "message"), MUTATIONS)
def test_mutation_during_encoding(make_value, message, indefinite):
    with pytest.raises(RuntimeError, match=exactly(message)):
        dumps(make_value(), indefinite=indefinite)


def test_item_dropped_by_its_own_conversion_stays_alive():
    class DropsItself:
        def __bool__(self):
            holder.clear()
            return True

    holder = [DropsItself()]
    del DropsItself
    with pytest.raises(RuntimeError, match=exactly("list changed size during iteration")):
        dumps(holder)
    # The last item may go without any change being noticed afterwards.
    last = [1, None]
    last[1] = Mutator(lambda: None)
    assert dumps(last) == bytes.fromhex("9f01f5ff")


# --- recursion --------------------------------------------------------------


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_containing_list():
    value = [1]
    value.append(value)
    return value


def self_containing_dict():
    value = {}
    value["self"] = value
    return value


@pytest.mark.parametrize("max_depth", [0, 2**32 - 1])
@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("make_value", [self_containing_list, self_containing_dict, lambda: nested_lists(100_000)])
def test_unbounded_nesting_is_recursion_error(make_value, indefinite, max_depth):
    with pytest.raises(RecursionError):
        dumps(make_value(), indefinite=indefinite, max_depth=max_depth)


def deepest_written():
    """How many levels of lists dumps writes before the interpreter's guard stops it."""
    low, high = 0, 1  # low fits; high is yet to be tried
    while True:
        try:
            dumps(nested_lists(high))
        except RecursionError:
            break
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        try:
            dumps(nested_lists(middle))
            low = middle
        except RecursionError:
            high = middle
    return low


def test_recursion_guard_is_balanced():
    # Every level entered is left again, on success and on failure alike: a
    # single level lost per call would use up the interpreter's budget here.
    deepest = deepest_written()
    assert deepest > 900  # the interpreter's limit, less the frames of the test run
    for _ in range(2000):
        assert dumps(nested_lists(2)) == bytes.fromhex("9f9f9fffffff")
        with pytest.raises(RuntimeError):
            dumps([[1], [{1}]])
        with pytest.raises(RuntimeError):
            dumps([[1]], max_depth=1)
    for _ in range(100):
        with pytest.raises(RecursionError):
            dumps(self_containing_list())
    assert deepest_written() == deepest


# --- properties on random values ----------------------------------------------


def holds_exactly(fmt, number):
    try:
        return struct.unpack(fmt, struct.pack(fmt, number))[0] == number
    except OverflowError:
        return False


def reference_float(number):
    if math.isnan(number):
        return bytes.fromhex("f97e00")
    if math.isinf(number):
        return bytes.fromhex("f97c00" if number > 0 else "f9fc00")
    if number == 0 or (2.0**-14 <= abs(number) <= 65504 and holds_exactly(">e", number)):
        return b"\xf9" + struct.pack(">e", number)
    if holds_exactly(">f", number):
        return b"\xfa" + struct.pack(">f", number)
    return b"\xfb" + struct.pack(">d", number)


def reference_dumps(value, indefinite):
    """CBOR as dumps writes it, derived from the wire rules alone."""

    def frame(major, count, body):
        if indefinite:
            return bytes([major << 5 | 31]) + body + b"\xff"
        return reference_head(major, count) + body

    if value is None:
        return b"\xf6"
    if isinstance(value, bool):
        return b"\xf5" if value else b"\xf4"
    if isinstance(value, int):
        return reference_head(0, value) if value >= 0 else reference_head(1, -1 - value)
    if isinstance(value, float):
        return reference_float(value)
    if isinstance(value, bytes):
        return reference_head(2, len(value)) + value
    if isinstance(value, str):
        text = value.encode()
        return reference_head(3, len(text)) + text
    if isinstance(value, (list, tuple)):
        return frame(4, len(value), b"".join(reference_dumps(item, indefinite) for item in value))
    if isinstance(value, dict):
        body = b"".join(reference_dumps(k, indefinite) + reference_dumps(v, indefinite) for k, v in value.items())
        return frame(5, len(value), body)
    raise AssertionError(type(value))


def nesting(value):
    """The deepest level any item, key or value sits at."""
    if isinstance(value, (list, tuple)):
        return max((1 + nesting(item) for item in value), default=0)
    if isinstance(value, dict):
        return max((1 + max(nesting(k), nesting(v)) for k, v in value.items()), default=0)
    return 0


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack(">d", a) == struct.pack(">d", b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(
            same(ka, kb) and same(va, vb) for (ka, va), (kb, vb) in zip(a.items(), b.items())
        )
    return a == b


integers = st.integers(-(2**63), 2**64 - 1) | st.sampled_from(
    [0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -24, -25, -(2**63)]
)
floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True) | st.sampled_from(
    [-0.0, 2.0**-14, 2.0**-24, 65504.0, 65505.0, 2.0**-149, 2.0**-150, 3.4028234663852886e38, 5e-324]
)
scalars = st.none() | st.booleans() | integers | floats | st.text(max_size=40) | st.binary(max_size=300)
keys = st.recursive(
    st.none() | st.booleans() | integers | st.floats(allow_nan=False) | st.text(max_size=8) | st.binary(max_size=8),
    lambda inner: st.lists(inner, max_size=3).map(tuple),
    max_leaves=6,
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=30)
    | st.lists(inner, max_size=4).map(tuple)
    | st.dictionaries(keys, inner, max_size=5),
    max_leaves=40,
)


@seed(HYPOTHESIS_SEED)
@settings(max_examples=300, deadline=None)
@given(value=values, indefinite=st.booleans())
def test_random_values_match_the_wire_rules_and_decode_back(value, indefinite):
    encoded = dumps(value, indefinite=indefinite)
    assert encoded == reference_dumps(value, indefinite)
    assert same(cbor2.loads(encoded), as_decoded(value))


@seed(HYPOTHESIS_SEED)
@settings(max_examples=200, deadline=None)
@given(value=values, indefinite=st.booleans(), max_depth=st.integers(1, 6))
def test_random_values_under_a_depth_limit(value, indefinite, max_depth):
    if nesting(value) <= max_depth:
        assert dumps(value, indefinite=indefinite, max_depth=max_depth) == dumps(value, indefinite=indefinite)
    else:
        with pytest.raises(RuntimeError, match=exactly(f"Exceeded recursion limit:{max_depth}")):
            dumps(value, indefinite=indefinite, max_depth=max_depth)


@seed(HYPOTHESIS_SEED)
@settings(max_examples=1000, deadline=None)
@given(number=floats)
def test_float_width(number):
    encoded = dumps(number)
    assert encoded == reference_float(number)
    width = {0xF9: 2, 0xFA: 4, 0xFB: 8}[encoded[0]]
    assert len(encoded) == 1 + width
    if math.isfinite(number):
        assert struct.unpack({2: ">e", 4: ">f", 8: ">d"}[width], encoded[1:])[0] == number
