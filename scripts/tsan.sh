#!/usr/bin/env bash
# Builds the tests that run threads with ThreadSanitizer and runs them: those labelled
# "concurrency" (the thread pool, locks, the platform layer with its pump, the file
# system and its IO server, the profiler) and the end-to-end runs of parallel create and
# extract (the tool itself built with the sanitizer: a race in it fails the test that
# ran it). Only the programs these need are built.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-tsan"
"$top/scripts/install_deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUMBRA_SANITIZE=thread \
  -DUMBRA_BUILD_BENCH=OFF "$@" >/dev/null
ninja -C "$build" qar_packer qar_packer_faults test_umbracore_thread test_umbracore_platform test_umbracore_ufs \
  test_umbracore_profiling test_tools_packer
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir "$build" -L concurrency --output-on-failure -j2
ctest --test-dir "$build" -R '^(parallel_paths_test|extract_budget_test|extract_v2_test|progress_test)\.' \
  --output-on-failure -j2
