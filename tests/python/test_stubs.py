"""The type stubs shipped for ostrel_core: consistent with the installed
module (mypy's stubtest), and accepting what the module accepts while
refusing what it refuses (mypy on a sample of calls)."""

import subprocess
import sys

import pytest

# Calls the module takes; each also runs, so the stubs promise nothing false.
ACCEPTED = '''
from decimal import Decimal

from typing_extensions import Buffer

import ostrel_core
from ostrel_core import cbor, delta
from ostrel_core.delta import PythonInBuf, PythonOutBuf

def takes_buffer(value: Buffer) -> None: ...

encoded: bytes = cbor.dumps({"a": [1, 2.5, None, True, b"x", ("y",)]}, indefinite=False, max_depth=3)
encoded = cbor.dumps(value=bytearray(b"x")) + cbor.dumps(Decimal("2.5")) + cbor.dumps(2**64 - 1)
result: PythonOutBuf = delta.diff(b"abcdefgh", PythonInBuf(b"abcXYdefgh"))
takes_buffer(result)
view: memoryview = memoryview(result)
rebuilt: bytes = bytes(delta.patch(old_value=b"abcdefgh", diff=bytes(result)))
versions: list[str] = [cbor.__version__, delta.__version__, ostrel_core.delta.__version__]
history = delta.ActivityHistory(slots=8, bucket_ms=128)
computed: bytes = delta.compute(bytearray(b"abc"), memoryview(b"abd")) + delta.compute(b"a", b"b", level=2)
computed = delta.compute(b"abc", b"abd", method="myers", search_limit=50, history=history)
applied: bytes = delta.apply(memoryview(b"abc"), computed, max_size=10)
checked: bytes = delta.compute(b"abc", b"abd", check=True) + delta.compute(b"a", b"b", method="myers", check=False)
applied = delta.apply(b"abc", delta.compute(b"abc", b"abd", check=True), check=None) + delta.apply(b"a", b"\x40", check=False)
record_size: int = (delta.check_record(checked) or {"size": 0})["size"]
mismatch: type[ValueError] = delta.CheckError
load: int = history.utilisation + history.last_quality
decoded = cbor.loads(cbor.dumps([1]), max_depth=10) or cbor.loads(memoryview(b"\\x80")) or cbor.loads(bytearray(b"\x01"))
tag: int = cbor.CBORTag(32, "x").tag
simple: int = cbor.CBORSimpleValue(16).value
absent: bool = bool(cbor.undefined)
failure: type[ValueError] = cbor.CBORDecodeError
written: bytes = cbor.encode({"when": __import__("datetime").date(2020, 1, 2), "n": Decimal("1.5")}, canonical=True)
written = cbor.encode(object(), default=repr, max_depth=5) + cbor.encode(cbor.CBORTag(6, {1, 2}))
'''

# Calls mypy must refuse, one per line from line 3. (mypy lets bytearray and
# memoryview pass for bytes, which the module refuses: not checked here.)
REFUSED = '''
from ostrel_core import cbor, delta
cbor.dumps({1, 2})
cbor.dumps(object())
cbor.encode(1, True)
cbor.encode(1, default=1)
cbor.dumps(1, indefinite="yes")
cbor.dumps(1, max_depth=1.5)
text: str = cbor.dumps(1)
delta.diff("old", b"new")
delta.diff(None, b"new")
delta.diff(old=b"old", new=b"new")
delta.patch(b"old", delta.diff(b"old", b"new"))
delta.compute("old", b"new")
delta.compute(b"old", b"new", method="myers", level=3)
delta.compute(b"old", b"new", history=delta.ActivityHistory())
delta.apply(b"old", b"", 10)
delta.ActivityHistory().utilisation = 3
delta.PythonInBuf("x")
delta.PythonInBuf(value=b"x")
delta.PythonOutBuf(b"x")
bytes(delta.PythonInBuf(b"x"))
cbor.loads("text")
cbor.loads(b"", 10)
cbor.loads(b"", max_depth=None)
delta.apply(b"old", b"", check="yes")
delta.compute(b"old", b"new", check=None)
'''


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy-cache"))


def mypy(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300)


# Up to 3.11 the interpreter shows a type's buffer slots as no method; the
# stubs name them on every version, as typeshed does for bytes.
BUFFER_METHODS = ["ostrel_core.delta.PythonOutBuf.__buffer__", "ostrel_core.delta.PythonOutBuf.__release_buffer__"]


def test_stubtest_against_the_installed_module(tmp_path):
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("\n".join(BUFFER_METHODS) if sys.version_info < (3, 12) else "")
    run = mypy("mypy.stubtest", "ostrel_core", "--mypy-config-file", "/dev/null", "--allowlist", str(allowlist))
    assert run.returncode == 0, run.stdout + run.stderr
    assert "no issues found in 3 modules" in run.stdout  # ostrel_core, .cbor and .delta


def test_mypy_accepts_what_the_module_takes_and_refuses_the_rest(tmp_path, cache):
    (tmp_path / "accepted.py").write_text(ACCEPTED)
    (tmp_path / "refused.py").write_text(REFUSED)
    run = mypy("mypy", "--strict", "--no-error-summary", "--cache-dir", cache, "--config-file", "/dev/null",
               str(tmp_path / "accepted.py"), str(tmp_path / "refused.py"))
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert not [line for line in errors if "accepted.py" in line], run.stdout
    refused_lines = {int(line.split(":")[1]) for line in errors if "refused.py" in line}
    expected = set(range(3, len(REFUSED.splitlines()) + 1))
    assert refused_lines == expected, run.stdout


def test_the_accepted_calls_run():
    exec(compile(ACCEPTED, "accepted.py", "exec"), {})
