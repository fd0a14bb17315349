#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build/fuzz, then runs each target for
# SECONDS (default 30) on a scratch copy of its seed corpus and regression
# inputs. Fails on any crash, leak, undefined behaviour, time-out or
# memory blow-up; the input that caused it is left in build/fuzz/artifacts.
#
#   bash tools/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds="${1:-30}"
shift || true
targets=("$@")
((${#targets[@]})) ||
  read -ra targets <<<"$(sed -n 's/^set(OSTREL_FUZZ_TARGETS \(.*\))$/\1/p' "$ROOT/fuzz/targets.cmake")"

build="$ROOT/build/fuzz"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$ROOT/fuzz" -B "$build" "${generator[@]}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 >/dev/null

failed=()
for target in "${targets[@]}"; do
  work="$build/work/$target"
  artifacts="$build/artifacts/$target"
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp "$ROOT/fuzz/corpus/$target/"* "$work/"
  if [ -d "$ROOT/fuzz/regressions/$target" ]; then
    cp "$ROOT/fuzz/regressions/$target/"* "$work/" 2>/dev/null || true
  fi
  # The diff targets run a search per input: shorter inputs, more runs.
  case "$target" in
    delta_roundtrip | myers_limits) max_len=2048 ;;
    *) max_len=4096 ;;
  esac
  log="$build/$target.log"
  echo "== fuzz $target (${seconds}s)"
  # -close_fd_mask=2 silences the parser's messages about unimplemented
  # codes; libFuzzer and the sanitizers still report on their own stream.
  if "$build/${target}_fuzz" "$work" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
      -close_fd_mask=2 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    { grep -E '^#[0-9]+.*cov:' "$log" | tail -1; grep -E '^Done [0-9]+ runs' "$log"; } || true
  else
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" || tail -20 "$log"
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]} (logs in $build, inputs in $build/artifacts)" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets clean"
