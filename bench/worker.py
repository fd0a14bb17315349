"""Measures one in-process tool on one case, in a process of its own.

    python worker.py TOOL OLD_FILE NEW_FILE BUDGET_SECONDS MAX_RUNS
    python worker.py floor OLD_FILE NEW_FILE 0 0      (the floor's size only)

A fresh process per case gives a clean peak-memory figure (tracemalloc does
not see native allocations, the process's peak RSS does) and keeps a crash of
a tool from ending the suite. Prints one JSON object on standard output.
"""

import gc
import json
import sys
import time

import peers


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def reset_peak():
    """Starts a new peak-RSS window at the current RSS. Returns False where
    the kernel does not allow it; the peak then counts from process start."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_above(fn):
    """Runs fn() once; returns its result, its time in seconds and the peak
    RSS it reached above the RSS before it, in bytes."""
    gc.collect()
    before = status_kib("VmRSS")
    reset_peak()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    return result, elapsed, max(0, status_kib("VmHWM") - before) * 1024


def repeat(fn, first, budget, max_runs):
    """Times of more runs of fn() after a first one that took `first`
    seconds: while the total stays within the budget, and at least three in
    all when the first fits the budget, so that one stall on this shared
    machine does not make the median. Slow cases run once."""
    times = [first]
    while len(times) < max_runs and (sum(times) + first <= budget
                                     or (len(times) < 3 and first <= budget)):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def measure(tool, old, new, budget, max_runs):
    result, first, diff_peak = peak_above(lambda: tool.diff(old, new))
    delta = tool.delta_bytes(result)
    del result
    diff_times = repeat(lambda: tool.diff(old, new), first, budget, max_runs)

    out, first, patch_peak = peak_above(lambda: tool.patch(old, delta))
    ok = tool.value_bytes(out) == new
    del out
    patch_times = repeat(lambda: tool.patch(old, delta), first, budget, max_runs)
    ours = isinstance(tool, peers.Ours)
    return {"delta_size": len(delta), "delta_head": delta[:16].hex(),
            "inserted": inserted_bytes(delta) if ours else None,
            "delta_zstd19": zstd19_size(delta) if ours else None,
            "diff_times": diff_times, "patch_times": patch_times,
            "diff_peak": diff_peak, "patch_peak": patch_peak,
            "peak_window_reset": reset_peak(), "ok": ok}


def zstd19_size(delta):
    """Size of our delta compressed by zstd -19, as a user who stores deltas
    would keep it; None without the zstandard package."""
    try:
        import zstandard
    except ImportError:
        return None
    return len(zstandard.ZstdCompressor(level=19).compress(delta))


def inserted_bytes(delta):
    """Bytes of a delta of ours that come from its byte strings rather than
    from the old value (0 for the no-change delta); None if the delta does
    not parse."""
    if delta == peers.NO_CHANGE:
        return 0
    pos, total = 0, 0
    while pos < len(delta):
        major, info = delta[pos] >> 5, delta[pos] & 31
        pos += 1
        if info < 24:
            value = info
        elif info <= 27:
            width = 1 << (info - 24)
            if pos + width > len(delta):
                return None
            value = int.from_bytes(delta[pos:pos + width], "big")
            pos += width
        else:
            return None
        if major == 2:
            if pos + value > len(delta):
                return None
            pos += value
            total += value
        elif major != 0:
            return None
    return total


def floor(old, new):
    """The size of the smallest delta our format can express for the pair."""
    from ostrel_core import delta
    return {"floor": len(delta.compute(old, new, level=peers.FLOOR_LEVEL))}


def main(argv):
    name, old_path, new_path, budget, max_runs = argv
    tool = None if name == "floor" else peers.IN_PROCESS[name]
    if tool is not None:
        tool.load()
    with open(old_path, "rb") as f:
        old = f.read()
    with open(new_path, "rb") as f:
        new = f.read()
    try:
        if tool is None:
            report = floor(old, new)
        else:
            report = measure(tool, old, new, float(budget), int(max_runs))
    except Exception as e:  # a tool's failure is a figure of the run, not its end
        report = {"error": "%s: %s" % (type(e).__name__, e)}
    json.dump(report, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
