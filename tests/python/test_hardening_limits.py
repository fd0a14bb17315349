"""Values of 1 GiB through diff and patch: no crash, the right result, and
the time and peak memory of each case printed (run with -s to see them).

Each case runs in a fresh interpreter so that its peak resident size is
its own. They take several GiB of memory and a minute or more, so they
run only when OSTREL_LIMIT_TESTS=1.
"""

import json
import os
import subprocess
import sys

import pytest

GIB = 1 << 30

CASE = r"""
import json, random, resource, sys, time
import numpy
from ostrel_core.delta import diff, patch

GIB = 1 << 30
case = sys.argv[1]
rng = random.Random(6)
old = numpy.random.default_rng(6).bytes(GIB)
if case == "ten_substitutions":
    edited = bytearray(old)
    for _ in range(10):
        edited[rng.randrange(GIB)] ^= 0xFF
    new = bytes(edited)
    del edited
elif case == "identical":
    new = old
elif case == "old_empty":
    new, old = old, b""
else:
    raise SystemExit("unknown case " + case)

start = time.perf_counter()
delta = diff(old, new)
diff_seconds = time.perf_counter() - start
delta = bytes(delta)

start = time.perf_counter()
result = patch(old, delta)
patch_seconds = time.perf_counter() - start
rebuilt = old if delta == b"\xf6" else memoryview(result).cast("B")  # the buffer's format is "b"
print(json.dumps({
    "case": case,
    "delta_bytes": len(delta),
    "diff_seconds": round(diff_seconds, 2),
    "patch_seconds": round(patch_seconds, 2),
    "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024,
    "rebuilt": rebuilt == new,
}))
"""


@pytest.mark.skipif(os.environ.get("OSTREL_LIMIT_TESTS") != "1", reason="set OSTREL_LIMIT_TESTS=1 to run")
@pytest.mark.parametrize("case", ["ten_substitutions", "identical", "old_empty"])
def test_one_gib_values(case):
    done = subprocess.run([sys.executable, "-c", CASE, case], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    print(figures)
    assert figures["rebuilt"]
    if case == "identical":
        assert figures["delta_bytes"] == 1
    if case == "old_empty":
        assert figures["delta_bytes"] == GIB + 5  # the replacement delta: 5a, 4 length bytes, the value
