"""Delta size against diff time, per case, for every level of the matching
generator and every peer of one benchmark run (log scales).

    python bench/plot.py [RESULTS_JSON] [-o PNG]

Reads bench/results/latest.json by default and writes the picture beside
it (latest.json -> latest.png).
"""

import argparse
import json
import math
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS = {  # name in the results: (label, marker, colour)
    "ostrel": ("diff (search)", "s", "tab:purple"),
    "xdelta3": ("xdelta3 -9", "^", "tab:green"),
    "zstd-3": ("zstd -3 --patch-from", "v", "tab:orange"),
    "zstd-19": ("zstd -19 --patch-from", "D", "tab:brown"),
    "zstd-dict-3": ("zstandard dict -3", "<", "tab:olive"),
    "zstd-dict-19": ("zstandard dict -19", ">", "tab:cyan"),
    "bsdiff": ("bsdiff", "x", "tab:gray"),
    "bsdiff4": ("bsdiff4", "+", "black"),
}
SMALLEST_TIME = 1e-5  # times below 10 us (start-up noise of process tools) are drawn here


def point(report):
    if not report or "error" in report or report.get("diff_net") is None:
        return None
    return max(report["diff_net"], SMALLEST_TIME), max(report["delta_size"], 1)


def draw(document, path):
    rows = [r for r in document["delta"] if r["case"]["new_size"] >= 100 * 1024]
    columns = 4
    lines = math.ceil(len(rows) / columns)
    figure, axes = plt.subplots(lines, columns, figsize=(4.2 * columns, 3.4 * lines), squeeze=False)
    handles = {}
    for ax, row in zip(axes.flat, rows):
        results = row["results"]
        levels = sorted((int(name.split("-")[1]), point(r)) for name, r in results.items()
                        if name.startswith("match-") and name != "match-default" and point(r))
        if levels:
            xs, ys = zip(*(p for _, p in levels))
            (handles["levels"],) = ax.plot(xs, ys, "o-", color="tab:blue", label="match, levels 1 to 5")
            for level, (x, y) in levels:
                ax.annotate(str(level), (x, y), textcoords="offset points", xytext=(4, 4), fontsize=8,
                            color="tab:blue")
        default = point(results.get("match-default"))
        if default:
            handles["default"] = ax.scatter(*default, s=140, facecolors="none", edgecolors="tab:red",
                                            linewidths=1.5, label="match, default level", zorder=3)
        for name, (label, marker, colour) in PEERS.items():
            p = point(results.get(name))
            if p:
                handles[name] = ax.scatter(*p, marker=marker, color=colour, label=label, zorder=2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title("%s (%.1f MB)" % (row["case"]["name"], row["case"]["new_size"] / 1e6), fontsize=9)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", alpha=0.3)
    for ax in axes.flat[len(rows):]:
        ax.axis("off")
    for ax in axes[:, 0]:
        ax.set_ylabel("delta bytes", fontsize=8)
    for ax in axes[-1, :]:
        ax.set_xlabel("diff seconds", fontsize=8)
    figure.legend(handles=list(handles.values()), loc="lower center", ncol=min(len(handles), 5), fontsize=8,
                  frameon=False)
    figure.suptitle("Delta size against diff time (log scales; lower left is better), run %s"
                    % document["meta"]["timestamp"], fontsize=11)
    figure.tight_layout(rect=(0, 0.05, 1, 0.97))
    figure.savefig(path, dpi=90)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="?", default=os.path.join(HERE, "results", "latest.json"))
    parser.add_argument("-o", "--output", help="the PNG to write (default: beside the results)")
    args = parser.parse_args()
    with open(args.results) as f:
        document = json.load(f)
    output = args.output or os.path.splitext(args.results)[0] + ".png"
    draw(document, output)
    print("drawn: %s" % output)


if __name__ == "__main__":
    main()
