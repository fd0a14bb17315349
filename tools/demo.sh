#!/usr/bin/env bash
# The main job: the ostrel command of the project's virtual environment
# diffs two releases of the same module of Python's standard library
# (pyenv keeps them side by side), patches the old file with the delta and
# checks that the result is the new file, then shows the delta refused by a
# copy of the old file with one byte added.
#
#   bash tools/demo.sh [OLD NEW]
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/tools/deps.sh"
make_venv

old="${1:-$(ls -d "$PYENV_ROOT"/versions/3.11.*/lib/python3.11/argparse.py | sort -V | tail -1)}"
new="${2:-$(ls -d "$PYENV_ROOT"/versions/3.12.*/lib/python3.12/argparse.py | sort -V | tail -1)}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ostrel="$VENV/bin/ostrel"
echo "== ostrel diff"
"$ostrel" diff "$old" "$new" -o "$work/delta" --stats
echo "== ostrel inspect (totals)"
"$ostrel" inspect "$work/delta" | tail -4
echo "== ostrel patch"
"$ostrel" patch "$old" "$work/delta" -o "$work/new" --stats
if cmp -s "$work/new" "$new"; then
  echo "verified: the patched old file is byte for byte the new file"
else
  echo "FAILED: the patched old file differs from $new" >&2
  exit 1
fi
echo "== ostrel patch of the old file with one byte added (the delta's check record refuses it)"
cp "$old" "$work/stale"
printf '\n' >>"$work/stale"
if "$ostrel" patch "$work/stale" "$work/delta" -o "$work/wrong"; then
  echo "FAILED: a delta applied to the wrong old file was accepted" >&2
  exit 1
fi
[ ! -e "$work/wrong" ] && echo "refused, and no output file was written"
