"""Checks of the benchmark suite's own machinery (not of timings):

    python -m pytest bench/test_bench.py
"""

import gzip
import json
import os
import random
import zipfile

import pytest

import cbor_bench
import corpus
import measure
import peers
import run
import worker

MiB = 1 << 20


def test_synthetic_cases_are_rebuilt_identically_and_have_the_stated_edits():
    first, second = corpus.synthetic_cases(MiB), corpus.synthetic_cases(MiB)
    assert [(c.old, c.new) for c in first] == [(c.old, c.new) for c in second]
    by_name = {c.name: c for c in first}

    subst = by_name["random 1M, 10 substitutions"]
    assert len(subst.new) == len(subst.old)
    assert sum(a != b for a, b in zip(subst.old, subst.new)) == 10

    unrelated = by_name["random 1M, unrelated"]
    assert unrelated.old != unrelated.new and unrelated.role == "unrelated"

    same = by_name["identical 1M"]
    assert same.old == same.new and same.old is not same.new and same.changed == 0


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_insert_delete_runs_touch_what_they_report(seed):
    # Every run changes the length by its own length, one way or the other,
    # so the length change is bounded by the bytes touched and has their parity.
    print("seed", seed)
    rng = random.Random(seed)
    value = rng.randbytes(1 << 16)
    new, touched = corpus.insert_delete_runs(rng, value, 50, 64)
    assert 50 <= touched <= 50 * 64
    assert abs(len(new) - len(value)) <= touched
    assert (len(new) - len(value) - touched) % 2 == 0


@pytest.mark.parametrize("hex_delta, expected", [
    ("f6", 0),                               # no-change delta
    ("40", 0),                               # empty replacement
    ("00034258590305", 2),                   # match, "XY", match
    ("5818" + "00" * 24, 24),                # one-byte length head
    ("590100" + "00" * 256, 256),            # two-byte length head
    ("1a0001000019ffff", 0),                 # four- and two-byte match heads
    ("5803" + "0000", None),                 # string runs past the end
    ("19ff", None),                          # head runs past the end
    ("80", None),                            # an array: not ours
    ("5f", None),                            # indefinite length: never written
])
def test_inserted_bytes_of_our_deltas(hex_delta, expected):
    assert worker.inserted_bytes(bytes.fromhex(hex_delta)) == expected


@pytest.mark.parametrize("old, new, cap, expected", [
    (0, 0, 31, 10),            # floor of the window
    (1 << 20, 10, 31, 21),     # one above the highest set bit of either size
    (10, (1 << 20) - 1, 31, 20),
    (1 << 40, 1, 31, 31),      # capped
])
def test_zstd_window_covers_the_larger_value(old, new, cap, expected):
    assert peers.zstd_window_log(old, new, cap) == expected


def test_zstd_dictionary_is_indexed_over_the_whole_old_value():
    pytest.importorskip("zstandard")
    fast = peers.IN_PROCESS["zstd-dict-3"].parameters(16 * MiB, 16 * MiB)
    assert 8 << max(fast.hash_log, fast.chain_log) >= 16 * MiB
    assert fast.window_log == 25 and fast.enable_ldm
    import zstandard
    strong = peers.IN_PROCESS["zstd-dict-19"].parameters(16 * MiB, 16 * MiB)
    assert strong.hash_log == zstandard.ZstdCompressionParameters.from_level(
        19, source_size=16 * MiB, dict_size=16 * MiB).hash_log


def small_pair():
    rng = random.Random(7)
    old = rng.randbytes(50_000)
    new = old[:20_000] + b"inserted" + old[20_100:]
    return old, new


@pytest.mark.parametrize("name", sorted(peers.IN_PROCESS))
def test_each_in_process_tool_round_trips(name):
    tool = peers.IN_PROCESS[name]
    if not tool.available():
        pytest.skip("%s not installed" % tool.module)
    old, new = small_pair()
    delta = tool.delta_bytes(tool.diff(old, new))
    assert len(delta) < len(new) // 10
    assert tool.value_bytes(tool.patch(old, delta)) == new


def test_ours_takes_the_no_change_delta_as_the_old_value():
    tool = peers.IN_PROCESS["ostrel"]
    if not tool.available():
        pytest.skip("ostrel_core not installed")
    value = b"same value"
    delta = tool.delta_bytes(tool.diff(value, value))
    assert delta == peers.NO_CHANGE
    assert tool.value_bytes(tool.patch(value, delta)) == value


@pytest.fixture
def case_dir(tmp_path):
    old, new = small_pair()
    measure.write_case(corpus.Case("pair", "synthetic", old, new), str(tmp_path))
    return str(tmp_path), old, new


@pytest.mark.parametrize("name", sorted(peers.PROCESSES))
def test_each_process_tool_round_trips_under_time(name, case_dir):
    tool = peers.PROCESSES[name]
    if not (tool.available() and os.path.exists(measure.TIME)):
        pytest.skip("%s or %s missing" % (tool.programs, measure.TIME))
    directory, old, new = case_dir
    report = measure.run_process(tool, directory, len(old), len(new), new, 0, 1, 60)
    assert 0 < report["delta_size"] < len(new) // 10
    assert report["diff_peak"] > 0 and len(report["diff_times"]) == 1


class CopyOld(peers.Process):
    """A broken tool: its patch gives back the old value."""

    def __init__(self):
        super().__init__("copy-old", "copy-old", ["cp"])

    def diff_cmd(self, old, new, out, old_size, new_size):
        return ["cp", new, out]

    def patch_cmd(self, old, delta_path, out, old_size, new_size):
        return ["cp", old, out]


def test_a_wrong_patch_output_is_reported(case_dir):
    if not os.path.exists(measure.TIME):
        pytest.skip("%s missing" % measure.TIME)
    directory, old, new = case_dir
    with pytest.raises(measure.Failed, match="differs"):
        measure.run_process(CopyOld(), directory, len(old), len(new), new, 0, 1, 60)


def test_a_tool_past_the_time_limit_is_stopped_and_reported(tmp_path):
    with pytest.raises(measure.Failed, match="timeout"):
        measure.run_timed(["sleep", "30"], 0.2, str(tmp_path))


def test_a_crashing_worker_is_reported(case_dir):
    directory, _, _ = case_dir
    with pytest.raises(measure.Failed, match="exit"):
        measure.run_worker("no-such-tool", os.path.join(directory, "old"),
                           os.path.join(directory, "new"), 0, 1, 60)


def fake_row(case, **results):
    return {"results": results, "changed_fraction": run.changed_fraction(case, results)}


def ok(**figures):
    base = {"delta_size": 10, "diff_net": 0.001, "patch_net": 0.0001, "diff_peak": 0,
            "diff_mb_s": 2000.0, "patch_mb_s": 5000.0, "inserted": 0}
    base.update(figures)
    return base


def test_targets_are_judged_on_the_cases_they_name():
    big = corpus.Case("big", "synthetic", bytes(2 * MiB), bytes(2 * MiB), changed=1,
                      role="big-edits")
    unrelated = corpus.Case("unrelated", "synthetic", bytes(MiB), b"\1" * MiB, changed=MiB,
                            role="unrelated")
    text = corpus.Case("text", "text", b"a" * 100, b"b" * 100)
    rows = [
        fake_row(big, ostrel=ok(), **{"zstd-3": ok(diff_mb_s=500.0)},
                 xdelta3=ok(delta_size=9)),
        fake_row(unrelated, ostrel=ok(delta_size=MiB + 5, diff_net=0.5, diff_peak=9 * MiB)),
        fake_row(text, ostrel={"error": "exit 1"}, xdelta3=ok(delta_size=50)),
    ]
    found = {(t["target"], t["case"]): t["met"]
             for t in run.targets([big, unrelated, text], rows, [])}
    assert found == {
        ("diff >= 1 GB/s", "big"): True,
        ("diff >= 5x zstd -3 (changed < 5%)", "big"): False,   # 4x only
        ("delta size <= xdelta3", "big"): False,                # 10 > 9
        ("patch >= 2 GB/s (output >= 1 MiB)", "big"): True,
        ("diff peak <= 10% inputs + 8 MiB", "big"): True,
        ("unrelated: replacement delta in <= 100 ms", "unrelated"): False,  # 500 ms
        ("patch >= 2 GB/s (output >= 1 MiB)", "unrelated"): True,
        ("diff peak <= 10% inputs + 8 MiB", "unrelated"): False,  # 9 > 0.2 + 8 MiB
        ("delta size <= xdelta3", "text"): False,                 # ours failed
        ("diff peak <= 10% inputs + 8 MiB", "text"): False,
    }


def test_levels_are_judged_against_the_floor():
    case = corpus.Case("pair", "text", b"a" * 1000, b"b" * 1000)
    results = {"match-6": ok(delta_size=90, diff_net=0.5, diff_peak=50_000),
               "match-5": ok(delta_size=99), "match-default": ok(delta_size=120),
               "zstd-19": ok(diff_net=0.4)}
    rows = [dict(fake_row(case, **results), floor=90)]
    found = {t["target"]: t["met"] for t in run.targets([case], rows, [])
             if "floor" in t["target"] or t["target"].startswith("level 6")}
    assert found == {
        "level 6 == floor": True,
        "level 6 time <= zstd -19 (pairs <= 10 MB)": False,       # 500 ms > 400 ms
        "level 6 peak <= 48 B per byte of old and new": True,     # 50,000 <= 96,000
        "level 5 delta <= 1.10x floor": True,                     # 99 <= 99
        "default level delta <= 1.25x floor": False,              # 120 > 112.5
    }
    shown = run.floor_table([case], rows, ["match-default", "match-6", "xdelta3"])
    assert shown.splitlines()[-1].split() == ["pair", "90", "1.333x", "1.000x", "n/a"]


def test_changed_share_of_real_cases_is_the_smaller_bound():
    case = corpus.Case("text", "text", b"", b"x" * 1000)
    assert run.changed_fraction(case, {"ostrel": ok(inserted=300),
                                       "xdelta3": ok(delta_size=100)}) == 0.1
    assert run.changed_fraction(case, {"ostrel": {"error": "x"}}) is None


def test_dumps_targets_compare_times_of_the_same_input():
    rows = [{"input": "doc", "results": {"ostrel": {"seconds": 1.0},
                                         "cbor2": {"seconds": 2.5},
                                         "orjson": {"seconds": 0.6}}}]
    found = {t["target"]: t["met"] for t in run.targets([], [], rows)}
    assert found == {"dumps >= 2x cbor2": True, "dumps within 1.5x of orjson": False,
                     "encode >= 8x cbor2": False, "encode no slower than orjson": False}  # encode not run
    rows[0]["decoding"] = {"ostrel": {"seconds": 1.0}, "cbor2": {"seconds": 2.5},
                           "orjson": {"seconds": 0.8}}
    found = {t["target"]: t["met"] for t in run.targets([], [], rows)}
    assert found["loads >= 3x cbor2"] is False and found["loads within 1.1x of orjson"] is False
    rows[0]["results"]["ostrel-encode"] = {"seconds": 0.3}
    found = {t["target"]: t["met"] for t in run.targets([], [], rows)}
    assert found["encode >= 8x cbor2"] is True and found["encode no slower than orjson"] is True


def test_documents_are_picked_by_size_and_must_load(tmp_path):
    def write(name, text):
        (tmp_path / name).write_text(text)
    write("small.json", json.dumps(list(range(300))))          # ~1.4 kB
    write("broken.json", "[" * 20_000)                         # closest to 20 kB, invalid
    write("medium.json", json.dumps(list(range(3000))))        # ~15 kB
    write("other.txt", "x" * 20_000)
    picked = cbor_bench.pick_documents([str(tmp_path)], sizes=(1000, 20_000))
    assert [os.path.basename(path) for _, path, _ in picked] == ["small.json", "medium.json"]
    assert picked[1][2] == list(range(3000))


def fake_release(root, version, files):
    lib = root / "versions" / version / "lib" / ("python" + version.rsplit(".", 1)[0])
    for name, content in files.items():
        (lib / name).parent.mkdir(parents=True, exist_ok=True)
        (lib / name).write_bytes(content)


def test_releases_pair_the_newest_patch_of_each_minor_and_skip_missing_files(tmp_path):
    fake_release(tmp_path, "3.11.2", {"keyword.py": b"old keyword"})
    fake_release(tmp_path, "3.11.10", {"keyword.py": b"k11", "b.py": b"B", "a.py": b"A",
                                       "argparse.py": b"only here"})
    fake_release(tmp_path, "3.12.0", {"keyword.py": b"k12", "z.py": b"Z"})
    (tmp_path / "versions" / "3.12-dev").mkdir()                 # not a release
    rel = corpus.releases(str(tmp_path))
    assert sorted(rel) == [(3, 11), (3, 12)]
    assert rel[(3, 11)].endswith("3.11.10")

    cases = {c.name: c for c in corpus.release_pair_cases(rel, (3, 11), (3, 12),
                                                          joined=True, binaries=True)}
    assert sorted(cases) == ["Lib/*.py 3.11-3.12", "keyword.py 3.11-3.12"]
    assert (cases["keyword.py 3.11-3.12"].old, cases["keyword.py 3.11-3.12"].new) == (
        b"k11", b"k12")
    joined = cases["Lib/*.py 3.11-3.12"]
    assert joined.old == b"A" + b"only here" + b"B" + b"k11"     # sorted names
    assert joined.new == b"k12" + b"Z"


def test_service_description_cases_are_the_json_documents_and_their_cbor(tmp_path, monkeypatch):
    pytest.importorskip("ostrel_core")
    cbor2 = pytest.importorskip("cbor2")
    documents = [{"version": "1.0", "shapes": {"A": {"type": "string"}}, "ints": [1, -2, 2**40]},
                 {"version": "1.0", "shapes": {"A": {"type": "string"}, "B": {"type": "float"}},
                  "ints": [1, -2, 2**40], "x": 1.5}]
    for wheel, document in zip(corpus.WHEELS["botocore"], documents):
        with zipfile.ZipFile(tmp_path / wheel, "w") as z:
            z.writestr("botocore/__init__.py", "")
            z.writestr(corpus.SERVICE_JSON, gzip.compress(json.dumps(document, indent=2).encode()))
    monkeypatch.setattr(corpus, "DOWNLOADS", str(tmp_path))
    as_json, as_cbor = corpus.package_cases(quick=True)  # the other wheels are missing
    assert (as_json.group, as_cbor.group) == ("text", "binary")
    assert [json.loads(v) for v in (as_json.old, as_json.new)] == documents
    assert [cbor2.loads(v) for v in (as_cbor.old, as_cbor.new)] == documents


def test_worker_reports_figures_and_checks_the_patch(case_dir):
    if not peers.IN_PROCESS["ostrel"].available():
        pytest.skip("ostrel_core not installed")
    directory, _, _ = case_dir
    report = measure.run_worker("ostrel", os.path.join(directory, "old"),
                                os.path.join(directory, "new"), 0, 1, 60)
    assert report["ok"] and report["inserted"] == len(b"inserted")
    assert report["delta_size"] < 50 and len(report["diff_times"]) == 1
    assert report["diff_peak"] >= 0 and report["patch_peak"] >= 0


@pytest.mark.parametrize("first, budget, max_runs, runs", [
    (5.0, 1.0, 9, 1),      # slow: once
    (0.6, 1.0, 9, 3),      # fits the budget: three runs despite the total
    (0.1, 1.0, 9, 9),      # fast: up to the most runs
    (0.3, 1.0, 9, 3),      # 0.3 + 0.3 + 0.3 + 0.3 > 1.0 after three
    (0.0, 1.0, 2, 2),      # never past max_runs
])
def test_repeat_counts(first, budget, max_runs, runs, monkeypatch):
    clock = iter(range(1000))
    monkeypatch.setattr(worker.time, "perf_counter", lambda: next(clock) * first)
    assert len(worker.repeat(lambda: None, first, budget, max_runs)) == runs


def test_our_encodings_are_checked_with_an_independent_decoder():
    pytest.importorskip("cbor2")
    assert cbor_bench.decodes_to(bytes.fromhex("9f01f93e006161ff"), [1, 1.5, "a"])
    assert not cbor_bench.decodes_to(bytes.fromhex("9f01ff"), [1, 1.5, "a"])
