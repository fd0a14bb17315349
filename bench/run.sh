#!/usr/bin/env bash
# The benchmark suite in one command, on a fresh machine too: installs the
# command-line peers and /usr/bin/time if missing, makes or reuses the
# project's virtual environment with the module built from this tree and the
# Python peers, fetches the pinned wheels two cases are made of, runs
# bench/run.py with the arguments given (--quick for a short run) and draws
# its delta sizes against times into bench/results/latest.png.
set -euo pipefail
source "$(dirname "$0")/../tools/common.sh"
"$ROOT/tools/deps.sh" xdelta3 bsdiff zstd time

make_venv
"$VENV/bin/python" -m pip install -q -r "$ROOT/bench/requirements.txt"
"$VENV/bin/python" "$ROOT/bench/corpus.py" --fetch
"$VENV/bin/python" "$ROOT/bench/run.py" "$@"
"$VENV/bin/python" "$ROOT/bench/plot.py"
