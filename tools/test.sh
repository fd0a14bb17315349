#!/usr/bin/env bash
# Runs every test: the core suite 64-bit, 32-bit and under AddressSanitizer
# with UndefinedBehaviorSanitizer, a short run of every fuzz target, then
# the Python suite against the module built by `pip install .` in a virtual
# environment of each CPython in OSTREL_PYTHONS (default "3.9 3.12 3.13";
# any of 3.9 to 3.13), and on 3.12 the benchmark suite's own tests (its
# machinery, not timings).
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

echo "== fuzz targets (short runs, sanitized)"
bash "$ROOT/tools/fuzz.sh" "${OSTREL_FUZZ_SECONDS:-30}"

cd "$ROOT"
for version in ${OSTREL_PYTHONS:-3.9 3.12 3.13}; do
  echo "== python tests (CPython $version)"
  make_venv "$version"
  "$(venv_of "$version")/bin/python" -m pytest tests/python -q
  if [ "$version" = 3.12 ]; then
    echo "== benchmark suite's own tests (CPython 3.12)"
    "$VENV/bin/python" -m pip install -q -r bench/requirements.txt
    "$VENV/bin/python" -m pytest bench/test_bench.py -q
  fi
done
