"""diff, patch, compute, apply and dumps called from 8 threads at once on
shared inputs give the results of serial calls; one activity history
shared by them all stays usable."""

import random
import threading

from ostrel_core.cbor import dumps
from ostrel_core.delta import ActivityHistory, PythonInBuf, apply, compute, diff, patch

THREADS = 8
ROUNDS = 20

rng = random.Random(8)
BASE = rng.randbytes(20_000)
NEW_VALUES = [
    BASE[:5_000] + b"inserted" + BASE[5_000:],
    BASE[:100] + BASE[3_000:],
    bytes(b ^ (i % 500 == 0) for i, b in enumerate(BASE)),
    BASE[:10_000] + rng.randbytes(300) + BASE[10_300:],
    BASE,
]
OLD = PythonInBuf(BASE)  # one object shared by every thread
SHARED = bytearray(BASE)  # read in place by every thread at once
HISTORY = ActivityHistory(slots=8, bucket_ms=128)
VALUES = [
    [1, 1.5, "a", b"b", None, True, {"k": [2**64 - 1, -2**63]}],
    {"nested": [[[[]]]] * 50, "floats": [0.1 * i for i in range(200)]},
    ("text" * 1000, bytearray(b"raw"), (1, 2, 3)),
]


def work():
    """Every call once, as (name, result) pairs."""
    out = []
    for i, new in enumerate(NEW_VALUES):
        delta = bytes(diff(OLD, new))
        out.append((f"diff {i}", delta))
        out.append((f"patch {i}", bytes(patch(OLD, delta)) if delta != b"\xf6" else BASE))
        for level in (1, 3, 5):
            matched = compute(SHARED, new, level=level)
            out.append((f"compute {i} level {level}", matched))
            out.append((f"apply {i} level {level}", apply(SHARED, memoryview(matched))))
        # Under 4 KiB the interpreter lock is kept while the history's is taken.
        for old, value in ((BASE[:1500], new[:2000]), (BASE, new)):
            graded = compute(old, value, method="myers", history=HISTORY)
            out.append((f"history {i} {len(old)}", apply(old, graded) == value))
    for i, value in enumerate(VALUES):
        out.append((f"dumps {i}", dumps(value)))
        out.append((f"dumps definite {i}", dumps(value, indefinite=False, max_depth=10)))
    return out


def test_threads_give_the_serial_results():
    serial = work()
    assert [result for name, result in serial if name.startswith("patch")] == NEW_VALUES
    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def thread(index):
        try:
            start.wait()
            rounds = []
            for _ in range(ROUNDS):
                rounds.append(work())
            results[index] = rounds
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=thread, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for index, rounds in enumerate(results):
        for round_number, outcome in enumerate(rounds):
            assert outcome == serial, f"thread {index}, round {round_number}"
