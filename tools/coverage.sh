#!/usr/bin/env bash
# Line and branch coverage of the core (src/main/core) by the core test
# suite and the fuzz replays: builds them with clang's source-based
# coverage into build/coverage, runs ctest, and prints llvm-cov's report
# per core file. An annotated HTML view is left in build/coverage/html.
#
#   bash tools/coverage.sh
set -euo pipefail
source "$(dirname "$0")/common.sh"

build="$ROOT/build/coverage"
flags="-fprofile-instr-generate -fcoverage-mapping"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$ROOT" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
  -DCMAKE_SHARED_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
cmake --build "$build" -j 2 >/dev/null

profiles="$build/profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
LLVM_PROFILE_FILE="$profiles/%p.profraw" ctest --test-dir "$build" -j 2 --output-on-failure | tail -3
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/core.profdata"

# Every binary links the same core objects; llvm-cov's warning about
# "mismatched data" concerns test helpers that share a name across test
# files, not the core.
binaries=("$build"/tests/core/*_test "$build"/*_replay)
objects=("${binaries[0]}")
for binary in "${binaries[@]:1}"; do objects+=(-object "$binary"); done
sources=("$ROOT"/src/main/core/*/*.cpp)
llvm-cov report "${objects[@]}" -instr-profile="$build/core.profdata" \
  -show-region-summary=false -show-instantiation-summary=false "${sources[@]}"
llvm-cov show "${objects[@]}" -instr-profile="$build/core.profdata" -show-branches=count \
  -format=html -output-dir="$build/html" "${sources[@]}"
echo "coverage: annotated sources in $build/html/index.html"
