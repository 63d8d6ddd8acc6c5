#!/usr/bin/env bash
# build.sh BUILD_DIR [cmake options...]: configures and builds the project.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
