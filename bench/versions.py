"""compute, apply, dumps and loads on each CPython the module is built for.

    bash bench/versions.sh [3.9 3.12 3.13 ...]

The same calls on the same inputs run in one worker process per
interpreter, the interpreters taking turns round after round so that a
moment of load on this shared machine falls on all of them alike; each
figure is the time per call of the fastest batch of calls in all rounds.
Beside the module's calls, rows of the interpreter alone show CPython's
share on each version, since the module's own code is the same C++
everywhere: a call of a builtin from the same lambda, and marshal writing
and reading the same records (building and walking the same objects).

The target: no version more than 10% slower than 3.12 on any call. Nothing
here fails on a figure.
"""

import json
import marshal
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

ROUNDS = 7
BUDGET = 0.2  # seconds of calls per operation and round
BATCH = 0.002  # seconds of calls timed together


def inputs():
    """(old, new) of the argparse.py pair, a small document and a large one."""
    found = corpus.releases(corpus.pyenv_root())
    old, new = (corpus.read(os.path.join(corpus.libdir(found[v], v), "argparse.py")) for v in ((3, 11), (3, 12)))
    record = {"id": 7, "name": "item-7", "price": 8.75, "tags": ["a", "bc"], "active": True, "parent": None}
    records = [dict(record, id=i, name="item-%d" % i, price=i * 1.25) for i in range(10000)]
    return old, new, record, records


def operations():
    """{name: a call of no arguments} for the worker's interpreter."""
    from ostrel_core import cbor, delta

    old, new, record, records = inputs()
    small_old, small_new = old[:200], old[:90] + b"inserted" + old[100:200]
    d, small_d = delta.compute(old, new), delta.compute(small_old, small_new)
    encoded, small_encoded = cbor.dumps(records), cbor.dumps(record)
    marshalled, small_marshalled = marshal.dumps(records), marshal.dumps(record)
    return {
        "compute argparse.py 3.11-3.12 (100 KB)": lambda: delta.compute(old, new),
        "compute 200 bytes": lambda: delta.compute(small_old, small_new),
        "apply argparse.py 3.11-3.12": lambda: delta.apply(old, d),
        "apply 200 bytes": lambda: delta.apply(small_old, small_d),
        "dumps 10,000 records (1.1 MB)": lambda: cbor.dumps(records),
        "dumps one record": lambda: cbor.dumps(record),
        "loads 10,000 records": lambda: cbor.loads(encoded),
        "loads one record": lambda: cbor.loads(small_encoded),
        "CPython alone: divmod(7, 3), a call of a builtin": lambda: divmod(7, 3),
        "CPython alone: marshal.dumps 10,000 records": lambda: marshal.dumps(records),
        "CPython alone: marshal.loads 10,000 records": lambda: marshal.loads(marshalled),
        "CPython alone: marshal.loads one record": lambda: marshal.loads(small_marshalled),
    }


def best_per_call(call):
    """The time per call of the fastest batch of calls (each batch about
    BATCH seconds) run within BUDGET: a batch that other work on the
    machine interrupted counts for nothing."""
    count, best, spent = 1, float("inf"), 0.0
    while spent < BUDGET or best == float("inf"):
        start = time.perf_counter()
        for _ in range(count):
            call()
        elapsed = time.perf_counter() - start
        spent += elapsed
        if elapsed < BATCH:
            count *= 2
        else:
            best = min(best, elapsed / count)
    return best


def worker():
    """Reads a line on standard input for each round; answers it with the
    time per call of every operation, as a JSON line."""
    calls = operations()
    for _ in sys.stdin:
        print(json.dumps({name: best_per_call(call) for name, call in calls.items()}), flush=True)


def cell(seconds):
    for unit, scale in (("s", 1), ("ms", 1e3), ("us", 1e6)):
        if seconds * scale >= 1:
            return "%.3g %s" % (seconds * scale, unit)
    return "%.3g ns" % (seconds * 1e9)


def main(interpreters):
    """interpreters: [(version, python)], 3.12 among them."""
    workers = {
        version: subprocess.Popen([python, __file__, "--worker"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        for version, python in interpreters
    }
    best = {version: {} for version in workers}
    for _ in range(ROUNDS):
        for version, process in workers.items():
            process.stdin.write("go\n")
            process.stdin.flush()
            for name, seconds in json.loads(process.stdout.readline()).items():
                best[version][name] = min(seconds, best[version].get(name, seconds))
    for process in workers.values():
        process.stdin.close()
        process.wait()

    others = [version for version in workers if version != "3.12"]
    header = ["operation"] + list(workers) + ["%s / 3.12" % v for v in others]
    print("| " + " | ".join(header) + " |")
    print("|---|" + "---:|" * (len(header) - 1))
    slowest = (0.0, None)
    for name in best["3.12"]:
        ratios = [best[v][name] / best["3.12"][name] for v in others]
        if not name.startswith("CPython alone"):
            slowest = max(slowest, *((r, (v, name)) for r, v in zip(ratios, others)))
        row = [name] + [cell(best[v][name]) for v in workers] + ["%.2f" % r for r in ratios]
        print("| " + " | ".join(row) + " |")
    ratio, (version, name) = slowest
    print("\nslowest against 3.12: %.2f (%s, %s); target 1.10 or less: %s"
          % (ratio, version, name, "met" if ratio <= 1.10 else "not met"))
    print("load average during the run: %.1f" % os.getloadavg()[0])


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        main([tuple(argument.split("=", 1)) for argument in sys.argv[1:]])
