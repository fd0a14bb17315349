"""Benchmarks of ostrel_core against its peers: binary deltas and CBOR
encoding. Prints side-by-side tables and writes them as JSON to
bench/results/<timestamp>.json and bench/results/latest.json.

    python bench/run.py [--quick] [--time-limit SECONDS]

Figures only: nothing here fails on a timing. The targets are printed as met
or not met, for information.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cbor_bench  # noqa: E402
import corpus  # noqa: E402
import measure  # noqa: E402
import peers  # noqa: E402

MiB = 1 << 20

NOTES = [
    "Times are medians of repeated runs (fewer runs for slow cases, one for the slowest).",
    "Throughput is MB/s (10^6 bytes per second) of the new value, for diff and for patch.",
    "In-process tools run in a fresh worker process per case; their peak memory is the "
    "peak RSS during the call above the RSS just before it (inputs already loaded; the "
    "result counts).",
    "Process tools run under /usr/bin/time on files in a memory file system. Their times "
    "and peaks are shown with the start-up cost subtracted (the least time and peak RSS "
    "of the same command on one-byte inputs, /usr/bin/time's own exec included); raw "
    "figures are in the 'process tools, raw' table. Their peaks include the inputs the "
    "tool reads into memory.",
    "ostrel: the time of delta.diff / delta.patch, the result kept as the module's "
    "zero-copy buffer object; the no-change delta f6 is taken as 'new = old'.",
    "zstandard dict: the old value as a raw-content dictionary, with the window and "
    "long-distance matching that zstd --patch-from sets up, and below level 19 a hash "
    "table grown to index the whole old value (by default only its last 1 MiB would be); "
    "building the dictionary is part of both diff and patch.",
    "Every patch output is compared with the new value; a cell that failed says why.",
    "The floor is the size of the smallest delta our format can express for the pair: "
    "delta.compute(level=6), run once per case in a process of its own with no time limit; "
    "the match-6 column is measured like every level and must equal it.",
    "This machine has 2 cores shared with other work: figures are noisy; compare ratios "
    "from the same run.",
]


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "load_average": os.getloadavg(),
            "python": sys.version.split()[0], "platform": platform.platform()}


def versions():
    from importlib import metadata
    found = {}
    for name in ("ostrel_core", "bsdiff4", "zstandard", "cbor2", "msgpack", "orjson"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = None
    for program, args in (("xdelta3", ["-V"]), ("zstd", ["--version"])):
        if shutil.which(program):
            out = subprocess.run([program] + args, capture_output=True, text=True)
            found[program] = (out.stdout + out.stderr).strip().splitlines()[0]
    if shutil.which("dpkg-query"):
        out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "bsdiff"],
                             capture_output=True, text=True)
        found["bsdiff (Debian)"] = out.stdout.strip() or None
    found["cbor2 backend"] = cbor_bench.cbor2_backend()
    return found


def zstd_dict_check():
    """The dictionary must act as a real prefix over the whole old value: a
    4 MiB random value (past the 1 MiB that level 3 indexes by default)
    against itself must give a delta of under 1 % of it, and patch back."""
    import random
    tool = peers.IN_PROCESS["zstd-dict-3"]
    if not tool.available():
        return None
    value = random.Random(1).randbytes(4 * MiB)
    delta = tool.diff(value, value)
    ok = len(delta) < len(value) // 100 and tool.patch(value, delta) == value
    return {"delta_of_4MiB_random_against_itself": len(delta), "real_patch": ok}


# -- running the cases ------------------------------------------------------

def schedule(quick):
    """(budget seconds, max runs) for the repeated timings of one figure."""
    return (0.3, 5) if quick else (1.0, 9)


def run_case(case, directory, startup, budget, max_runs, limit):
    """The tools' reports on one case, and its floor: the size of the
    smallest delta our format can express (None where it failed)."""
    measure.write_case(case, directory)
    results = {}
    old, new = os.path.join(directory, "old"), os.path.join(directory, "new")
    floor = None
    if "ostrel" in [t.name for t in measure.in_process_tools()]:
        try:  # without a time limit: every column is read against it
            floor = measure.run_worker("floor", old, new, 0, 0, 0)["floor"]
        except measure.Failed as e:
            print("  floor of %s failed: %s" % (case.name, e), flush=True)
    for tool in measure.in_process_tools():
        try:
            results[tool.name] = measure.run_worker(
                tool.name, os.path.join(directory, "old"), os.path.join(directory, "new"),
                budget, max_runs, limit)
        except measure.Failed as e:
            results[tool.name] = {"error": str(e)}
    for tool in measure.process_tools():
        try:
            report = measure.run_process(tool, directory, len(case.old), len(case.new),
                                         case.new, budget, max_runs, limit)
            s = startup[tool.name]
            report["diff_net"] = statistics.median(report["diff_times"]) - s["diff_time"]
            report["patch_net"] = statistics.median(report["patch_times"]) - s["patch_time"]
            report["diff_peak_raw"], report["patch_peak_raw"] = (report["diff_peak"],
                                                                 report["patch_peak"])
            report["diff_peak"] = max(0, report["diff_peak"] - s["diff_peak"])
            report["patch_peak"] = max(0, report["patch_peak"] - s["patch_peak"])
            results[tool.name] = report
        except measure.Failed as e:
            results[tool.name] = {"error": str(e)}
    shutil.rmtree(directory)
    for report in results.values():
        if "error" not in report:
            if "diff_net" not in report:
                report["diff_net"] = statistics.median(report["diff_times"])
                report["patch_net"] = statistics.median(report["patch_times"])
            report["diff_mb_s"] = throughput(len(case.new), report["diff_net"])
            report["patch_mb_s"] = throughput(len(case.new), report["patch_net"])
    return results, floor


def throughput(size, seconds):
    return size / seconds / 1e6 if seconds > 0 else None


def changed_fraction(case, results):
    """Share of the new value that changed: by construction for synthetic
    cases, else the least of the bytes our delta inserts and xdelta3's delta
    size (an upper bound either way)."""
    if case.changed is not None:
        return case.changed / max(len(case.new), 1)
    bounds = [r.get("inserted") if name == "ostrel" else r.get("delta_size")
              for name, r in results.items()
              if name in ("ostrel", "xdelta3") and "error" not in r]
    bounds = [b for b in bounds if b is not None]
    return min(bounds) / max(len(case.new), 1) if bounds else None


# -- targets ------------------------------------------------------------------

def speed_targets(name, results, add, targets, ours="ostrel"):
    """Adds, for each (peer, factor, text), whether ours is at least factor
    times as fast as the peer on this input."""
    ours = results.get(ours, {})
    for peer, factor, text in targets:
        p = results.get(peer, {})
        if "seconds" not in p:
            continue
        if "seconds" not in ours:
            add(text, name, "failed", "%.2fx" % factor, False)
            continue
        speedup = p["seconds"] / ours["seconds"]
        add(text, name, "%.2fx" % speedup, ">= %.2fx" % factor, speedup >= factor)


def targets(cases, delta_rows, cbor_rows):
    out = []

    def add(target, case, measured, required, met):
        out.append({"target": target, "case": case, "measured": measured,
                    "required": required, "met": met})

    for case, row in zip(cases, delta_rows):
        ours = row["results"].get("ostrel", {})
        failed = "error" in ours or not ours
        # What a target that ours could not be measured for shows.
        why = ours.get("error", "") if ours else "not run"
        why = why if why.startswith(("timeout", "not run")) else "failed"
        name = case.name
        if case.role in ("big-edits", "identical"):
            add("diff >= 1 GB/s", name, why if failed else fmt_rate(ours["diff_mb_s"]),
                "1000 MB/s", not failed and (ours["diff_mb_s"] or 0) >= 1000)
        frac = row["changed_fraction"]
        zstd = row["results"].get("zstd-3", {})
        if frac is not None and frac < 0.05 and zstd and "error" not in zstd:
            if failed:
                add("diff >= 5x zstd -3 (changed < 5%)", name, why, "5.0x", False)
            else:
                # zstd's raw time where its start-up noise hides the net one.
                rate = zstd["diff_mb_s"] or throughput(len(case.new),
                                                       statistics.median(zstd["diff_times"]))
                ratio = (ours["diff_mb_s"] or float("inf")) / rate
                add("diff >= 5x zstd -3 (changed < 5%)", name, "%.2fx" % ratio, "5.0x",
                    ratio >= 5)
        if case.role == "unrelated":
            replacement = not failed and ours["delta_size"] >= len(case.new)
            ms = None if failed else ours["diff_net"] * 1000
            add("unrelated: replacement delta in <= 100 ms", name,
                why if failed else "%s, %.0f ms" % (
                    "replacement" if replacement else "ordinary delta", ms),
                "replacement, 100 ms", replacement and ms <= 100)
        x = row["results"].get("xdelta3", {})
        if case.group in ("text", "synthetic") and x and "error" not in x:
            add("delta size <= xdelta3", name,
                why if failed else "%d vs %d" % (ours["delta_size"], x["delta_size"]),
                "<= %d" % x["delta_size"], not failed and ours["delta_size"] <= x["delta_size"])
        # A no-change delta is not patched: the caller keeps the old value.
        if len(case.new) >= MiB and (failed or ours["delta_size"] > 1):
            add("patch >= 2 GB/s (output >= 1 MiB)", name,
                why if failed else fmt_rate(ours["patch_mb_s"]), "2000 MB/s",
                not failed and (ours["patch_mb_s"] or float("inf")) >= 2000)
        inputs = len(case.old) + len(case.new)
        allowed = inputs // 10 + 8 * MiB
        add("diff peak <= 10% inputs + 8 MiB", name,
            why if failed else fmt_mib(ours["diff_peak"]), fmt_mib(allowed),
            not failed and ours["diff_peak"] <= allowed)

    for case, row in zip(cases, delta_rows):
        match_targets(case, row["results"], add)
        floor_targets(case, row["results"], row.get("floor"), add)

    for row in cbor_rows:
        speed_targets(row["input"], row["results"], add,
                      (("cbor2", 2.0, "dumps >= 2x cbor2"),
                       ("orjson", 1 / 1.5, "dumps within 1.5x of orjson")))
        speed_targets(row["input"], row["results"], add,
                      (("cbor2", 8.0, "encode >= 8x cbor2"),
                       ("orjson", 1.0, "encode no slower than orjson")), ours="ostrel-encode")
        speed_targets(row["input"], row.get("decoding", {}), add,
                      (("cbor2", 3.0, "loads >= 3x cbor2"),
                       ("orjson", 1 / 1.1, "loads within 1.1x of orjson")))
    return out


def match_targets(case, results, add):
    """The matching generator's targets, for the cases it was run on: its
    default level against xdelta3, zstd -3 and diff; its highest level
    against xdelta3."""
    default = results.get("match-default")
    highest = results.get("match-%d" % max(peers.MATCH_LEVELS))
    if default is None:
        return
    name, size = case.name, len(case.new)

    def usable(r):
        return r is not None and "error" not in r

    def figure(r, text):
        return text if usable(r) else (r or {}).get("error", "not run")

    x, z3, diff = results.get("xdelta3"), results.get("zstd-3"), results.get("ostrel")
    for level in peers.MATCH_LEVELS[1:]:
        lower, higher = results.get("match-%d" % (level - 1)), results.get("match-%d" % level)
        if usable(lower) and usable(higher):
            add("match: level %d delta <= level %d's + 1%%" % (level, level - 1), name,
                "%d" % higher["delta_size"], "<= %d" % (lower["delta_size"] * 1.01),
                higher["delta_size"] <= lower["delta_size"] * 1.01)
    if usable(x):
        limit = x["delta_size"] * 1.5
        add("match default: delta <= 1.5x xdelta3", name,
            figure(default, "%.2fx" % (default.get("delta_size", 0) / max(x["delta_size"], 1))),
            "<= %d" % limit, usable(default) and default["delta_size"] <= limit)
        if case.group in ("binary", "synthetic"):
            limit = x["delta_size"] * 1.2
            add("match default: delta <= 1.2x xdelta3 (binary, synthetic)", name,
                figure(default, "%d" % default.get("delta_size", 0)), "<= %d" % limit,
                usable(default) and default["delta_size"] <= limit)
        if highest is not None:
            add("match highest: delta <= xdelta3", name,
                figure(highest, "%.2fx" % (highest.get("delta_size", 0) / max(x["delta_size"], 1))),
                "<= %d" % x["delta_size"],
                usable(highest) and highest["delta_size"] <= x["delta_size"])
        if usable(default) and size >= 100 * 1024:
            add("match default: diff time < xdelta3 / 5", name,
                "%s ms" % fmt_ms(default["diff_net"]), "< %s ms" % fmt_ms(x["diff_net"] / 5),
                default["diff_net"] < x["diff_net"] / 5)
    if usable(z3) and size >= 100 * 1024:
        add("match default: diff time <= zstd -3 (new >= 100 KiB)", name,
            figure(default, "%s ms" % fmt_ms(default.get("diff_net"))),
            "<= %s ms" % fmt_ms(z3["diff_net"]),
            usable(default) and default["diff_net"] <= z3["diff_net"])
    if usable(diff):
        if diff["delta_size"] > size / 10:
            add("match default: delta <= diff's / 3 (diff's > 10% of new)", name,
                figure(default, "%d vs %d" % (default.get("delta_size", 0), diff["delta_size"])),
                "<= %d" % (diff["delta_size"] / 3),
                usable(default) and default["delta_size"] * 3 <= diff["delta_size"])
        small = size <= 64 * 1024
        allowed = diff["delta_size"] if small else diff["delta_size"] * 1.02
        add("match default: delta <= diff's" + ("" if small else " + 2%"), name,
            figure(default, "%d vs %d" % (default.get("delta_size", 0), diff["delta_size"])),
            "<= %d" % allowed, usable(default) and default["delta_size"] <= allowed)


def floor_targets(case, results, floor, add):
    """Against the floor: the highest level equals it, in no more time than
    zstd -19 --patch-from (pairs up to 10 MB) and at most 48 bytes of peak
    memory per byte of old and new; level 5 within 1.1x of it and the
    default level within 1.25x."""
    if floor is None:
        return
    name = case.name
    highest = results.get("match-%d" % peers.FLOOR_LEVEL)
    ok = highest is not None and "error" not in highest
    why = "not run" if highest is None else highest.get("error", "")
    add("level 6 == floor", name, "%d" % highest["delta_size"] if ok else why, "%d" % floor,
        ok and highest["delta_size"] == floor)
    z19 = results.get("zstd-19")
    if len(case.old) + len(case.new) <= 10 ** 7 and z19 and "error" not in z19:
        add("level 6 time <= zstd -19 (pairs <= 10 MB)", name,
            "%s ms" % fmt_ms(highest["diff_net"]) if ok else why,
            "<= %s ms" % fmt_ms(z19["diff_net"]), ok and highest["diff_net"] <= z19["diff_net"])
    allowed = 48 * (len(case.old) + len(case.new))
    add("level 6 peak <= 48 B per byte of old and new", name,
        fmt_mib(highest["diff_peak"]) if ok else why, fmt_mib(allowed),
        ok and highest["diff_peak"] <= allowed)
    for tool, label, factor in (("match-5", "level 5", 1.1), ("match-default", "default level", 1.25)):
        r = results.get(tool)
        if r is None:
            continue
        fine = "error" not in r
        add("%s delta <= %.2fx floor" % (label, factor), name,
            "%.3fx" % (r["delta_size"] / max(floor, 1)) if fine else r["error"],
            "<= %d" % (floor * factor), fine and r["delta_size"] <= floor * factor)


# -- tables -------------------------------------------------------------------

def fmt_rate(v):
    return "-" if v is None else ("%.0f" % v if v >= 100 else "%.1f" % v)


def fmt_mib(v):
    return "-" if v is None else "%.1f MiB" % (v / MiB)


def fmt_ms(v):
    if v is None:
        return "-"
    if v <= 0:
        return "~0"
    ms = v * 1000
    return "%.0f" % ms if ms >= 100 else ("%.1f" % ms if ms >= 1 else "%.3f" % ms)


def table(title, header, rows, align=None):
    """Text table; `align` has an "l" or "r" per column (default: the first
    column left, the others right)."""
    widths = [max(len(str(x)) for x in column) for column in zip(header, *rows)]
    align = align or "l" + "r" * (len(header) - 1)

    def line(cells):
        return "  ".join(str(x).ljust(w) if a == "l" else str(x).rjust(w)
                         for x, w, a in zip(cells, widths, align)).rstrip()
    return "\n".join(["", title, line(header), line(["-" * w for w in widths])]
                     + [line(r) for r in rows])


def cell(report, key, fmt):
    if not report:
        return "n/a"
    if "error" in report:
        return "FAIL" if not report["error"].startswith("timeout") else report["error"]
    return fmt(report.get(key))


def floor_table(cases, delta_rows, tools):
    """Every tool's delta size as a multiple of the floor."""
    rows = []
    for case, row in zip(cases, delta_rows):
        floor = row["floor"]
        line = [case.name, "-" if floor is None else str(floor)]
        for t in tools:
            r = row["results"].get(t)
            line.append(cell(r, "delta_size", lambda v: "-" if floor is None
                             else "%.3fx" % (v / max(floor, 1))))
        rows.append(line)
    return table("delta size as a multiple of the floor (the smallest delta our format can "
                 "express; level 6 gives it)", ["case", "floor B"] + tools, rows)


def delta_tables(cases, delta_rows, tools):
    heads = ["case"] + tools
    out = [floor_table(cases, delta_rows, tools)]

    def per_tool(title, key, fmt, only=None):
        rows = []
        for case, row in zip(cases, delta_rows):
            rows.append([case.name] + [
                cell(row["results"].get(t), key, fmt) if (only is None or t in only) else ""
                for t in tools])
        out.append(table(title, heads, rows))

    per_tool("delta size (bytes)", "delta_size", str)
    per_tool("diff time (ms; process tools: start-up subtracted)", "diff_net", fmt_ms)
    per_tool("diff throughput (MB/s of new value)", "diff_mb_s", fmt_rate)
    per_tool("patch time (ms; process tools: start-up subtracted)", "patch_net", fmt_ms)
    per_tool("patch throughput (MB/s of new value)", "patch_mb_s", fmt_rate)
    per_tool("diff peak memory (MiB above inputs; process tools: above start-up)",
             "diff_peak", lambda v: "%.1f" % (v / MiB))
    per_tool("patch peak memory (MiB; as above)", "patch_peak", lambda v: "%.1f" % (v / MiB))

    ours = [t for t in tools if t == "ostrel" or t.startswith("match-")]
    rows = []
    for case, row in zip(cases, delta_rows):
        r = row["results"]
        x = r.get("xdelta3", {})
        line = [case.name]
        for t in ours:
            mine = r.get(t)
            ratio = ("%.2fx" % (mine["delta_size"] / x["delta_size"])
                     if mine and "error" not in mine and x and "error" not in x
                     and x["delta_size"] else "")
            line.append(cell(mine, "delta_size", str) + (" " + ratio if ratio else ""))
        line.append(cell(x, "delta_size", str))
        rows.append(line)
    out.append(table("our deltas per level against xdelta3 -9 -S none -N (bytes, ratio)",
                     heads[:1] + ours + ["xdelta3"], rows))

    rows = []
    for case, row in zip(cases, delta_rows):
        r = row["results"]
        rows.append([case.name] + [cell(r.get(t), "delta_zstd19", lambda v: "-" if v is None else str(v)) for t in ours]
                    + [cell(r.get("zstd-19"), "delta_size", str)])
    out.append(table("stored compressed: zstd -19 of our delta, beside zstd -19 --patch-from (bytes)",
                     heads[:1] + ours + ["zstd-19"], rows))

    procs = [t for t in tools if t in peers.PROCESSES]
    rows = []
    for case, row in zip(cases, delta_rows):
        line = [case.name]
        for t in procs:
            r = row["results"].get(t)
            if r and "error" not in r:
                line += [fmt_ms(statistics.median(r["diff_times"])),
                         fmt_ms(statistics.median(r["patch_times"])),
                         "%.1f" % (r["diff_peak_raw"] / MiB)]
            else:
                line += [cell(r, "", str)] * 3
        rows.append(line)
    out.append(table("process tools, raw (diff ms / patch ms / diff peak RSS MiB)",
                     ["case"] + ["%s %s" % (t, k) for t in procs for k in ("diff", "patch", "MiB")],
                     rows))
    return "\n".join(out)


def speed_ratio(peer, ours):
    """Peer time over our time, as a table cell; "-" where either is missing."""
    if "seconds" not in peer or "seconds" not in ours:
        return "-"
    return "%.2fx" % (peer["seconds"] / ours["seconds"])


def cbor_tables(cbor_rows):
    names = [n for n, _, _ in cbor_bench.encoders()]
    rows = []
    for row in cbor_rows:
        r = row["results"]
        rows.append([row["input"]] + [cell(r.get(n), "mb_per_s", fmt_rate) for n in names])
    out = [table("CBOR/JSON encoding throughput (MB/s of each encoder's own output)",
                 ["input"] + names, rows)]
    rows = []
    for row in cbor_rows:
        r = row["results"]
        ours = r.get("ostrel", {})
        line = [row["input"], cell(ours, "size", str),
                cell(r.get("cbor2"), "size", str), cell(r.get("orjson"), "size", str)]
        for peer in ("cbor2", "orjson"):
            line.append(speed_ratio(r.get(peer, {}), ours))
        line.append(fmt_ms(ours.get("seconds")))
        rows.append(line)
    out.append(table("dumps: sizes and speed ratios (peer time / our time; > 1: ours faster)",
                     ["input", "ostrel B", "cbor2 B", "orjson B", "vs cbor2", "vs orjson",
                      "ostrel ms"], rows))
    rows = []
    for row in cbor_rows:
        r = row["results"]
        ours = r.get("ostrel-encode", {})
        rows.append([row["input"], cell(ours, "size", str)]
                    + [speed_ratio(r.get(peer, {}), ours) for peer in ("cbor2", "orjson", "ostrel")]
                    + [fmt_ms(ours.get("seconds"))])
    out.append(table("encode: sizes and speed ratios (peer time / our time; > 1: ours faster)",
                     ["input", "encode B", "vs cbor2", "vs orjson", "vs dumps", "encode ms"], rows))
    names = [n for n, _, _, _ in cbor_bench.decoders()]
    rows = [[row["input"]] + [cell(row.get("decoding", {}).get(n), "mb_per_s", fmt_rate)
                              for n in names] for row in cbor_rows]
    out.append(table("CBOR/JSON decoding throughput (MB/s of each decoder's input)",
                     ["input"] + names, rows))
    rows = []
    for row in cbor_rows:
        r = row.get("decoding", {})
        ours = r.get("ostrel", {})
        line = [row["input"]]
        for peer in ("cbor2", "msgpack", "json", "orjson"):
            line.append(speed_ratio(r.get(peer, {}), ours))
        line.append(fmt_ms(ours.get("seconds")))
        rows.append(line)
    out.append(table("loads: speed ratios (peer time / our time; > 1: ours faster)",
                     ["input", "vs cbor2", "vs msgpack", "vs json", "vs orjson", "ostrel ms"],
                     rows))
    return "\n".join(out)


def target_table(found):
    rows = [[t["target"], t["case"], t["measured"], t["required"],
             "met" if t["met"] else "NOT MET"] for t in found]
    met = sum(t["met"] for t in found)
    return table("targets (information only; %d of %d met)" % (met, len(found)),
                 ["target", "case", "measured", "required", ""], rows, align="llrrl")


def corpus_table(cases, root):
    def short(source):
        return os.path.relpath(source, root) if source.startswith(root + os.sep) else source
    rows = [[c.name, c.group, len(c.old), len(c.new),
             " -> ".join(short(s) for s in c.sources)] for c in cases]
    return table("corpus (paths under %s)" % root, ["case", "group", "old B", "new B", "sources"],
                 rows, align="llrrl")


def failures(cases, delta_rows, cbor_rows):
    lines = ["%s, %s: %s" % (case.name, tool, r["error"])
             for case, row in zip(cases, delta_rows)
             for tool, r in row["results"].items() if "error" in r]
    lines += ["%s, %s: %s" % (row["input"], name, r["error"])
              for row in cbor_rows for name, r in row["results"].items() if "error" in r]
    lines += ["%s, %s (decoding): %s" % (row["input"], name, r["error"])
              for row in cbor_rows for name, r in row.get("decoding", {}).items() if "error" in r]
    return "\nfailures:\n" + "\n".join("- " + x for x in lines) if lines else ""


# -- main ---------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="a short run: fewer and smaller cases, fewer repetitions")
    parser.add_argument("--cbor", action="store_true",
                        help="run the CBOR section only")
    parser.add_argument("--time-limit", type=float, default=None,
                        help="seconds one tool may take on one case before it is stopped "
                             "and reported as a timeout (default 60, quick 20; 0: none)")
    args = parser.parse_args(argv)
    limit = args.time_limit if args.time_limit is not None else (20 if args.quick else 60)
    if not os.path.exists(measure.TIME):
        sys.exit("bench: %s is needed (Debian package 'time'); bench/run.sh installs it"
                 % measure.TIME)

    started = time.time()
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    budget, max_runs = schedule(args.quick)
    meta = {"timestamp": stamp, "quick": args.quick, "time_limit_s": limit,
            "machine": machine(), "versions": versions(), "notes": NOTES}
    if "ostrel" not in [t.name for t in measure.in_process_tools()]:
        print("bench: ostrel_core is not importable; measuring the peers only", flush=True)

    if args.cbor:
        return cbor_only(args, meta, started, stamp)
    cases = corpus.build(args.quick)
    print(corpus_table(cases, os.path.join(corpus.pyenv_root(), "versions")), flush=True)
    tools = [t for t in peers.ORDER
             if t in [x.name for x in measure.in_process_tools() + measure.process_tools()]]

    # Stopped from outside, still remove the scratch files.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench: stopped"))
    scratch_root = "/dev/shm" if os.path.isdir("/dev/shm") else None
    work = tempfile.mkdtemp(prefix="ostrel-bench-", dir=scratch_root)
    try:
        startup = {t.name: measure.startup(t, os.path.join(work, "startup", t.name),
                                           5 if args.quick else 11)
                   for t in measure.process_tools()}
        meta["process_startup"] = startup
        meta["zstd_dict_check"] = zstd_dict_check()
        print("\nstart-up (subtracted from process tools): " + ", ".join(
            "%s %.1f/%.1f ms" % (k, v["diff_time"] * 1e3, v["patch_time"] * 1e3)
            for k, v in startup.items()), flush=True)

        delta_rows = []
        print("\nrunning %d delta cases x %d tools (time limit %g s per tool and case)"
              % (len(cases), len(tools), limit), flush=True)
        for i, case in enumerate(cases):
            t0 = time.time()
            results, floor = run_case(case, os.path.join(work, "case%d" % i), startup, budget,
                                      max_runs, limit)
            row = {"case": case.describe(), "results": results, "floor": floor}
            row["changed_fraction"] = changed_fraction(case, results)
            delta_rows.append(row)
            errors = ["%s: %s" % (k, v["error"]) for k, v in results.items() if "error" in v]
            print("  [%d/%d] %s: %.1f s%s" % (i + 1, len(cases), case.name, time.time() - t0,
                                              "; " + "; ".join(errors) if errors else ""),
                  flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("\nrunning the CBOR section (encoding and decoding): %s" % cbor_bench.peers_that_ran(),
          flush=True)
    cbor_rows = cbor_bench.run(args.quick)
    found = targets(cases, delta_rows, cbor_rows)
    meta["duration_s"] = time.time() - started
    meta["machine"]["load_average_end"] = os.getloadavg()

    results_dir = os.path.join(HERE, "results")
    os.makedirs(results_dir, exist_ok=True)
    document = {"meta": meta, "delta": delta_rows, "cbor": cbor_rows, "targets": found}
    for name in (stamp + ".json", "latest.json"):
        with open(os.path.join(results_dir, name), "w") as f:
            json.dump(document, f, indent=1)

    print(delta_tables(cases, delta_rows, tools))
    print(cbor_tables(cbor_rows))
    print(target_table(found))
    print(failures(cases, delta_rows, cbor_rows))
    print("\nnotes:\n" + "\n".join("- " + n for n in NOTES))
    print("- cbor2: %s; zstandard dictionary check: %s"
          % (meta["versions"]["cbor2 backend"], meta["zstd_dict_check"]))
    print("- load average at start %s, at end %s; run took %.0f s"
          % (tuple(round(x, 2) for x in meta["machine"]["load_average"]),
             tuple(round(x, 2) for x in meta["machine"]["load_average_end"]),
             meta["duration_s"]))
    print("\nwritten: %s and latest.json" % os.path.join(results_dir, stamp + ".json"))


def cbor_only(args, meta, started, stamp):
    """The CBOR section alone: its tables and targets, written to
    results/cbor-STAMP.json."""
    print("running the CBOR section (encoding and decoding): %s" % cbor_bench.peers_that_ran(),
          flush=True)
    cbor_rows = cbor_bench.run(args.quick)
    found = targets([], [], cbor_rows)
    meta["duration_s"] = time.time() - started
    meta["machine"]["load_average_end"] = os.getloadavg()
    results_dir = os.path.join(HERE, "results")
    os.makedirs(results_dir, exist_ok=True)
    path = os.path.join(results_dir, "cbor-%s.json" % stamp)
    with open(path, "w") as f:
        json.dump({"meta": meta, "cbor": cbor_rows, "targets": found}, f, indent=1)
    print(cbor_tables(cbor_rows))
    print(target_table(found))
    print(failures([], [], cbor_rows))
    print("- load average at start %s, at end %s; run took %.0f s"
          % (tuple(round(x, 2) for x in meta["machine"]["load_average"]),
             tuple(round(x, 2) for x in meta["machine"]["load_average_end"]),
             meta["duration_s"]))
    print("\nwritten: %s" % path)


if __name__ == "__main__":
    main()
