"""The ostrel command installed with the package: every command's success
path and its failures, plus the delta reader it shares between inspect and
patch, checked against the core's own application of random deltas.

Commands run in this process with the standard streams swapped for memory
files; the installed console script itself runs in a child process."""

import io
import json
import os
import random
import re
import subprocess
import sys
from typing import NamedTuple

import pytest

from ostrel_core import cbor, delta
from ostrel_cli.delta_items import Insert, MalformedDelta, Match, read_items
from ostrel_cli.main import main

SEED = int(os.environ.get("OSTREL_PY_CLI_SEED", "7171"))
OSTREL = os.path.join(os.path.dirname(sys.executable), "ostrel")


class Run(NamedTuple):
    returncode: int
    stdout: bytes
    stderr: bytes


def ostrel(*args, stdin=b""):
    out, err = io.BytesIO(), io.BytesIO()
    streams = (io.TextIOWrapper(io.BytesIO(stdin)),
               io.TextIOWrapper(out, write_through=True),
               io.TextIOWrapper(err, write_through=True))
    saved = sys.stdin, sys.stdout, sys.stderr
    sys.stdin, sys.stdout, sys.stderr = streams
    try:
        status = main([str(arg) for arg in args])
    except SystemExit as e:  # argparse: --help and usage errors
        status = e.code
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
    return Run(status, out.getvalue(), err.getvalue())


def succeeds(*args, stdin=b""):
    run = ostrel(*args, stdin=stdin)
    assert run.returncode == 0, run.stderr.decode()
    assert run.stderr == b"" or "--stats" in args
    return run.stdout


def fails(status, fragment, *args, stdin=b""):
    run = ostrel(*args, stdin=stdin)
    assert run.returncode == status, (run.stdout, run.stderr)
    assert fragment in run.stderr.decode()
    return run


@pytest.fixture
def files(tmp_path):
    """files(name=content, ...) -> {name: path}"""
    def make(**contents):
        paths = {}
        for name, content in contents.items():
            paths[name] = tmp_path / name
            paths[name].write_bytes(content)
        return paths
    return make


# --- diff and patch ---------------------------------------------------------

ROUND_TRIPS = [
    # old, new, delta (hex)
    (b"abcdefgh", b"abcXYdefgh", "00034258590305"),
    (b"abcdefgh", b"abcdefgh", "f6"),  # no-change: patch gives a copy of OLD
    (b"", b"", "40"),
    (b"a", b"a", "4161"),
    (b"abc", b"xyz", "4378797a"),
]


@pytest.mark.parametrize(("old", "new", "expected"), ROUND_TRIPS)
def test_diff_and_patch_through_files(files, tmp_path, old, new, expected):
    p = files(old=old, new=new)
    assert succeeds("diff", p["old"], p["new"], "-o", tmp_path / "delta", "--no-check") == b""
    assert (tmp_path / "delta").read_bytes().hex() == expected
    assert succeeds("patch", p["old"], tmp_path / "delta", "-o", tmp_path / "out") == b""
    assert (tmp_path / "out").read_bytes() == new
    assert succeeds("diff", p["old"], p["new"], "-o", tmp_path / "checked") == b""
    assert (tmp_path / "checked").read_bytes() == delta.compute(old, new, check=True)
    assert succeeds("patch", p["old"], tmp_path / "checked", "-o", tmp_path / "out") == b""
    assert (tmp_path / "out").read_bytes() == new
    assert sorted(path.name for path in tmp_path.iterdir()) == ["checked", "delta", "new", "old", "out"]


@pytest.mark.parametrize(("old", "new", "expected"), ROUND_TRIPS)
def test_diff_and_patch_through_standard_streams(files, old, new, expected):
    p = files(old=old, new=new)
    assert succeeds("diff", "-", p["new"], "--no-check", stdin=old).hex() == expected
    assert succeeds("diff", p["old"], "-", "-o", "-", "--no-check", stdin=new).hex() == expected
    assert succeeds("patch", p["old"], "-", stdin=bytes.fromhex(expected)) == new
    p = files(delta=bytes.fromhex(expected))
    assert succeeds("patch", "-", p["delta"], stdin=old) == new


def test_random_round_trips_give_the_module_delta(files, tmp_path):
    print(f"seed {SEED} (OSTREL_PY_CLI_SEED)")
    rng = random.Random(SEED)
    for case in range(6):
        old = bytearray(rng.randbytes(rng.randrange(0, 3000)))
        new = bytearray(old)
        for _ in range(rng.randrange(0, 6)):
            at = rng.randrange(0, len(new) + 1)
            new[at:at + rng.randrange(0, 40)] = rng.randbytes(rng.randrange(0, 40))
        p = files(old=bytes(old), new=bytes(new))
        produced = succeeds("diff", p["old"], p["new"])
        assert produced == delta.compute(bytes(old), bytes(new), check=True), f"case {case}"
        assert succeeds("patch", p["old"], "-", stdin=produced) == new, f"case {case}"
        produced = succeeds("diff", p["old"], p["new"], "--method", "myers", "--no-check")
        assert produced == bytes(delta.diff(bytes(old), bytes(new))), f"case {case}"
        assert succeeds("patch", p["old"], "-", stdin=produced) == new, f"case {case}"
        for level in (5, 6):
            produced = succeeds("diff", p["old"], p["new"], "--level", str(level))
            assert produced == delta.compute(bytes(old), bytes(new), level=level, check=True), f"case {case}"


def test_stats_go_to_standard_error(files, tmp_path):
    p = files(old=b"abcdefgh", new=b"abcXYdefgh")
    run = ostrel("diff", p["old"], p["new"], "-o", tmp_path / "delta", "--stats")
    assert run.returncode == 0 and run.stdout == b""
    lines = run.stderr.decode().splitlines()
    assert [line.split()[:2] for line in lines[:3]] == [["old", "8"], ["new", "10"], ["delta", "36"]]
    assert lines[3].startswith("diff") and lines[3].endswith(" ms")
    run = ostrel("patch", p["old"], tmp_path / "delta", "--stats")
    assert run.returncode == 0 and run.stdout == b"abcXYdefgh"
    lines = run.stderr.decode().splitlines()
    assert [line.split()[:2] for line in lines[:3]] == [["old", "8"], ["delta", "36"], ["new", "10"]]


MALFORMED = [
    # delta (hex), message: refused by patch and by inspect alike
    ("05", "the match at byte 0 has no length"),
    ("0001 0141 61", "the match at byte 2 has no length"),
    ("3b6f737472656c0001 22 3b2d06800538d394c2 22 3b2d0680", "at byte 20: the check record is damaged or cut short"),
    ("436162", "the string at byte 0 runs past the end of the delta"),
    ("41 78 5a00000010 61", "the string at byte 2 runs past the end"),
    ("1901", "the item at byte 0 is cut short"),
    ("00 1a0000", "the item at byte 1 is cut short"),
    ("fb0000", "the item at byte 0 is cut short"),
]


@pytest.mark.parametrize(("hex_delta", "message"), MALFORMED)
def test_patch_refuses_a_malformed_delta_and_writes_nothing(files, tmp_path, hex_delta, message):
    p = files(old=b"abcdefgh", delta=bytes.fromhex(hex_delta.replace(" ", "")))
    at = re.search(r"at byte (\d+)", message)[1]
    run = fails(1, f"ostrel patch: malformed delta at byte {at}: ", "patch", p["old"], p["delta"],
                "-o", tmp_path / "out")
    assert run.stdout == b""
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("hex_delta", ["0009", "0801", "1affffffff01"])
def test_patch_refuses_a_match_outside_old(files, tmp_path, hex_delta):
    p = files(old=b"abcdefgh", delta=bytes.fromhex(hex_delta))
    fails(1, "ostrel patch: malformed delta at byte 0: the match reaches outside the old value\n",
          "patch", p["old"], p["delta"], "-o", tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_patch_refuses_what_does_not_fit_and_leaves_the_output_alone(files, tmp_path):
    old, new = b"The quick brown fox jumps over the lazy dog", b"The quick red fox jumps over the lazy dog!"
    checked = delta.compute(old, new, check=True)
    p = files(old=old, stale=old.replace(b"lazy", b"busy"), delta=checked, cut=checked[:-1],
              damaged=checked[:-1] + b"?", out=b"what was there")
    for base, patch_delta, message in [
        ("stale", "delta", "ostrel patch: the old value is not the one the delta was made from"),
        ("old", "damaged", "ostrel patch: the result is not the value the delta was made for"),
        ("old", "cut", "ostrel patch: malformed delta at byte"),
    ]:
        fails(1, message, "patch", p[base], p[patch_delta], "-o", p["out"])
        assert p["out"].read_bytes() == b"what was there"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["cut", "damaged", "delta", "old", "out", "stale"]
    # The file written replaces the old one whole and keeps its permissions;
    # devices are written in place.
    p["out"].chmod(0o640)
    assert succeeds("patch", p["old"], p["delta"], "-o", p["out"]) == b""
    assert p["out"].read_bytes() == new and p["out"].stat().st_mode & 0o777 == 0o640
    assert succeeds("patch", p["old"], p["delta"], "-o", os.devnull) == b""
    if os.geteuid() != 0:  # root may write anything
        p["out"].chmod(0o440)
        fails(1, f"cannot write {p['out']}: Permission denied", "patch", p["old"], p["delta"], "-o", p["out"])


def test_diff_options(files):
    p = files(old=b"abcdefgh", new=b"abcXYdefgh")
    fails(1, "ostrel diff: --level must be from 1 to 6, not 9\n", "diff", p["old"], p["new"], "--level", "9")
    fails(2, "diff: --level is for --method match", "diff", p["old"], p["new"], "--method", "myers", "--level", "2")
    fails(2, "invalid choice: 'bsdiff'", "diff", p["old"], p["new"], "--method", "bsdiff")


def test_patch_max_size(files, tmp_path):
    # 4096 copies of the whole 1 MiB old value: 4 GiB asked for by 24 KiB.
    p = files(old=bytes(1 << 20), delta=bytes.fromhex("00 1a 00 10 00 00") * 4096)
    fails(1, "ostrel patch: the delta builds more than --max-size 16777216 bytes: the item at byte 96 passes it\n",
          "patch", p["old"], p["delta"], "--max-size", "16M", "-o", tmp_path / "out")
    assert not (tmp_path / "out").exists()
    p = files(old=b"abcdefgh", delta=bytes.fromhex("00 03 42 58 59 03 05"))
    assert succeeds("patch", p["old"], p["delta"], "--max-size", "10") == b"abcXYdefgh"
    fails(1, "more than --max-size 9 bytes: the item at byte 5", "patch", p["old"], p["delta"], "--max-size", "9")
    fails(2, "expected a byte count such as 65536, 64k, 10M or 2G, got '-1'",
          "patch", p["old"], p["delta"], "--max-size", "-1")


@pytest.mark.parametrize("command", ["diff", "patch"])
def test_unreadable_inputs_and_outputs(files, tmp_path, command):
    p = files(first=b"abc", second=b"abd" if command == "diff" else b"\x41x")
    fails(1, f"ostrel {command}: cannot read {tmp_path / 'absent'}: No such file or directory",
          command, p["first"], tmp_path / "absent")
    fails(1, f"cannot read {tmp_path}: Is a directory", command, tmp_path, p["second"])
    fails(1, "only one input can be standard input", command, "-", "-")
    fails(1, f"cannot write {tmp_path}: Is a directory", command, p["first"], p["second"], "-o", tmp_path)
    fails(2, "the following arguments are required", command, p["first"])


# --- cbor -------------------------------------------------------------------

ENCODINGS = [
    # JSON, options, CBOR (hex)
    ("null", [], "f6"),
    ("true", [], "f5"),
    ("-1", [], "20"),
    ("18446744073709551615", [], "1bffffffffffffffff"),
    ("-9223372036854775808", [], "3b7fffffffffffffff"),
    ("1.5", [], "f93e00"),
    ("NaN", [], "f97e00"),
    ('"\\u00e9"', [], "62c3a9"),
    ("[]", [], "9fff"),
    ("[]", ["--definite"], "80"),
    ('{"a": 1}', ["--definite"], "a1616101"),
    ('{"b": 0, "a": 0}', ["--definite"], "a2616200616100"),  # key order kept
    ("[1, [2]]", [], "9f019f02ffff"),
    ("[1, [2]]", ["--definite"], "82018102"),
    ("[[]]", ["--max-depth", "1"], "9f9fffff"),
    # deterministic form: counts, keys by their encoded bytes, any integer
    ('{"bb": [1.0, {"z": 1, "a": 2}], "c": 1e400, "a": 18446744073709551616}', ["--canonical"],
     "a36161c249010000000000000000" "6163f97c00" "62626282f93c00a2616102617a01"),
    ('{"b": 0, "a": 0}', ["--canonical", "--definite"], "a2616100616200"),
    ("[[1]]", ["--canonical", "--max-depth", "0"], "818101"),
]


@pytest.mark.parametrize(("document", "options", "expected"), ENCODINGS)
def test_cbor(files, document, options, expected):
    assert succeeds("cbor", *options, stdin=document.encode()).hex() == expected
    assert succeeds("cbor", "--hex", *options, stdin=document.encode()) == (expected + "\n").encode()
    p = files(doc=document.encode())
    assert succeeds("cbor", p["doc"], *options).hex() == expected


def test_cbor_of_a_document_is_what_dumps_writes(files):
    document = {"name": "ostrel", "sizes": [0, 1, 2**40, -5, 2.25], "nested": {"x": [None, True, []]}}
    text = json.dumps(document)
    assert succeeds("cbor", stdin=text.encode()) == cbor.dumps(document)
    p = files(doc=text.encode("utf-16"))  # json reads UTF-8, -16 and -32
    assert succeeds("cbor", "--definite", p["doc"]) == cbor.dumps(document, indefinite=False)


CBOR_FAILURES = [
    # JSON (bytes), options, status, message
    (b"[1,", [], 1, "ostrel cbor: invalid JSON: Expecting value: line 1 column 4"),
    (b"", [], 1, "invalid JSON"),
    (b'"\xff"', [], 1, "invalid JSON"),
    (b"[" * 100000 + b"]" * 100000, [], 1, "invalid JSON: nested too deeply"),
    (b'{"a": 1, "a": 2}', [], 1, "invalid JSON: duplicate key 'a' in an object"),
    (b"18446744073709551616", [], 1,
     "cannot encode as CBOR: the integer 18446744073709551616 is outside -2**63 .. 2**64-1"),
    (b"[-9223372036854775809]", [], 1, "the integer -9223372036854775809 is outside"),
    (b'"\\ud800"', [], 1, "cannot encode as CBOR: a string holds a lone surrogate"),
    (b'{"k": ["\\udfff"]}', [], 1, "a string holds a lone surrogate"),
    (b"[[1]]", ["--max-depth", "1"], 1, "the value is nested deeper than --max-depth 1"),
    (b"1", ["--max-depth", "-1"], 2, "expected an integer from 0 to 4294967295, got '-1'"),
    (b"1", ["--max-depth", "4294967296"], 2, "expected an integer from 0 to 4294967295"),
    (b"1", ["--max-depth", "two"], 2, "expected an integer"),
    (b'{"k": ["\\udfff"]}', ["--canonical"], 1, "cannot encode as CBOR: a str that has no UTF-8 form (it holds a "
                                                "lone surrogate) at value['k'][0]"),
    (b"[[1]]", ["--canonical", "--max-depth", "1"], 1, "cannot encode as CBOR: nesting deeper than max_depth=1 at "
                                                       "value[0]"),
]


@pytest.mark.parametrize(("document", "options", "status", "message"), CBOR_FAILURES,
                         ids=[message for _, _, _, message in CBOR_FAILURES])
def test_cbor_failures(document, options, status, message):
    assert fails(status, message, "cbor", *options, stdin=document).stdout == b""


def test_cbor_unreadable_file(tmp_path):
    fails(1, f"ostrel cbor: cannot read {tmp_path / 'absent'}: No such file", "cbor", tmp_path / "absent")


DECODINGS = [
    # CBOR (hex), options, JSON written
    ("a161618301f94100f6", [], '{"a": [1, 2.5, null]}'),
    ("4401020304", [], '"AQIDBA"'),                       # base64url, no padding
    ("43fbff00", [], '"-_8A"'),
    ("83f97e00f97c00fa ff800000".replace(" ", ""), [], "[null, null, null]"),
    ("84f7f0f8ffc6820102", [], "[null, null, null, [1, 2]]"),  # undefined, simple values, a tag
    ("86c074323031332d30332d32315432303a30343a30305ac11a514b67b0d86420d903ec6a323032302d30312d3032"
     "c48221196ab3d81e820103", [],
     '["2013-03-21T20:04:00+00:00", "2013-03-21T20:04:00+00:00", "1969-12-31", "2020-01-02", "273.15", "1/3"]'),
    ("82d82550" + "00" * 15 + "05d9010281f5", [], '["00000000-0000-0000-0000-000000000005", [true]]'),
    ("c249010000000000000000", [], "18446744073709551616"),
    ("a4016161f66162406163806164", [], '{"1": "a", "null": "b", "": "c", "[]": "d"}'),
    ("a1820102f6", [], '{"[1,2]": null}'),
    ("7f62c3a9ff", [], '"\u00e9"'),
    ("8181818100", ["--max-depth", "4"], "[[[[0]]]]"),
    ("81" * 20000 + "00", ["--max-depth", "0"], None),      # no limit: JSON cannot nest that deep
]


@pytest.mark.parametrize(("encoding", "options", "expected"), DECODINGS)
def test_cbor_decode(files, encoding, options, expected):
    if expected is None:
        fails(1, "ostrel cbor: the item is nested too deeply to be written as JSON", "cbor", "--decode",
              *options, stdin=bytes.fromhex(encoding))
        return
    written = (json.dumps(json.loads(expected), ensure_ascii=False) + "\n").encode()
    assert succeeds("cbor", "--decode", *options, stdin=bytes.fromhex(encoding)) == written
    assert succeeds("cbor", "--decode", "--hex", *options, stdin=f" {encoding}\n".encode()) == written
    p = files(item=bytes.fromhex(encoding))
    assert succeeds("cbor", "--decode", p["item"], *options) == written


def test_cbor_decode_reads_back_what_cbor_writes():
    document = b'{"name": "ostrel", "sizes": [0, 1, 1099511627776, -5, 2.25], "x": {"y": [null, true, []]}}'
    for options in ([], ["--definite"]):
        encoded = succeeds("cbor", *options, stdin=document)
        assert json.loads(succeeds("cbor", "--decode", stdin=encoded)) == json.loads(document)


@pytest.mark.parametrize(("data", "options", "status", "message"), [
    (b"\x00\x00", [], 1, "ostrel cbor: invalid CBOR: at byte 1: bytes after the end of the item"),
    (b"\x62\xc0\xaf", [], 1, "invalid CBOR: at byte 0: a text string that is not valid UTF-8"),
    (b"\x81" * 20 + b"\x00", ["--max-depth", "10"], 1, "invalid CBOR: at byte 11: an item nested deeper"),
    (b"\x81" * 1501 + b"\x00", [], 1, "at byte 1501: an item nested deeper than max_depth=1500"),
    (b"\xa2\x01\x00\x61\x31\x00", [], 1, "two keys of one map become the same JSON name '1'"),
    (b"0g", ["--hex"], 1, "ostrel cbor: invalid hexadecimal input"),
    (b"\x00", ["--definite"], 1, "--definite is for encoding"),
    (b"\x00", ["--canonical"], 1, "--canonical is for encoding"),
])
def test_cbor_decode_failures(data, options, status, message):
    assert fails(status, message, "cbor", "--decode", *options, stdin=data).stdout == b""


# --- inspect ----------------------------------------------------------------

INSPECTIONS = [
    ("00034258590305", """\
delta: 7 bytes, ordinary
at  item
 0  match    offset 0, length 3
 2  insert   2 bytes  b'XY'
 5  match    offset 3, length 5
item count: 3
bytes copied: 8
bytes inserted: 2
new value: 10 bytes
"""),
    ("f6", "no-change delta (1 byte): the new value is a copy of the old value\n"),
    # The worked example of docs/delta-format.md, checked.
    ("3b6f737472656c0001 383d 3ba3035110f275f595 383b 3bc146ba9df099c9e8 000a 43726564 0f182d 4121", """\
check record: 31 bytes
  old value: 61 bytes, XXH3-64 a3035110f275f595
  new value: 59 bytes, XXH3-64 c146ba9df099c9e8
delta: 42 bytes, ordinary
at  item
31  match    offset 0, length 10
33  insert   3 bytes  b'red'
37  match    offset 15, length 45
40  insert   1 bytes  b'!'
item count: 4
bytes copied: 55
bytes inserted: 4
new value: 59 bytes
"""),
    ("3b6f737472656c0001 22 3b2d06800538d394c2 22 3b2d06800538d394c2 0002", """\
check record: 29 bytes
  old value: 2 bytes, XXH3-64 2d06800538d394c2
  new value: 2 bytes, XXH3-64 2d06800538d394c2
delta: 31 bytes, no-change
at  item
29  match    offset 0, length 2
item count: 1
bytes copied: 2
bytes inserted: 0
new value: 2 bytes
"""),
    ("43616263", """\
delta: 4 bytes, replacement
at  item
 0  insert   3 bytes  b'abc'
item count: 1
bytes copied: 0
bytes inserted: 3
new value: 3 bytes
"""),
    # What patch skips is listed; an array head does not hide the items
    # after it, a text string inserts, a reserved code 1c reads as 0.
    ("82 20 d8 05 03 ff 7f 1c 01 6178 f6", """\
delta: 12 bytes, ordinary
at  item
 0  ignored  array head: 82
 1  ignored  negative integer: 20
 2  ignored  tag head: d8
 3  match    offset 5, length 3
 5  ignored  break: ff
 6  ignored  indefinite-length head: 7f
 7  match    offset 0, length 1
 9  insert   1 bytes  b'x'
11  ignored  simple value or float: f6
item count: 9
bytes copied: 4
bytes inserted: 1
new value: 5 bytes
"""),
]


@pytest.mark.parametrize(("hex_delta", "listing"), INSPECTIONS)
def test_inspect(files, hex_delta, listing):
    data = bytes.fromhex(hex_delta.replace(" ", ""))
    assert succeeds("inspect", "-", stdin=data).decode() == listing
    assert succeeds("inspect", files(delta=data)["delta"]).decode() == listing


def test_inspect_totals_match_a_generated_delta():
    rng = random.Random(SEED)
    old = rng.randbytes(5000)
    new = old[:1000] + b"inserted" + old[1200:4000] + old[4100:]
    listing = succeeds("inspect", "-", stdin=bytes(delta.diff(old, new))).decode().splitlines()
    assert listing[-1] == f"new value: {len(new)} bytes"


@pytest.mark.parametrize(("hex_delta", "message"), MALFORMED)
def test_inspect_refuses_a_malformed_delta(hex_delta, message):
    data = bytes.fromhex(hex_delta.replace(" ", ""))
    assert fails(1, f"ostrel inspect: malformed delta: {message}", "inspect", "-", stdin=data).stdout == b""


def test_inspect_unreadable_file(tmp_path):
    fails(1, "ostrel inspect: cannot read", "inspect", tmp_path / "absent")
    fails(2, "the following arguments are required", "inspect")


# --- help and usage ---------------------------------------------------------

@pytest.mark.parametrize(("command", "usage"), [
    ("diff", "usage: ostrel diff [-h] [-o DELTA] [--method {match,myers}] [--level N]"),
    ("patch", "usage: ostrel patch [-h] [-o NEW] [--max-size SIZE] [--stats] OLD DELTA"),
    ("cbor", "usage: ostrel cbor [-h] [--definite] [--canonical] [--max-depth N] [--hex]"),
    ("inspect", "usage: ostrel inspect [-h] DELTA"),
])
def test_help_of_each_command(command, usage):
    assert succeeds(command, "--help").decode().startswith(usage)


def test_the_installed_command():
    def run(*args, stdin=b""):
        return subprocess.run([OSTREL, *args], input=stdin, capture_output=True, timeout=60)

    assert run("--help").stdout.startswith(b"usage: ostrel [-h] COMMAND ...")
    made = run("diff", "-", os.devnull, "--no-check", stdin=b"abcdefgh")
    assert (made.returncode, made.stdout) == (0, b"\x40")
    refused = run("inspect", "-", stdin=b"\x05")
    assert refused.returncode == 1
    assert refused.stderr == b"ostrel inspect: malformed delta: the match at byte 0 has no length\n"


def test_help_and_usage_of_the_tool():
    text = succeeds("--help").decode()
    for command in ("diff", "patch", "cbor", "inspect"):
        assert command in text
    fails(2, "the following arguments are required: COMMAND")
    fails(2, "invalid choice: 'merge'", "merge")


# --- the delta reader against the core --------------------------------------

# Initial bytes weighted towards what deltas hold, with every other code too.
CODES = [0x00, 0x03, 0x05, 0x18, 0x19, 0x1A, 0x1C, 0x40, 0x41, 0x43, 0x58, 0x61, 0x7F, 0x20, 0x82, 0xD8, 0xF6, 0xFF]


def rebuild(old, items):
    out = bytearray()
    for item in items:
        if isinstance(item, Match):
            if item.offset + item.length > len(old):
                return None
            out += old[item.offset:item.offset + item.length]
        elif isinstance(item, Insert):
            out += item.content
    return bytes(out)


def test_reader_agrees_with_the_core_on_random_deltas():
    print(f"seed {SEED} (OSTREL_PY_CLI_SEED)")
    rng = random.Random(SEED)
    old = b"abcdefghijklmnopqrstuvwxyz"
    for case in range(3000):
        data = bytes(rng.choice(CODES) if rng.random() < 0.5 else rng.randrange(256)
                     for _ in range(rng.randrange(0, 10)))
        items = []
        try:
            for item in read_items(data):
                items.append(item)
            malformed = False
        except MalformedDelta:
            malformed = True
        try:
            applied = bytes(delta.patch(old, data))
        except ValueError:
            applied = None
        expected = rebuild(old, items)
        if malformed:
            # The core stops at a cut item with what it built, or refuses.
            assert applied in (None, expected), f"case {case}: {data.hex()}"
        else:
            assert applied == expected, f"case {case}: {data.hex()}"
