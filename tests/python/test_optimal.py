"""Level 6, the smallest delta: its size against the other levels, its
progress callback (stages in order, on the calling thread, an exception
stopping the work), its size limit, and `ostrel diff --level 6` showing
progress on a terminal only."""

import json
import mmap
import os
import pty
import random
import subprocess
import sys
import threading
import time

import pytest

from ostrel_core import delta

OSTREL = os.path.join(os.path.dirname(sys.executable), "ostrel")


def revision(rng, size):
    old = bytearray(rng.randbytes(size // 8) * 8)
    new = bytearray(old)
    for _ in range(40):
        at = rng.randrange(len(new) + 1)
        new[at:at + rng.randrange(30)] = rng.randbytes(rng.randrange(30))
    return bytes(old), bytes(new)


def revised_records(seed, count=1500):
    """JSON lines, some records edited to values of other lengths, a few
    inserted and removed: text whose common parts repeat everywhere."""
    rng = random.Random(seed)
    tags = ["red", "blue", "sale", "new", "large", "small", "stock"]
    rows = [{"id": i, "name": "item %d" % rng.randrange(10**6), "price": round(rng.uniform(1, 999), 2),
             "tags": rng.sample(tags, rng.randint(1, 3)),
             "stock": {"count": rng.randrange(500), "warehouse": rng.choice("ABCDEFGH")}} for i in range(count)]
    old = "\n".join(json.dumps(r) for r in rows).encode()
    for _ in range(count // 20):
        r = rng.choice(rows)
        r[rng.choice(["price", "tags", "name"])] = rng.choice(
            [round(rng.uniform(1, 9999), 1), rng.sample(tags, 2), "x" * rng.randrange(1, 9)])
    for _ in range(count // 100):
        rows.insert(rng.randrange(len(rows)), {"id": -1, "name": "new", "price": 1.0, "tags": []})
        del rows[rng.randrange(len(rows))]
    return old, "\n".join(json.dumps(r) for r in rows).encode()


@pytest.mark.parametrize("seed", range(3))
def test_the_default_and_level_5_stay_near_the_floor_on_revised_records(seed):
    # After an edit that changes a field's length, the next match lies a few
    # bytes beside the last long one's diagonal, among bytes that repeat in
    # every record: the levels must find it there.
    old, new = revised_records(seed)
    floor = len(delta.compute(old, new, level=6))
    assert len(delta.compute(old, new)) <= 1.2 * floor
    assert len(delta.compute(old, new, level=5)) <= 1.12 * floor


def test_no_level_gives_a_smaller_delta_and_every_input_kind_is_read():
    rng = random.Random(21)
    for size in (0, 1, 50, 3000, 100_000):
        old, new = revision(rng, size)
        best = delta.compute(old, new, level=6)
        assert delta.apply(old, best) == new
        assert all(len(best) <= len(delta.compute(old, new, level=n)) for n in range(1, 6))
        assert len(best) <= len(delta.compute(old, new, method="myers"))
        assert delta.compute(bytearray(old), memoryview(new), level=6) == best
        assert delta.Index(old, level=6).compute(new) == best
        checked = delta.compute(old, new, level=6, check=True)
        assert checked.endswith(best) and delta.apply(old, checked) == new


def test_progress_comes_stage_by_stage_on_the_calling_thread():
    old, new = revision(random.Random(6), 1 << 20)
    calls = []
    progress = lambda stage, done, total: calls.append((threading.get_ident(), stage, done, total))
    assert delta.compute(old, new, level=6, progress=progress) == delta.compute(old, new, level=6)
    assert {c[0] for c in calls} == {threading.get_ident()}
    stages = [c[1] for c in calls]
    assert sorted(set(stages), key=stages.index) == ["suffix array", "longest matches", "parse"]
    assert calls[0][1:] == ("suffix array", 0, len(old) + len(new))
    assert calls[-1][1:] == ("parse", len(new), len(new))
    assert any(0 < done < total for _, _, done, total in calls)


def test_other_threads_run_while_level_6_works():
    old, new = revision(random.Random(7), 1 << 20)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    seen = []
    delta.compute(old, new, level=6, progress=lambda stage, done, total: seen.append(len(ticks)))
    stop.set()
    ticker.join()
    assert seen[-1] > seen[0]


def test_an_exception_in_progress_stops_the_work():
    old, new = revision(random.Random(8), 1 << 20)
    seen = []

    def progress(stage, done, total):
        seen.append(stage)
        if stage == "longest matches":
            raise KeyError("enough")

    with pytest.raises(KeyError, match="enough"):
        delta.compute(old, new, level=6, progress=progress)
    assert seen[-1] == "longest matches" and seen.count("longest matches") == 1


@pytest.mark.parametrize("call, error, message", [
    (lambda: delta.compute(b"a", b"b", level=5, progress=print), ValueError,
     "compute(): progress is reported at level 6 only"),
    (lambda: delta.compute(b"a", b"b", progress=print), ValueError, "compute(): progress is reported at level 6 only"),
    (lambda: delta.compute(b"a", b"b", level=6, progress=3), TypeError,
     "compute() argument 'progress' must be callable, not int"),
    (lambda: delta.compute(b"a", b"b", level=7), ValueError, "compute() argument 'level' must be from 1 to 6, not 7"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


def test_values_past_512_mib_together_are_refused_before_any_work():
    # Anonymous mappings: nothing is touched, so nothing is taken.
    with mmap.mmap(-1, 300 << 20) as old, mmap.mmap(-1, 300 << 20) as new:
        for function, call in (("compute", lambda: delta.compute(old, new, level=6)),
                               ("Index.compute", lambda: delta.Index(old, level=6).compute(new))):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == (f"{function}(): level 6 takes old and new of at most 536870912 bytes "
                                    f"(512 MiB) together, not {600 << 20}")


def on_terminal(command):
    """What command writes to standard error when that is a terminal."""
    terminal, child_end = pty.openpty()
    child = subprocess.Popen(command, stderr=child_end)
    os.close(child_end)
    shown = b""
    while True:
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        shown += chunk
    os.close(terminal)
    assert child.wait() == 0
    return shown


def test_command_shows_progress_on_a_terminal_for_large_files_only(tmp_path):
    old, new = revision(random.Random(9), 3 << 20)
    (tmp_path / "old").write_bytes(old)
    (tmp_path / "new").write_bytes(new)
    (tmp_path / "small").write_bytes(new[:100_000])
    command = [OSTREL, "diff", tmp_path / "old", tmp_path / "new", "--level", "6", "-o", tmp_path / "delta"]
    assert subprocess.run(command, capture_output=True, check=True).stderr == b""
    assert (tmp_path / "delta").read_bytes() == delta.compute(old, new, level=6, check=True)

    shown = on_terminal(command)
    for stage in (b"suffix array", b"longest matches", b"parse"):
        assert b"\rlevel 6: " + stage in shown
    assert shown.endswith(b"\r\x1b[K")
    assert on_terminal([OSTREL, "diff", tmp_path / "old", tmp_path / "small", "--level", "6", "-o", os.devnull]) == b""
