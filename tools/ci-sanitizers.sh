#!/usr/bin/env bash
# Builds the test suite (and, with AddressSanitizer, the fuzz targets) with
# sanitizers, runs the tests and replays every fuzz target's checked-in seed
# corpus (tests/fuzz/corpus/<target>/) once, without fuzzing.
#
#   bash tools/ci-sanitizers.sh [SANITIZERS] [BUILD_DIR]
#
# SANITIZERS is a list for -fsanitize (default "address,undefined"; "thread"
# works the same way); BUILD_DIR defaults to build-<sanitizers>.  Clang
# builds it, linked dynamically as the sanitizers need (VANTORA_STATIC=OFF),
# with warnings as errors.  Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=${1:-address,undefined}
dir=${2:-build-${sanitize//,/-}}

# libFuzzer runs beside AddressSanitizer; other sanitizers only run the tests.
# With it, everything carries libFuzzer's coverage instrumentation
# (fuzzer-no-link), so the fuzz targets built here also serve fuzzing runs.
fuzz=OFF
flags=$sanitize
if [[ ",$sanitize," == *",address,"* ]]; then
  fuzz=ON
  flags=fuzzer-no-link,$sanitize
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTORA_SANITIZE="$flags" -DVANTORA_STATIC=OFF -DVANTORA_WERROR=ON \
  -DVANTORA_FUZZ="$fuzz" -DVANTORA_BUILD_BENCH=OFF "${launcher[@]}"
cmake --build "$dir" -j"$(nproc)"

# Findings end the process with an error; leaks count as findings.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

ctest --test-dir "$dir" --output-on-failure -j2

if [[ $fuzz == ON ]]; then
  status=0
  for corpus in tests/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    binary="$dir/tests/$target"
    if [[ ! -x $binary ]]; then
      echo "fuzz corpus $corpus has no target $binary" >&2
      status=1
      continue
    fi
    # -runs=0 runs every input of the corpus once and ends.
    if "$binary" -runs=0 "$corpus" >"$dir/$target.replay.log" 2>&1; then
      echo "replayed $(ls "$corpus" | wc -l) inputs of $target"
    else
      echo "replay of $target failed:" >&2
      tail -n 60 "$dir/$target.replay.log" >&2
      status=1
    fi
  done
  for source in tests/fuzz/*_fuzz.cpp; do
    target=$(basename "$source" .cpp)
    if [[ ! -d tests/fuzz/corpus/$target ]]; then
      echo "fuzz target $target has no seed corpus in tests/fuzz/corpus/$target" >&2
      status=1
    fi
  done
  exit $status
fi
