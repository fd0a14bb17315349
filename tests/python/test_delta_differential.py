"""Differential tests: the native delta engine against reference_delta.

Random pairs of many shapes go through both engines and the delta bytes
(and result codes) must agree exactly. The seed is fixed and printed;
OSTREL_DIFF_SEED overrides it and OSTREL_DIFF_CASES raises the number of
random cases per test for long runs. The smallest mismatches are shrunk
to short inputs that still differ before they are reported.
"""

import os
import random
import sys

import pytest

from conftest import SMALL_DELTAS
import native_core
import reference_delta as ref

SEED = int(os.environ.get("OSTREL_DIFF_SEED", "20240611"))
CASES = int(os.environ.get("OSTREL_DIFF_CASES", "2000"))
MAX_REPORTED = 3

STORAGE_LIMITS = (3, 7, 15, 63, 2147483647)
# 63 and 127 let a search reach a progress check with its limit just spent.
SEARCH_LIMITS = (1, 2, 5, 63, 64, 127, 200, 10000)
QUALITIES = (0, 1, 2, 3, 4, -1, 5)


@pytest.fixture(scope="module", autouse=True)
def deep_recursion():
    """The reference search's depth, for these tests only."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, ref.DEEPEST_SEARCH))
    yield
    sys.setrecursionlimit(limit)


@pytest.fixture(scope="module")
def native():
    return native_core.NativeCore()


def rng_for(test_name):
    print("%s: seed %d (OSTREL_DIFF_SEED), %d cases (OSTREL_DIFF_CASES)" % (test_name, SEED, CASES))
    return random.Random("%d:%s" % (SEED, test_name))


# ---------------------------------------------------------------------------
# Delta application, to check the reference on its own.
# ---------------------------------------------------------------------------

def _read_head(delta, pos):
    head = delta[pos]
    major, info = head >> 5, head & 31
    if info < 24:
        return major, info, pos + 1
    width = {24: 1, 25: 2, 26: 4, 27: 8}[info]
    return major, int.from_bytes(delta[pos + 1:pos + 1 + width], "big"), pos + 1 + width


def apply_delta(old, delta):
    """The value a delta of matches and byte strings builds from old."""
    out, pos = bytearray(), 0
    while pos < len(delta):
        major, value, pos = _read_head(delta, pos)
        if major == 0:
            _, length, pos = _read_head(delta, pos)
            assert value + length <= len(old)
            out += old[value:value + length]
        else:
            assert major == 2
            out += delta[pos:pos + value]
            pos += value
    return bytes(out)


# ---------------------------------------------------------------------------
# Random pairs.
# ---------------------------------------------------------------------------

def _symbols(rng):
    return rng.sample(range(256), rng.choice((1, 2, 3, 4, 16, 256)))


def _random(rng, n, symbols):
    return bytes(rng.choice(symbols) for _ in range(n))


def _edited(rng, base, edits, max_run, symbols):
    data = bytearray(base)
    for _ in range(edits):
        pos, run = rng.randrange(len(data) + 1), rng.randint(1, max_run)
        op = rng.randrange(3)
        if op == 0:
            data[pos:pos] = _random(rng, run, symbols)
        elif op == 1:
            del data[pos:pos + run]
        else:
            data[pos:pos + run] = _random(rng, run, symbols)
    return bytes(data)


def _small_edits(rng):
    s = _symbols(rng)
    old = _random(rng, rng.randint(0, 300), s)
    return old, _edited(rng, old, rng.randint(1, 4), 4, s)


def _runs(rng):
    s = _symbols(rng)
    old = _random(rng, rng.randint(0, 300), s)
    return old, _edited(rng, old, rng.randint(1, 2), 120, s)


def _block_move(rng):
    s = _symbols(rng)
    old = _random(rng, rng.randint(2, 300), s)
    a = rng.randrange(len(old))
    b = rng.randint(a + 1, len(old))
    rest = old[:a] + old[b:]
    at = rng.randint(0, len(rest))
    new = rest[:at] + old[a:b] + rest[at:]
    return old, _edited(rng, new, rng.randint(0, 1), 3, s)


def _unrelated(rng):
    s, t = _symbols(rng), _symbols(rng)
    return _random(rng, rng.randint(0, 160), s), _random(rng, rng.randint(0, 160), t)


def _deep_search(rng):
    # Few symbols, little in common: long searches, progress checks, bails.
    s = _symbols(rng)[:rng.choice((2, 3, 4, 8))]
    return _random(rng, rng.randint(40, 400), s), _random(rng, rng.randint(40, 400), s)


def _repeated(rng):
    c = rng.randrange(256)
    old = bytes([c]) * rng.randint(0, 300)
    new = bytes([c]) * rng.randint(0, 300)
    return old, _edited(rng, new, rng.randint(0, 3), 3, [c, rng.randrange(256)])


def _alternating(rng):
    a, b = rng.sample(range(256), 2)

    def runs():
        out = bytearray()
        for _ in range(rng.randint(0, 40)):
            out += bytes([a]) * rng.randint(1, 6) + bytes([b]) * rng.randint(1, 6)
        return bytes(out)

    old = runs()
    new = runs() if rng.random() < 0.4 else _edited(rng, old, rng.randint(1, 4), 3, [a, b])
    return old, new


def _one_empty(rng):
    value = _random(rng, rng.randint(0, 60), _symbols(rng))
    return (value, b"") if rng.random() < 0.5 else (b"", value)


def _identical(rng):
    value = _random(rng, rng.randint(0, 300), _symbols(rng))
    return value, value


def _tiny(rng):
    s = _symbols(rng)[:3]
    return _random(rng, rng.randint(0, 6), s), _random(rng, rng.randint(0, 6), s)


def _large(rng):
    s = _symbols(rng)
    old = _random(rng, rng.randint(1000, 4000), s)
    return old, _edited(rng, old, rng.randint(1, 6), 40, s)


def _scattered(rng):
    # Many spaced single-byte changes: long snakes, distances past 64.
    old = _random(rng, rng.randint(600, 2000), _symbols(rng)[:16])
    new = bytearray(old)
    for _ in range(rng.randint(40, 150)):
        new[rng.randrange(len(new))] = rng.randrange(256)
    return old, bytes(new)


SHAPES = (
    (_small_edits, 20), (_runs, 12), (_block_move, 10), (_unrelated, 8), (_deep_search, 6),
    (_repeated, 8), (_alternating, 10), (_one_empty, 4), (_identical, 3), (_tiny, 16), (_large, 1), (_scattered, 1),
)


def random_pair(rng):
    shape = rng.choices([s for s, _ in SHAPES], weights=[w for _, w in SHAPES])[0]
    return shape(rng)


def random_limits(rng):
    storage = 2147483647 if rng.random() < 0.5 else rng.choice(STORAGE_LIMITS)
    pick = rng.random()
    if pick < 0.3:
        search = 10000
    elif pick < 0.5:
        search = rng.randint(1, 300)
    else:
        search = rng.choice(SEARCH_LIMITS)
    return storage, search


# ---------------------------------------------------------------------------
# Shrinking and reporting mismatches.
# ---------------------------------------------------------------------------

def shrink(parts, differs, attempts=600):
    """Removes chunks from each byte string of parts while differs(parts)
    holds, trying at most `attempts` candidates; returns the smallest parts
    found."""
    parts = list(parts)
    progress = True
    while progress and attempts > 0:
        progress = False
        for which in range(len(parts)):
            chunk = max(1, len(parts[which]) // 2)
            while chunk and attempts > 0:
                i = 0
                while i < len(parts[which]) and attempts > 0:
                    attempts -= 1
                    value = parts[which]
                    trial = parts[:which] + [value[:i] + value[i + chunk:]] + parts[which + 1:]
                    if differs(trial):
                        parts, progress = trial, True
                    else:
                        i += chunk
                chunk //= 2
    return parts


def outcome(function, *args):
    """A result, or the exception the reference raised (itself a mismatch)."""
    try:
        return function(*args)
    except AssertionError as error:
        return "reference fault: %s" % error


def show(value):
    if isinstance(value, (bytes, bytearray)):
        return value.hex() or "(empty)"
    if isinstance(value, tuple):
        return "(%s)" % ", ".join(show(v) for v in value)
    return repr(value)


def run_differential(title, rng, make_case):
    """Runs CASES cases made by make_case(rng), which returns (label, parts,
    differs, describe); fails with the smallest mismatches, shrunk."""
    found = []
    for case in range(CASES):
        label, parts, differs, describe = make_case(rng)
        if differs(parts):
            found.append((sum(map(len, parts)), case, label, parts, differs, describe))
    found.sort(key=lambda f: f[:2])
    lines = ["%s: %d of %d cases differ (seed %d); the smallest, shrunk:" % (title, len(found), CASES, SEED)]
    for _, case, label, parts, differs, describe in found[:MAX_REPORTED]:
        lines.append("case %d, %s:\n%s" % (case, label, describe(shrink(parts, differs))))
    assert not found, "\n".join(lines)


# ---------------------------------------------------------------------------
# Fixed cases.
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("old,new,expected", SMALL_DELTAS)
def test_driver_table(native, old, new, expected):
    assert ref.diff_generate_binary(old, new).hex() == expected
    assert native.diff_generate_binary(old, new).hex() == expected


def test_quality_four_keeps_prefix_and_suffix(native):
    old, new = b"abcdefghij", b"abcdXYZhij"
    for engine in (ref_myers, native.myers_binary_diff):
        assert engine(old, 0, 10, new, 0, 10, 2147483647, 10000, 4) == (0, bytes.fromhex("00044358595a0703"))


@pytest.mark.parametrize("old_is_null,new_is_null", [(True, False), (False, True), (True, True)])
def test_driver_refuses_null_values(native, old_is_null, new_is_null):
    assert native.diff_generate_binary_null(old_is_null, new_is_null) is None


# (old, x0, n, new, y0, m): each fails the range check.
INVALID_RANGES = [
    (b"abcdef", -1, 3, b"abc", 0, 3),
    (b"abcdef", 0, -1, b"abc", 0, 3),
    (b"abcdef", 4, 3, b"abc", 0, 3),
    (b"abcdef", 0, 6, b"abc", 1, 3),
    (b"abcdef", 0, 6, b"abc", 0, 4),
    (b"abcdef", 0, 6, b"abc", -2, 1),
    (b"abcdef", 2147483647, 1, b"abc", 0, 3),
    (b"abcdef", 1, 2147483647, b"abc", 0, 3),
    (b"abcdef", 0, 6, b"abc", 2147483647, 2147483647),
]


@pytest.mark.parametrize("old,x0,n,new,y0,m", INVALID_RANGES)
def test_invalid_ranges(native, old, x0, n, new, y0, m):
    assert ref_myers(old, x0, n, new, y0, m, 2147483647, 10000, 0) == (-1, None)
    assert native.myers_binary_diff(old, x0, n, new, y0, m, 2147483647, 10000, 0) == (-1, None)


# (value length, offset, length, in bounds)
BOUNDS = [
    (10, 0, 10, True), (10, 10, 0, True), (0, 0, 0, True), (10, 3, 4, True),
    (10, 0, 11, False), (10, 11, 0, False), (10, -1, 1, False), (10, 1, -1, False),
    (10, 2147483647, 1, False), (10, 5, 2147483647, False), (10, 2147483647, 2147483647, False),
]


@pytest.mark.parametrize("size,offset,length,expected", BOUNDS)
def test_check_bounds(native, size, offset, length, expected):
    value = bytes(size)
    assert ref.myers_binary_diff_check_bounds(value, offset, length) is expected
    assert native.check_bounds(value, offset, length) is expected


CORNERS = [(3, 5, 3), (7, 5, 3), (5, 5, 5), (6, 5, 4), (0, 0, 0), (1, 0, -1), (10, 3, -4), (1, 1000, 1)]


@pytest.mark.parametrize("d,n,expected", CORNERS)
def test_corner(native, d, n, expected):
    assert ref.myers_binary_diff_corner(d, n) == expected
    assert native.corner(d, n) == expected


BAILOUT_LIMITS = [
    (100, 4, 4, 256), (10000, 1000, 0, 800), (0, 0, 0, 256), (12800, 4, 4, 256),
    (12801, 4, 4, 256), (20000, 4, 4, 400), (100000, 1, 0, 1000), (1000000, 1 << 20, 1 << 20, 1280000),
    (-100, 4, 4, 256), (1000, 1 << 30, 1 << 30, 20971520),
]


@pytest.mark.parametrize("factor,first,second,expected", BAILOUT_LIMITS)
def test_bailout_limit(native, factor, first, second, expected):
    assert ref.myers_binary_diff_bailout_limit(factor, first, second) == expected
    assert native.bailout_limit(factor, first, second) == expected


STORAGE_KEYS = [(0, 0, 2), (1, 4, 6), (-1, 3, 5), (2, 8, 10), (-2, 7, 9), (100, 400, 402),
                (-100, 399, 401), ((1 << 29) - 1, (1 << 31) - 4, (1 << 31) - 2),
                (-(1 << 29) + 1, (1 << 31) - 5, (1 << 31) - 3)]


@pytest.mark.parametrize("k,forward,reverse", STORAGE_KEYS)
def test_storage_keys(native, k, forward, reverse):
    assert (ref.storage_key_forward(k), ref.storage_key_reverse(k)) == (forward, reverse)
    assert (native.storage_key_forward(k), native.storage_key_reverse(k)) == (forward, reverse)


# (value on k + 1, value on k - 1, forward start, reverse start)
NEXT_STEPS = [(5, 5, 6, 4), (4, 6, 6, 4), (6, 4, 7, 3), (-1, -1, 0, -2), (-1, 2147483647, 2147483647, -1),
              (7, 0, 8, -1)]


@pytest.mark.parametrize("above,below,forward,reverse", NEXT_STEPS)
@pytest.mark.parametrize("k", [0, 1, -1, 3, -3])
def test_storage_get_next(native, k, above, below, forward, reverse):
    model = ref.Storage(2147483647)
    with native.storage(2147483647) as real:
        for store in (model, real):
            assert store.forward_set(k + 1, above) and store.forward_set(k - 1, below)
            assert store.reverse_set(k + 1, above) and store.reverse_set(k - 1, below)
            assert (store.forward_get_next(k), store.reverse_get_next(k)) == (forward, reverse)


@pytest.mark.parametrize("size_limit", [0, 1, 2, 3, 7, 15, 63, 2147483647, 4294967295])
def test_storage_growth_matches(native, size_limit):
    model = ref.Storage(size_limit)
    with native.storage(size_limit) as real:
        def model_state():
            return model.cell_capacity, model.cell_count, model.max_d, list(model.cells)

        assert real.state() == model_state()
        for d in [2, 3, 4, 5, 6, 9, 10, 30, 2, 3]:
            assert real.extend(d) == model.extend(d), d
            assert real.state() == model_state(), d
        for k in [0, 3, -3, 40, -40, 1000, -1000]:
            assert real.forward_get(k) == model.forward_get(k)
            assert real.reverse_get(k) == model.reverse_get(k)
            assert real.forward_set(k, 77) == model.forward_set(k, 77)
            assert real.reverse_set(k, 78) == model.reverse_set(k, 78)
        assert real.state() == model_state()


def test_storage_limit_15_caps_d():
    s = ref.Storage(15)
    assert (s.max_d, s.extend(3), s.extend(4)) == (3, True, False)


# (operations, expected output): folding examples of the edit script over a
# new value of 40 bytes.
EDIT_SCRIPT_TABLE = [
    ([("insert", 0, 4), ("match", 10, 2), ("insert", 6, 4)], "4a" + bytes(range(10)).hex()),
    ([("insert", 0, 4), ("match", 10, 3), ("insert", 7, 4)],
     "44" + bytes(range(4)).hex() + "0a03" + "44" + bytes(range(7, 11)).hex()),
    ([("insert", 0, 1), ("match", 0, 24), ("insert", 25, 1)], "4100" + "001818" + "4119"),
    ([("match", 0, 3), ("match", 5, 3)], "00030503"),
]


@pytest.mark.parametrize("operations,expected", EDIT_SCRIPT_TABLE)
def test_edit_script_folding(operations, expected):
    script = ref.EditScript(b"", bytes(range(40)))
    for name, a, b in operations:
        assert getattr(script, name)(a, b)
    assert script.close()
    assert bytes(script.output).hex() == expected


def ref_edit_script_run(old, new, operations):
    script = ref.EditScript(old, new)
    results = [script.close() if name == "close" else getattr(script, name)(a, b)
               for name, a, b in operations]
    return results, script.budget, bytes(script.output)


def random_edit_operations(rng, new_length):
    """Matches and inserts that walk through the new value in order, as the
    search reports them, with offsets of every head size; then a close."""
    operations, y = [], 0
    while y < new_length and len(operations) < 40:
        length = rng.randint(1, min(new_length - y, rng.choice((2, 4, 30, 300))))
        if rng.random() < 0.5:
            operations.append(("insert", y, length))
        else:
            offset = rng.choice((rng.randint(0, 23), rng.randint(24, 300), rng.randint(0, 70000), 2147483647))
            operations.append(("match", offset, length))
        y += length
    return operations + [("close", 0, 0)]


def test_edit_script_matches_reference(native):
    rng = rng_for("edit_script")
    for case in range(CASES):
        new = bytes(rng.randrange(256) for _ in range(rng.randint(0, 400)))
        operations = random_edit_operations(rng, len(new))
        expected = ref_edit_script_run(b"", new, operations)
        # After a refusal the script is not used again: compare up to it.
        used = operations[:expected[0].index(False) + 1] if False in expected[0] else operations
        assert native.edit_script_run(b"", new, used) == ref_edit_script_run(b"", new, used), \
            "case %d: new %s, operations %s" % (case, new.hex(), used)


# ---------------------------------------------------------------------------
# Properties of the reference alone.
# ---------------------------------------------------------------------------

def test_reference_deltas_rebuild_the_new_value():
    rng = rng_for("reference_round_trip")
    for case in range(CASES // 2):
        old, new = random_pair(rng)
        storage, search = random_limits(rng)
        quality = rng.choice(QUALITIES)
        delta = ref.diff_generate_binary_quality(old, new, storage, search, quality)
        context = "case %d quality %d limits %d/%d: %s -> %s" % (case, quality, storage, search,
                                                                 old.hex(), new.hex())
        if delta == ref.NO_CHANGE_DELTA:
            assert old == new and len(new) >= 2, context
        else:
            assert apply_delta(old, delta) == new, context
            assert len(delta) < len(new) or delta == ref.write_replacement_delta(new), context


# ---------------------------------------------------------------------------
# Differential runs.
# ---------------------------------------------------------------------------

def ref_myers(old, x0, n, new, y0, m, storage_limit, search_limit, quality):
    script = ref.EditScript(old, new)
    code = ref.myers_binary_diff(old, x0, n, new, y0, m, script, storage_limit, search_limit, quality)
    return code, bytes(script.output) if code == 0 else None


def test_driver_matches_reference(native):
    def make_case(rng):
        old, new = random_pair(rng)
        storage, search = random_limits(rng)

        def outcomes(parts):
            return (outcome(ref.diff_generate_binary_ex, *parts, storage, search),
                    native.diff_generate_binary_ex(*parts, storage, search))

        def differs(parts):
            reference, real = outcomes(parts)
            return reference != real

        def describe(parts):
            return "  old %s\n  new %s\n  reference %s\n  native    %s" % (*map(show, parts), *map(show, outcomes(parts)))

        return "storage %d, search %d" % (storage, search), [old, new], differs, describe

    run_differential("diff_generate_binary_ex", rng_for("driver"), make_case)


def _paddings(rng):
    """Bytes before and after the old and the new range. Often the same on
    both sides, so that a read past a range would find matches it must not;
    sometimes a long tail after the new range, whose length raises the
    budget so that unrelated ranges still give an ordinary delta."""
    def noise(low=0, high=12):
        return bytes(rng.randrange(256) for _ in range(rng.randint(low, high)))

    style = rng.randrange(5)
    if style == 0:
        return b"", b"", b"", b""
    if style >= 3:
        return b"", b"", noise(), noise(300, 600)
    before, after = noise(), noise()
    if style == 1:
        return before, after, before, after
    return before, after, noise(), noise()


def test_myers_matches_reference(native):
    def make_case(rng):
        old, new = random_pair(rng)
        storage, search = random_limits(rng)
        quality = rng.choice(QUALITIES)
        old_before, old_after, new_before, new_after = _paddings(rng)

        def outcomes(parts):
            old_pre, old_core, old_post, new_pre, new_core, new_post = parts
            args = (old_pre + old_core + old_post, len(old_pre), len(old_core),
                    new_pre + new_core + new_post, len(new_pre), len(new_core), storage, search, quality)
            return outcome(ref_myers, *args), native.myers_binary_diff(*args)

        def differs(parts):
            reference, real = outcomes(parts)
            return reference != real

        def describe(parts):
            return ("  old %s | %s | %s\n  new %s | %s | %s\n  reference %s\n  native    %s"
                    % (*map(show, parts), *map(show, outcomes(parts))))

        label = "storage %d, search %d, quality %d" % (storage, search, quality)
        return label, [old_before, old, old_after, new_before, new, new_after], differs, describe

    run_differential("myers_binary_diff", rng_for("myers"), make_case)
