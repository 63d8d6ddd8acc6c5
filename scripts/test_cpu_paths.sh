#!/usr/bin/env bash
# Runs the tests of the code that picks an instruction-set path (the GDeflate codec, the
# texture copy kernels and what builds on them) once more for each path this machine
# would not take by itself: the 256-bit paths (AVX-512 turned off) and the portable
# code (SSE2 and all that builds on it turned off). The full suite has run the best path.
# Usage: scripts/test_cpu_paths.sh [build dir]   (default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
tests='^(cpu_features|gdeflate|memory_copy|surface|texture|create_image_test|extract_image_test)'
for disabled in avx512f sse2; do
  echo "== tests with UMBRA_DISABLE_CPU_FEATURES=$disabled"
  UMBRA_DISABLE_CPU_FEATURES=$disabled ctest --test-dir "$build" -R "$tests" --output-on-failure -j2
done
