"""Checked deltas: what the check record costs and what it catches.

    .venv/bin/python bench/check.py [--quick] [--faults N]

Prints:
  1. on every benchmark case of 1 MiB or more: the record's size (target at
     most 48 bytes), compute(check=True) against compute() (target 1.1x or
     less) and apply of the checked delta against apply of the plain one
     (target 1.5x or less), best of alternating runs in one process, beside
     the floor of any check of both values: XXH3-64 of old and new (the
     xxhash package, which picks the CPU's widest vectors);
  2. fault figures: thousands of random corruptions (a bit flipped, a byte
     changed, the delta cut at any point) of checked deltas of random and
     real pairs, applied with check=True and by default: how many were
     refused, gave the new value, or gave wrong bytes without an error
     (target 0 with check=True).
Nothing here fails on a figure; the targets are printed as met or not.
"""

import argparse
import os
import random
import sys
import time

from ostrel_core import delta

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

try:
    import xxhash
except ImportError:  # the digest column is left out
    xxhash = None

MiB = 1 << 20


def best_of(calls, rounds):
    """Best time of each call over rounds, the calls alternating so that
    moments when other work holds a core count against all of them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def verdict(met):
    return "met" if met else "NOT met"


def overheads(cases, rounds):
    print("== cost of the check record (best of %d alternating runs; ms)" % rounds)
    print(f"{'case':<34}{'record':>7}{'compute':>10}{'checked':>10}{'ratio':>7}"
          f"{'apply':>9}{'checked':>10}{'ratio':>7}{'xxh3 old+new':>14}")
    worst_compute = worst_apply = 0.0
    largest_record = 0
    for case in cases:
        old, new = case.old, case.new
        plain, checked = delta.compute(old, new), delta.compute(old, new, check=True)
        assert delta.apply(old, checked) == new and delta.apply(old, plain) == new
        record = delta.check_record(checked)["size"]
        compute_plain, compute_checked = best_of(
            [lambda: delta.compute(old, new), lambda: delta.compute(old, new, check=True)], rounds)
        apply_plain, apply_checked = best_of(
            [lambda: delta.apply(old, plain), lambda: delta.apply(old, checked)], rounds * 3)
        digests = "" if xxhash is None else "%14.2f" % (1e3 * sum(best_of(
            [lambda: xxhash.xxh3_64_intdigest(old), lambda: xxhash.xxh3_64_intdigest(new)], rounds * 3)))
        c_ratio, a_ratio = compute_checked / compute_plain, apply_checked / apply_plain
        worst_compute, worst_apply = max(worst_compute, c_ratio), max(worst_apply, a_ratio)
        largest_record = max(largest_record, record)
        print(f"{case.name[:33]:<34}{record:>7}{compute_plain * 1e3:>10.2f}{compute_checked * 1e3:>10.2f}"
              f"{c_ratio:>7.3f}{apply_plain * 1e3:>9.2f}{apply_checked * 1e3:>10.2f}{a_ratio:>7.3f}{digests}")
    print(f"record at most 48 bytes: largest {largest_record}: {verdict(largest_record <= 48)}")
    print(f"compute(check=True) at most 1.1x compute(): worst {worst_compute:.3f}: {verdict(worst_compute <= 1.1)}")
    print(f"checked apply at most 1.5x plain apply: worst {worst_apply:.3f}: {verdict(worst_apply <= 1.5)}")


def fault_pairs(cases):
    rng = random.Random(29)
    pairs = []
    for size in (0, 1, 2, 40, 300, 5000, 60000):
        old = rng.randbytes(size)
        new = bytearray(old)
        for _ in range(rng.randrange(1, 6)):
            at = rng.randrange(len(new) + 1)
            new[at:at + rng.randrange(40)] = rng.randbytes(rng.randrange(40))
        pairs.append((f"random {size} B", old, bytes(new)))
    pairs.append(("identical 4 KiB", old := rng.randbytes(4096), bytes(old)))
    pairs += [(case.name, case.old, case.new) for case in cases if len(case.old) + len(case.new) < 4 * MiB]
    return pairs


def corrupt(rng, data, kind):
    at = rng.randrange(len(data))
    if kind == "bit flip":
        return data[:at] + bytes([data[at] ^ 1 << rng.randrange(8)]) + data[at + 1:]
    if kind == "changed byte":
        return data[:at] + bytes([(data[at] + rng.randrange(1, 256)) % 256]) + data[at + 1:]
    return data[:at]  # cut: 0 to len - 1 bytes kept


def faults(cases, count):
    pairs = fault_pairs(cases)
    kinds = ("bit flip", "changed byte", "cut")
    rng = random.Random(31)
    tally = {(mode, kind): [0, 0, 0] for mode in ("check=True", "default") for kind in kinds}
    empty_cuts = 0
    for i in range(count):
        name, old, new = pairs[i % len(pairs)]
        level = 1 + i // len(pairs) % 5
        method = dict(method="myers") if i % 7 == 0 else dict(level=level)
        checked = delta.compute(old, new, check=True, **method)
        kind = kinds[i % 3]
        bad = corrupt(rng, checked, kind)
        empty_cuts += bad == b""
        for mode, check in (("check=True", True), ("default", None)):
            try:
                outcome = 1 if delta.apply(old, bad, check=check) == new else 2
            except ValueError:
                outcome = 0
            tally[mode, kind][outcome] += 1
    print(f"\n== fault figures: {count} corruptions of checked deltas of {len(pairs)} random and real pairs")
    print(f"{'mode':<12}{'corruption':<14}{'refused':>9}{'new value':>11}{'WRONG':>7}")
    for (mode, kind), (refused, right, wrong) in tally.items():
        print(f"{mode:<12}{kind:<14}{refused:>9}{right:>11}{wrong:>7}")
    wrong_strict = sum(tally["check=True", kind][2] for kind in kinds)
    wrong_default = sum(tally["default", kind][2] for kind in kinds)
    print(f"wrong values returned with check=True: {wrong_strict} (target 0): {verdict(wrong_strict == 0)}")
    print(f"wrong values returned by default: {wrong_default}, of which {empty_cuts} deltas cut to nothing "
          "(the empty delta, which builds the empty value)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="4 MiB synthetic cases, fewer runs")
    parser.add_argument("--faults", type=int, default=None, help="corruptions to try (default 6000, quick 2000)")
    args = parser.parse_args()
    cases = corpus.build(quick=args.quick)
    large = [case for case in cases if max(len(case.old), len(case.new)) >= MiB]
    overheads(large, 3 if args.quick else 5)
    faults(cases, args.faults or (2000 if args.quick else 6000))


if __name__ == "__main__":
    main()
