"""ostrel_core.delta.Index: one old value's index, built once; its deltas
are exactly those of compute at the same level, from any thread."""

import random
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import SMALL_DELTAS, exactly, ticker
from ostrel_core.delta import Index, apply, compute

ACCEPTED = "must be a C-contiguous buffer of bytes (bytes, bytearray, memoryview, mmap, array('B'), numpy uint8), not "
LEVELS = [None, 1, 2, 3, 4, 5, 6]


def revised(rng, old, edits):
    new = bytearray(old)
    for _ in range(edits):
        at = rng.randrange(len(new) + 1)
        new[at:at + rng.randrange(40)] = rng.randbytes(rng.randrange(40))
    return bytes(new)


def structured_pairs():
    rng = random.Random(20)
    text = b"".join(b"line %d of the text\n" % rng.randrange(100000) for _ in range(12000))
    noise = rng.randbytes(150000)
    return [
        (text, revised(rng, text, 30)),
        (text, text[100000:] + text[:100000]),  # moved blocks
        (noise, noise[:70000] + bytes(20000) + noise[70000:]),
        (noise, noise + noise[:50000]),  # repeated
        (bytes(100000), bytes(50000) + b"x" + bytes(50000)),
        (noise, rng.randbytes(100000)),  # unrelated
        (noise, bytes(noise)),  # equal, not the same object
        (noise, b""),
        (b"", noise[:5000]),
    ] + [(old, new) for old, new, _ in SMALL_DELTAS]


@pytest.mark.parametrize("level", LEVELS)
def test_same_bytes_as_compute_on_structured_pairs(level):
    for old, new in structured_pairs():
        index = Index(old, level=level)
        expected = compute(old, new, level=level)
        assert index.compute(new) == expected
        assert index.compute(memoryview(bytearray(new))) == expected  # any buffer
        assert apply(old, expected) == new
        checked = index.compute(new, check=True)
        assert checked == compute(old, new, level=level, check=True)
        assert apply(old, checked, check=True) == new


@settings(max_examples=80, deadline=None)
@given(old=st.binary(max_size=3000), edits=st.lists(st.tuples(st.integers(0, 3000), st.integers(0, 60), st.binary(max_size=60)), max_size=10),
       level=st.sampled_from(LEVELS))
def test_same_bytes_as_compute_on_random_pairs(old, edits, level):
    index = Index(old, level=level)
    new = old
    for at, cut, text in edits:
        new = new[:at] + text + new[at + cut:]
        assert index.compute(new) == compute(old, new, level=level)


def test_holds_the_old_value_and_reports_its_memory():
    old = bytearray(random.Random(1).randbytes(1 << 20))
    index = Index(old, level=1)
    assert index.old is old and index.level == 1
    with pytest.raises(BufferError):
        old.append(0)  # the index reads these bytes in place
    sizes = [Index(bytes(old), level=level).nbytes for level in range(1, 6)]
    assert 4096 <= sizes[0] <= sizes[1] <= sizes[2] == sizes[3] <= sizes[4] <= 11.5 * len(old) + 1024
    assert Index(b"").nbytes < 1024 and Index(b"").level is None
    assert Index(bytes(old), level=6).nbytes < 1024  # level 6 sorts old and new together for each delta
    del index
    old.append(0)  # let go with the index


@pytest.mark.parametrize(("call", "exception", "message"), [
    (lambda: Index("abc"), TypeError, "Index() argument 'old' " + ACCEPTED + "str"),
    (lambda: Index(b"abc", level=7), ValueError, "Index() argument 'level' must be from 1 to 6, not 7"),
    (lambda: Index(b"abc", level=1.0), TypeError, "Index() argument 'level' must be an int, not float"),
    (lambda: Index(b"abc").compute(None), TypeError, "Index.compute() argument 'new' " + ACCEPTED + "NoneType"),
])
def test_bad_arguments(call, exception, message):
    with pytest.raises(exception, match=exactly(message)):
        call()
    with pytest.raises(TypeError, match="incompatible"):
        Index(b"abc", 3)  # level is keyword-only
    with pytest.raises(TypeError, match="incompatible"):
        Index(b"abc").compute(b"abd", check=1)  # check is a bool, as compute has it


def test_many_threads_on_one_index_while_others_run():
    rng = random.Random(8)
    old = rng.randbytes(1 << 20)
    news = [revised(rng, old, 50 * (i + 1)) for i in range(8)]
    index = Index(old, level=4)
    expected = [compute(old, new, level=4) for new in news]
    results = [[] for _ in range(8)]
    ticked = []
    start = threading.Barrier(8)

    def work(i):
        start.wait()
        for k in range(4):
            before = count()
            results[i].append(index.compute(news[(i + k) % 8]))
            ticked.append(count() > before)

    with ticker() as count:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    for i in range(8):
        assert results[i] == [expected[(i + k) % 8] for k in range(4)]
    assert any(ticked), "no other thread ran while the index was used"
