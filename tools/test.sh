#!/usr/bin/env bash
# Runs every test: the core suite 64-bit, 32-bit and under AddressSanitizer
# with UndefinedBehaviorSanitizer, then the Python suite against the module
# built by `pip install .` in the project's virtual environment.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/tools/deps.sh"

jobs=$(nproc)
for preset in dev m32 asan; do
  echo "== core tests ($preset)"
  configure "$preset"
  cmake --build "$ROOT/build/$preset" -j "$jobs"
  ctest --test-dir "$ROOT/build/$preset" -j "$jobs" --output-on-failure
done

echo "== python tests"
make_venv
cd "$ROOT"
"$VENV/bin/python" -m pytest tests/python -q
