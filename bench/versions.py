"""compute, apply, dumps and loads on each CPython the module is built for.

    bash bench/versions.sh [3.9 3.12 3.13 ...]

The same calls on the same inputs run in one worker process per
interpreter, the interpreters taking turns round after round so that a
moment of load on this shared machine falls on all of them alike; each
figure is the best round. Beside the module's calls, the interpreter's own
marshal module writes and reads the same CBOR documents' values: what it
takes on each version is CPython's share (building and walking the same
objects), where the module's own code is the same C++ on every version.

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
        "CPython alone: marshal.dumps 10,000 records": lambda: marshal.dumps(records),
        "CPython alone: marshal.loads 10,000 records": lambda: marshal.loads(marshalled),
        "CPython alone: marshal.loads one record": lambda: marshal.loads(small_marshalled),
    }


def worker():
    """Reads round numbers on standard input; answers each with the time
    per call of every operation, as a JSON line."""
    calls = operations()
    for _ in sys.stdin:
        times = {}
        for name, call in calls.items():
            count, spent = 0, 0.0
            while spent < BUDGET:
                start = time.perf_counter()
                call()
                spent += time.perf_counter() - start
                count += 1
            times[name] = spent / count
        print(json.dumps(times), flush=True)


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
