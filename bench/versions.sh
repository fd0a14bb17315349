#!/usr/bin/env bash
# bench/versions.py on the interpreters named (default 3.9 3.12 3.13): makes
# or reuses each one's virtual environment with the module built from this
# tree, then compares them in one run.
#
#   bash bench/versions.sh [3.X ...]
set -euo pipefail
source "$(dirname "$0")/../tools/common.sh"

versions=("$@")
((${#versions[@]})) || versions=(3.9 3.12 3.13)
interpreters=()
for version in "${versions[@]}"; do
  make_venv "$version"
  interpreters+=("$version=$(venv_of "$version")/bin/python")
done
exec "$VENV/bin/python" "$ROOT/bench/versions.py" "${interpreters[@]}"
