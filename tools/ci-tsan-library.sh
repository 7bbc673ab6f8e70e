#!/usr/bin/env bash
# ThreadSanitizer run of the library adapters' tests: builds libvantora.so,
# the test hosts, the fake NSAPI server library and a test binary holding
# only the ISAPI, NSAPI and resolver test units with -fsanitize=thread, then
# runs those tests (among them the concurrency tests, many server threads
# calling into the library at once, and the lookups that a request waits for
# with a deadline).  Any data race fails the run.
#
#   bash tools/ci-tsan-library.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build-tsan-library.  Clang builds it, linked
# dynamically as the sanitizer needs, with warnings as errors.  The whole
# suite under ThreadSanitizer is `bash tools/ci-sanitizers.sh thread`.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build-tsan-library}
units='Isapi|NSapi|Resolver'

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTORA_SANITIZE=thread -DVANTORA_STATIC=OFF -DVANTORA_WERROR=ON \
  -DVANTORA_FUZZ=OFF -DVANTORA_BUILD_BENCH=OFF -DVANTORA_TEST_UNITS="$units" "${launcher[@]}"
# The test binary brings every program and library the tests start or load.
cmake --build "$dir" -j"$(nproc)" --target vantora_tests

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
ctest --test-dir "$dir" --output-on-failure -j2 -R "Isapi|Nsapi|Resolver"
