"""Running the tools: in-process tools in a worker process per case, command
line tools under /usr/bin/time, and the start-up cost of each command."""

import json
import os
import signal
import subprocess
import sys
import time

import peers
import worker

HERE = os.path.dirname(os.path.abspath(__file__))
TIME = "/usr/bin/time"


class Failed(Exception):
    """A tool that crashed, exited with an error, produced a wrong value or
    ran past the time limit: reported in its table cell."""


def _run_group(argv, limit):
    """Runs argv in a process group of its own; on timeout the whole group is
    killed, so no grandchild outlives it. Returns (seconds, stdout, stderr,
    returncode)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=limit or None)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise Failed("timeout > %g s" % limit)
    return time.perf_counter() - start, out, err, proc.returncode


def run_worker(tool, old_path, new_path, budget, max_runs, limit):
    argv = [sys.executable, os.path.join(HERE, "worker.py"), tool, old_path, new_path,
            str(budget), str(max_runs)]
    _, out, err, code = _run_group(argv, limit)
    if code != 0:
        reason = "killed by signal %d" % -code if code < 0 else "exit %d" % code
        raise Failed("%s: %s" % (reason, err.decode(errors="replace").strip()[-200:]))
    report = json.loads(out)
    if "error" in report:
        raise Failed(report["error"])
    if not report.get("ok", True):  # the floor's report has no patch to check
        raise Failed("patch output differs from the new value")
    return report


def run_timed(argv, limit, scratch):
    """One run of a command under /usr/bin/time: (seconds, peak RSS bytes).
    /usr/bin/time forks the tool itself, so the peak is the tool's own and not
    inflated by this (large) process, as a direct child's would be."""
    memfile = os.path.join(scratch, "rusage")
    seconds, _, err, code = _run_group([TIME, "-f", "%M", "-o", memfile] + argv, limit)
    if code != 0:
        raise Failed("%s exit %d: %s" % (argv[0], code,
                                         err.decode(errors="replace").strip()[-200:]))
    with open(memfile) as f:
        peak_kib = int(f.read().split()[-1])
    return seconds, peak_kib * 1024


def timed_runs(argv, limit, scratch, budget, max_runs):
    """Times of repeated runs (as worker.repeat counts them) and the first
    run's peak RSS."""
    first, peak = run_timed(argv, limit, scratch)
    times = worker.repeat(lambda: run_timed(argv, limit, scratch), first, budget, max_runs)
    return times, peak


def run_process(tool, case_dir, old_size, new_size, new_value, budget, max_runs, limit):
    old, new = os.path.join(case_dir, "old"), os.path.join(case_dir, "new")
    delta_path = os.path.join(case_dir, tool.name + ".delta")
    out = os.path.join(case_dir, tool.name + ".out")
    diff_times, diff_peak = timed_runs(tool.diff_cmd(old, new, delta_path, old_size, new_size),
                                       limit, case_dir, budget, max_runs)
    delta_size = os.path.getsize(delta_path)
    patch_times, patch_peak = timed_runs(
        tool.patch_cmd(old, delta_path, out, old_size, new_size), limit, case_dir, budget,
        max_runs)
    with open(out, "rb") as f:
        ok = f.read() == new_value
    os.remove(out)
    os.remove(delta_path)
    if not ok:
        raise Failed("patch output differs from the new value")
    return {"delta_size": delta_size, "diff_times": diff_times, "patch_times": patch_times,
            "diff_peak": diff_peak, "patch_peak": patch_peak}


def startup(tool, scratch, runs):
    """The cost of starting a command, which the start-up-subtracted figures
    take away: its least time and peak RSS over several runs on one-byte
    inputs (empty ones are refused by some of the tools). The least, because
    noise only ever adds to a run."""
    os.makedirs(scratch, exist_ok=True)
    old, new = os.path.join(scratch, "a"), os.path.join(scratch, "b")
    delta_path, out = os.path.join(scratch, "d"), os.path.join(scratch, "o")
    for path, content in ((old, b"a"), (new, b"b")):
        with open(path, "wb") as f:
            f.write(content)
    diffs, patches = [], []
    for _ in range(runs):
        diffs.append(run_timed(tool.diff_cmd(old, new, delta_path, 1, 1), 30, scratch))
        patches.append(run_timed(tool.patch_cmd(old, delta_path, out, 1, 1), 30, scratch))
    return {"diff_time": min(t for t, _ in diffs), "patch_time": min(t for t, _ in patches),
            "diff_peak": min(m for _, m in diffs), "patch_peak": min(m for _, m in patches)}


def write_case(case, directory):
    os.makedirs(directory, exist_ok=True)
    for name, value in (("old", case.old), ("new", case.new)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(value)


def in_process_tools():
    return [t for t in peers.IN_PROCESS.values() if t.available()]


def process_tools():
    return [t for t in peers.PROCESSES.values() if t.available()]
