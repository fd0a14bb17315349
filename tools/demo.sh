#!/usr/bin/env bash
# The main job, native: diffs two releases of the same module of Python's
# standard library (pyenv keeps them side by side), applies the delta and
# checks the rebuilt file.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/tools/deps.sh"

old="${1:-$(ls -d "$PYENV_ROOT"/versions/3.11.*/lib/python3.11/argparse.py | tail -1)}"
new="${2:-$(ls -d "$PYENV_ROOT"/versions/3.12.*/lib/python3.12/argparse.py | tail -1)}"
configure dev
cmake --build "$ROOT/build/dev" --target ostrel_demo -j "$(nproc)" >/dev/null
"$ROOT/build/dev/tools/native/ostrel_demo" "$old" "$new"
