"""Checked deltas: compute(check=True) puts a check record in front of the
plain delta; apply verifies it, refusing a wrong base before any memory is
taken and a wrong result after; every other reader skips it."""

import glob
import pathlib
import random
import tracemalloc

import pytest
import xxhash

from conftest import SMALL_DELTAS, exactly, reference_head
from ostrel_core.delta import CheckError, apply, compute, patch

NO_CHANGE = b"\xf6"
MARKER = b"\x3b" + b"ostrel" + b"\x00\x01"
WRONG_OLD = ("apply(): the old value is not the one the delta was made from: its length or digest differs from "
             "the check record's")
WRONG_RESULT = ("apply(): the result is not the value the delta was made for: its length or digest differs from "
                "the check record's")
NO_RECORD = "apply(): check=True and the delta has no check record"
DAMAGED = "the check record is damaged or cut short"


def digest(value):
    return b"\x3b" + xxhash.xxh3_64_intdigest(value).to_bytes(8, "big")


def record(old, new):
    """The check record, written from the format's rules with the xxhash package's XXH3."""
    return MARKER + reference_head(1, len(old)) + digest(old) + reference_head(1, len(new)) + digest(new)


def real_pairs():
    """Standard-library modules of two CPython releases that pyenv keeps side by side."""
    pairs = []
    for name in ("argparse.py", "json/decoder.py", "ast.py"):
        found = sorted(glob.glob(f"/root/.pyenv/versions/3.1[12].*/lib/python3.1[12]/{name}"))
        if len(found) == 2:
            pairs.append(tuple(pathlib.Path(path).read_bytes() for path in found))
    return pairs


rng = random.Random(17)


def random_pair():
    old = rng.randbytes(rng.choice([0, 1, 2, 50, 3000]))
    new = bytearray(old)
    for _ in range(rng.randrange(4)):
        at = rng.randrange(len(new) + 1)
        new[at:at + rng.randrange(20)] = rng.randbytes(rng.randrange(30))
    return old, bytes(new)


REAL_PAIRS = real_pairs()
PAIRS = [(old, new) for old, new, _ in SMALL_DELTAS] + [random_pair() for _ in range(30)] + REAL_PAIRS
METHODS = [dict(method="myers"), *[dict(level=n) for n in range(1, 6)]]


@pytest.mark.parametrize("options", METHODS, ids=str)
def test_checked_deltas_round_trip_and_old_readers_skip_the_record(options):
    for old, new in PAIRS:
        plain, checked = compute(old, new, **options), compute(old, new, check=True, **options)
        body = reference_head(0, 0) + reference_head(0, len(old)) if plain == NO_CHANGE else plain
        assert checked == record(old, new) + body
        assert compute(old, new, check=False, **options) == plain
        for check in (None, True, False):
            assert apply(old, checked, check=check) == new
        # The lenient reader builds what it builds from the plain delta (and
        # for no change the old value, where f6 gives it nothing).
        assert bytes(patch(old, checked)) == (old if plain == NO_CHANGE else bytes(patch(old, plain)))


def test_the_worked_example():
    old = b"The quick brown fox jumps over the lazy dog, again and again."
    new = b"The quick red fox jumps over the lazy dog, again and again!"
    assert compute(old, new, check=True, method="myers").hex(" ") == (
        "3b 6f 73 74 72 65 6c 00 01 38 3d 3b a3 03 51 10 f2 75 f5 95 38 3b 3b c1 46 ba 9d f0 99 c9 e8 "
        "00 0a 43 72 65 64 0f 18 2d 41 21")


OLD = b"The quick brown fox jumps over the lazy dog, again and again."
NEW = b"The quick red fox jumps over the lazy dog, again and again!"
CHECKED = compute(OLD, NEW, check=True)


@pytest.mark.parametrize("base", [
    OLD[:20] + b"J" + OLD[21:],  # one byte changed
    OLD[:-1],  # one byte shorter
    OLD + b".",  # one byte longer
    OLD[1:] + OLD[:1],  # rotated
    b"",
], ids=["changed", "shorter", "longer", "rotated", "empty"])
def test_a_wrong_base_is_refused(base):
    for check in (None, True):
        with pytest.raises(CheckError, match=exactly(WRONG_OLD)):
            apply(base, CHECKED, check=check)
    if len(base) == len(OLD):
        assert apply(base, CHECKED, check=False) != NEW  # unchecked, the damage goes through


def test_a_wrong_base_is_refused_before_memory_is_taken():
    old = random.Random(5).randbytes(1 << 23)
    new = old[:1000] + b"x" + old[1000:]
    checked = compute(old, new, check=True, level=1)
    base = old[:-1] + b"?"
    tracemalloc.start()
    try:
        with pytest.raises(CheckError):
            apply(base, checked)
        with pytest.raises(ValueError, match="the item at byte 0 passes it"):
            apply(old, checked, max_size=len(new) - 1)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20


def corrupted(delta, at, value):
    return delta[:at] + bytes([value]) + delta[at + 1:]


REFUSALS = [
    # delta, check, exception, message
    (compute(OLD, NEW), True, CheckError, NO_RECORD),
    (b"", True, CheckError, NO_RECORD),
    (CHECKED[:-1] + b"\x22", None, CheckError, WRONG_RESULT),  # a changed insert
    (CHECKED[:-2], None, CheckError, WRONG_RESULT),  # cut between items
    (corrupted(CHECKED, 30, CHECKED[30] ^ 1), None, CheckError, WRONG_RESULT),  # the new value's digest
    (corrupted(CHECKED, 21, 0x3c), None, CheckError, WRONG_RESULT),  # the new value's length
    (CHECKED[:-1], None, ValueError, "apply(): malformed delta at byte 40: the item runs past the end of the delta"),
    (corrupted(CHECKED, 0, 0x40), None, ValueError, f"apply(): malformed delta at byte 0: {DAMAGED}"),
    (corrupted(CHECKED, 3, 0), False, ValueError, f"apply(): malformed delta at byte 0: {DAMAGED}"),
    (corrupted(CHECKED, 9, 0x18), False, ValueError, f"apply(): malformed delta at byte 9: {DAMAGED}"),
    (CHECKED[:25], False, ValueError, f"apply(): malformed delta at byte 22: {DAMAGED}"),
    (corrupted(CHECKED, 8, 2), False, ValueError,
     "apply(): malformed delta at byte 0: the check record is of a version this reader does not know"),
    # A leading negative integer claims a record: our writers never put one first.
    (bytes.fromhex("20 43 78 79 7a"), None, ValueError, f"apply(): malformed delta at byte 0: {DAMAGED}"),
    (CHECKED, None, ValueError, "apply(): the delta builds more than max_size=58 bytes: the item at byte 0 passes it"),
    (CHECKED, "yes", TypeError, "apply(): check must be None, True or False, not str"),
]


@pytest.mark.parametrize(("delta", "check", "exception", "message"), REFUSALS)
def test_refusals(delta, check, exception, message):
    max_size = 58 if "max_size" in message else None
    with pytest.raises(exception, match=exactly(message)):
        apply(OLD, delta, check=check, max_size=max_size)


def test_a_verified_no_change_gives_the_old_object():
    old = bytes(range(200))
    checked = compute(old, old, check=True)
    assert apply(old, checked) is old and apply(old, checked, check=True) is old
    assert apply(old, checked, check=False) == old
    with pytest.raises(CheckError, match=exactly(WRONG_OLD)):
        apply(old[::-1], checked)


def test_check_is_a_bool():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        compute(OLD, NEW, check=1)
    assert issubclass(CheckError, ValueError)
    assert apply(OLD, compute(OLD, NEW), check=False) == NEW
    assert apply(OLD, NO_CHANGE, check=None) == OLD


def test_corruptions_never_give_a_wrong_value():
    """Bit flips, changed bytes and cuts anywhere: with check=True every one
    is refused or gives the new value; by default too, but for a delta cut
    to nothing, which is the empty delta."""
    chance = random.Random(23)
    wrong = {True: 0, None: 0}
    refused = 0
    pairs = [random_pair() for _ in range(20)] + REAL_PAIRS
    for i in range(600):
        old, new = pairs[i % len(pairs)]
        delta = compute(old, new, check=True, level=1 + i % 5)
        at = chance.randrange(len(delta))
        kind = i % 3
        if kind == 0:
            bad = corrupted(delta, at, delta[at] ^ 1 << chance.randrange(8))
        elif kind == 1:
            bad = corrupted(delta, at, (delta[at] + chance.randrange(1, 256)) % 256)
        else:
            bad = delta[:at]
        for check in (True, None):
            try:
                wrong[check] += apply(old, bad, check=check) != new and bad != b""
            except ValueError:
                refused += 1
    assert wrong == {True: 0, None: 0}
    assert refused > 1000
