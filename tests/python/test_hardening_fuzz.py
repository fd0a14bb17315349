"""Random and hostile inputs for cbor.dumps and delta.patch, for a bounded
time each (OSTREL_PY_FUZZ_SECONDS, default 5).

dumps gets random nested values, some holding objects whose __bool__,
__index__, __int__ or __eq__ raise, return odd types, or mutate the
container they sit in: every call returns one CBOR item or raises one of
the documented exceptions, and values free of hostile objects read back
with cbor2. patch gets random deltas, structured and raw, and must agree
with a model of delta application written here. Each case is rebuilt from
the seed and its index, both printed on failure (OSTREL_PY_FUZZ_SEED).
"""

import math
import os
import random
import struct
import time
from decimal import Decimal
from fractions import Fraction

import cbor2
import numpy

from ostrel_core.cbor import dumps
from ostrel_core.delta import patch

SECONDS = float(os.environ.get("OSTREL_PY_FUZZ_SECONDS", "5"))
SEED = int(os.environ.get("OSTREL_PY_FUZZ_SEED", str(random.randrange(1 << 32))))


class Boom(Exception):
    pass


def run_for_a_while(name, case):
    """case(rng) for fresh per-index generators until the time is up."""
    deadline = time.monotonic() + SECONDS
    index = 0
    while time.monotonic() < deadline:
        rng = random.Random(f"{SEED}-{index}")
        try:
            case(rng)
        except BaseException as error:
            raise AssertionError(f"{name}: OSTREL_PY_FUZZ_SEED={SEED}, case {index}") from error
        index += 1
    print(f"{name}: {index} cases, seed {SEED}")


# --- dumps ------------------------------------------------------------------

def odd_value(rng):
    return rng.choice([None, [], "text", 1.5, object(), NotImplemented, 2**70])


class Hostile:
    """Made by the generator once the container it sits in exists."""

    def __init__(self, rng, home):
        self.mode = rng.choice(["raise", "odd", "clear", "grow", "shrink", "replace"])
        self.home = home
        self.odd = odd_value(rng)

    def act(self):
        home = self.home
        if self.mode == "raise":
            raise Boom()
        if self.mode == "clear":
            home.clear()
        elif self.mode == "grow":
            if isinstance(home, dict):
                home[object()] = 1
            else:
                home.extend(range(100))
        elif self.mode == "shrink":
            if isinstance(home, dict):
                if home:
                    del home[next(iter(home))]
            elif home:
                home.pop()
        elif self.mode == "replace":
            if isinstance(home, dict):
                for key in home:
                    home[key] = None
            else:
                home[:] = [None] * len(home)
        return self.odd


class HostileBool(Hostile):
    def __bool__(self):
        result = self.act()
        return result if self.mode == "odd" else True


class HostileIndex(Hostile):
    def __index__(self):
        result = self.act()
        return result if self.mode == "odd" else 7


class HostileInt(Hostile):
    def __int__(self):
        result = self.act()
        return result if self.mode == "odd" else -3


class HostileEqualInt(int):
    """An int whose equality, used by the integer rule, misbehaves."""

    def __new__(cls, value, rng, home):
        self = super().__new__(cls, value)
        self.hostile = Hostile(rng, home)
        return self

    def __eq__(self, other):
        result = self.hostile.act()
        return result if self.hostile.mode == "odd" else int(self) == other

    __hash__ = int.__hash__


def random_scalar(rng):
    kind = rng.randrange(14)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return rng.choice([0, 23, 24, 255, 256, 2**32, 2**63 - 1, 2**64 - 1, -1, -2**63, rng.randrange(-2**64, 2**64)])
    if kind == 3:
        return rng.choice([0.0, -0.0, 1.5, 65504.0, 65505.0, 2.0**-24, 0.1, 1e300, math.inf, -math.inf, math.nan])
    if kind == 4:
        return rng.randbytes(rng.choice([0, 1, 23, 24, 300]))
    if kind == 5:
        return "".join(chr(rng.randrange(0x20, 0x3000)) for _ in range(rng.randrange(30)))
    if kind == 6:
        return bytearray(rng.randbytes(rng.randrange(10)).hex(), "ascii")
    if kind == 7:
        return rng.choice([Decimal("2.5"), Decimal(0), Fraction(1, 3), Fraction(0), 0j, 1j])
    if kind == 8:
        return rng.choice([numpy.int64(5), numpy.uint64(2**64 - 1), numpy.int8(-3), numpy.float64(1.5),
                           numpy.float32(0.5), numpy.bool_(True)])
    if kind == 9:
        return "\ud800"  # cannot be encoded as UTF-8
    if kind == 10:
        return rng.choice([{1, 2}, frozenset(), memoryview(b"x"), object()])
    if kind == 11:
        return -2**63 - 1 - rng.randrange(2**70)  # below every 64-bit type
    return rng.randrange(1000)


def random_value(rng, depth, hostile):
    """A random nested value; with hostile, some members misbehave."""
    if depth > 5 or rng.random() < 0.4:
        return random_scalar(rng)
    shape = rng.randrange(3)
    size = rng.randrange(6)
    if shape == 2:
        home = {}
        for _ in range(size):
            key = random_scalar(rng)
            if isinstance(key, float) and math.isnan(key):
                continue  # a NaN key cannot be looked up again
            try:
                home[key] = random_value(rng, depth + 1, hostile)
            except TypeError:
                pass  # unhashable key
    else:
        home = [random_value(rng, depth + 1, hostile) for _ in range(size)]
    if hostile and rng.random() < 0.5:
        kind = rng.choice([HostileBool, HostileIndex, HostileInt, HostileEqualInt])
        member = kind(rng.randrange(-5, 5), rng, home) if kind is HostileEqualInt else kind(rng, home)
        if isinstance(home, dict):
            home[rng.choice([len(home), "k"])] = member
        else:
            home.insert(rng.randrange(len(home) + 1), member)
    if shape == 1:
        return tuple(home) if rng.random() < 0.5 else home
    return home


class Unchecked(Exception):
    """A value whose conversion the fuzz leaves to the dumps tests."""


def expected(value):
    """What cbor2 reads back from dumps(value), for values dumps accepts."""
    if isinstance(value, (numpy.generic, Decimal, Fraction, complex)):
        raise Unchecked()
    if isinstance(value, float):
        return float(value)
    if isinstance(value, bytearray):
        return value.decode("ascii")
    if isinstance(value, (list, tuple)):
        return [expected(item) for item in value]
    if isinstance(value, dict):
        return {expected_key(key): expected(item) for key, item in value.items()}
    return value


def expected_key(key):
    value = expected(key)
    return tuple(value) if isinstance(value, list) else value


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return len(a) == len(b) and all(k in b and same(v, b[k]) for k, v in a.items())
    return type(a) is type(b) and a == b


def dumps_case(rng):
    hostile = rng.random() < 0.5
    value = random_value(rng, 0, hostile)
    indefinite = rng.random() < 0.5
    max_depth = rng.choice([0, 0, 1, 2, 3, 10])
    try:
        out = dumps(value, indefinite=indefinite, max_depth=max_depth)
    except (TypeError, RuntimeError) as error:
        assert not isinstance(error, NotImplementedError)
        return
    assert type(out) is bytes and out
    decoded = cbor2.loads(out)
    if not hostile:
        try:
            want = expected(value)
        except Unchecked:
            return
        assert same(decoded, want), (value, out.hex())


def test_dumps_survives_random_and_hostile_values():
    run_for_a_while("dumps", dumps_case)


def test_dumps_self_reference_and_deep_nesting():
    looped = [1, 2]
    looped.append(looped)
    deep = []
    for _ in range(200_000):
        deep = [deep]
    for value in (looped, {"a": looped}, deep, (deep,)):
        try:
            dumps(value)
        except RecursionError:
            pass
        else:
            raise AssertionError("no RecursionError")


# --- patch ------------------------------------------------------------------

def head(major, value, width=None):
    if width is None:
        width = 0 if value < 24 else 1 if value < 256 else 2 if value < 65536 else 4 if value < 2**32 else 8
    info = {0: value, 1: 24, 2: 25, 4: 26, 8: 27}[width]
    return bytes([major << 5 | info]) + (value.to_bytes(width, "big") if width else b"")


def random_delta(rng, old_len):
    items = []
    for _ in range(rng.randrange(12)):
        kind = rng.randrange(9)
        if kind < 3:  # a match, mostly inside the old value
            offset = rng.randrange(old_len + 3)
            length = rng.randrange(old_len - min(offset, old_len) + 3)
            width = rng.choice([None, None, 1, 2, 4, 8])
            if width is not None and (offset >= 1 << (8 * width) or length >= 1 << (8 * width)):
                width = None
            items.append(head(0, offset, width) + head(0, length, width))
        elif kind < 5:
            data = rng.randbytes(rng.randrange(30))
            items.append(head(rng.choice([2, 2, 3]), len(data)) + data)
        elif kind == 5:  # a string whose length runs past the end
            items.append(head(2, rng.randrange(2**64)) + rng.randbytes(rng.randrange(5)))
        elif kind == 6:
            items.append(bytes([rng.choice([0x5f, 0x7f, 0xff, 0x9f, 0xbf, 0xf6, 0xf9, 0xd8, 0x1c, 0x3b, 0x20])]))
        elif kind == 7:  # a 9-byte unsigned head
            items.append(b"\x1b" + rng.randbytes(8))
        else:
            items.append(rng.randbytes(rng.randrange(1, 6)))
    delta = b"".join(items)
    if rng.random() < 0.3 and delta:
        delta = delta[: rng.randrange(len(delta))]
    return delta


def item_at(delta, at):
    """(major, argument, content, next position), or None when cut short."""
    if at >= len(delta):
        return None
    code = delta[at]
    major, info = code >> 5, code & 0x1F
    size, argument = 1, info
    if major == 6 or (major == 7 and not 25 <= info <= 27):
        argument = 0
    elif 24 <= info <= 27:
        width = 1 << (info - 24)
        if at + 1 + width > len(delta):
            return None
        argument = int.from_bytes(delta[at + 1: at + 1 + width], "big")
        size += width
    elif info >= 28:
        argument = 0
    content = None
    if major in (2, 3) and info <= 27:
        if argument > len(delta) - at - size:
            return None
        content = delta[at + size: at + size + argument]
        size += argument
    return major, argument, content, at + size


def model_patch(old, delta):
    """The rebuilt value, or None for a malformed delta."""
    out = bytearray()
    at = 0
    while (item := item_at(delta, at)) is not None:
        major, argument, content, at = item
        if major == 0:
            length = item_at(delta, at)
            if length is None or length[0] != 0:
                return None
            at = length[3]
            offset, count = argument & 0xFFFFFFFF, length[1] & 0xFFFFFFFF
            if offset + count > len(old):
                return None
            out += old[offset: offset + count]
        elif content is not None:
            out += content
    return bytes(out)


def patch_case(rng):
    old = rng.randbytes(rng.choice([0, 1, 5, 40, 300]))
    delta = random_delta(rng, len(old))
    result = patch(old, delta)
    want = model_patch(old, delta)
    if want is None:
        try:
            bytes(result)
        except ValueError:
            return
        raise AssertionError(f"malformed delta {delta.hex()} gave a value")
    assert bytes(result) == want, delta.hex()


def test_patch_agrees_with_a_model_on_random_deltas():
    run_for_a_while("patch", patch_case)


def test_patch_model_examples():
    # The model itself, on the format's examples.
    assert model_patch(b"abcdefgh", bytes.fromhex("00034258590305")) == b"abcXYdefgh"
    assert model_patch(b"abc", bytes.fromhex("05")) is None
    assert model_patch(b"abc", bytes.fromhex("0009")) is None
    assert model_patch(b"abc", bytes.fromhex("436162")) == b""
    assert model_patch(b"abc", bytes.fromhex("5f4161ff")) == b"a"
    assert model_patch(b"abc", struct.pack(">B", 0x20) + bytes.fromhex("4378797a")) == b"xyz"
