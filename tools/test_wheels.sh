#!/usr/bin/env bash
# What users install: each wheel in dist/ (tools/wheels.sh) goes into a fresh
# virtual environment of its CPython with `pip install --no-index --no-deps`,
# and the Python suite runs against it with no compiler on PATH. The
# suite's own dependencies come from tests/python/requirements.txt first.
#
#   bash tools/test_wheels.sh [WHEEL...]
set -euo pipefail
source "$(dirname "$0")/common.sh"

wheels=("$@")
((${#wheels[@]})) || wheels=("$ROOT"/dist/*.whl)
work="$ROOT/build/wheel-test"
for wheel in "${wheels[@]}"; do
  tag="$(basename "$wheel" | cut -d- -f3)"  # cp39, cp313, ...
  version="3.${tag#cp3}"
  venv="$work/$version"
  echo "== $(basename "$wheel") in a fresh CPython $version environment"
  rm -rf "$venv"
  "$(python_of "$version")" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$ROOT/tests/python/requirements.txt"
  "$venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"
  # PATH holds the environment and nm (which a test reads exports with), nothing else.
  tools="$work/path-$version"
  rm -rf "$tools" && mkdir -p "$tools" && ln -s "$(command -v nm)" "$tools/nm"
  for compiler in cc gcc g++ c++ clang clang++; do
    if PATH="$venv/bin:$tools" command -v "$compiler" >/dev/null; then
      echo "a compiler is on the test PATH: $compiler" >&2
      exit 1
    fi
  done
  (cd "$ROOT" && PATH="$venv/bin:$tools" "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider)
done
