#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Extra arguments go to cmake.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install_deps.sh"
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUMBRA_BUILD_TESTS=ON -DUMBRA_BUILD_BENCH=ON "$@"
ctest --test-dir "$top/build" --output-on-failure -j2
