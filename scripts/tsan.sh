#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer and runs the ones that exercise threads (CTest
# label "concurrency": the thread pool, locks, the platform layer and the file system).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install_deps.sh"
"$top/scripts/build.sh" "$top/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUMBRA_SANITIZE=thread \
  -DUMBRA_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir "$top/build-tsan" -L concurrency --output-on-failure -j2
