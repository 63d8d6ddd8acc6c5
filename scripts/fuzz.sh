#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer on everything they link) and runs each one on its seeds:
# first the kept findings of fuzz/regressions/NAME once, then SECONDS of fuzzing from
# fuzz/corpus/NAME (copied, so that the repository's seeds stay as they are) with the
# dictionary fuzz/NAME.dict when there is one. A crash, a leak or a timeout fails the
# run, and the input that caused it is copied to fuzz/regressions/NAME/, where the
# replay tests of the ordinary build run it from then on once it is committed.
#   scripts/fuzz.sh [SECONDS_PER_TARGET (30)] [TARGET...]
# UMBRA_FUZZ_CMAKE_ARGS adds cmake options (e.g. the ccache launchers).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
build="$top/build-fuzz"
"$top/scripts/install_deps.sh"
CC=clang CXX=clang++ "$top/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUMBRA_FUZZ=ON \
  -DUMBRA_BUILD_TESTS=OFF -DUMBRA_BUILD_BENCH=OFF ${UMBRA_FUZZ_CMAKE_ARGS:-}

targets=("$@")
if ((${#targets[@]} == 0)); then
  for program in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$program" _fuzz)"); done
fi

failed=()
for name in "${targets[@]}"; do
  program="$build/fuzz/${name}_fuzz"
  work="$build/fuzz-work/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/findings"
  cp -r "$top/fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
  options=(-max_len=65536 -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 "-artifact_prefix=$work/findings/")
  [[ -f "$top/fuzz/$name.dict" ]] && options+=("-dict=$top/fuzz/$name.dict")
  kept=("$top/fuzz/regressions/$name"/*)
  status=0
  if [[ -e "${kept[0]}" ]]; then
    "$program" "${options[@]}" "${kept[@]}" >"$work/regressions.log" 2>&1 || status=$?
  fi
  if ((status == 0)); then
    "$program" "${options[@]}" -max_total_time="$seconds" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
  fi
  # Instrumented edges of the program, edges the run covered, inputs run.
  edges=$(grep -oE "\(([0-9]+) inline 8-bit counters\)" "$work/fuzz.log" 2>/dev/null | grep -oE "[0-9]+" | head -1 || true)
  covered=$(grep -oE "DONE +cov: [0-9]+" "$work/fuzz.log" 2>/dev/null | grep -oE "[0-9]+$" | tail -1 || true)
  runs=$(grep -oE "^stat::number_of_executed_units: [0-9]+" "$work/fuzz.log" 2>/dev/null | grep -oE "[0-9]+$" || true)
  echo "fuzz $name: exit $status, ${edges:-?} edges instrumented, ${covered:-?} covered, ${runs:-?} inputs in ${seconds} s"
  if ((status != 0)); then
    failed+=("$name")
    mkdir -p "$top/fuzz/regressions/$name"
    for finding in "$work/findings"/*; do
      [[ -e "$finding" ]] && cp "$finding" "$top/fuzz/regressions/$name/" && echo "  kept: fuzz/regressions/$name/$(basename "$finding")"
    done
    tail -40 "$work/fuzz.log" "$work/regressions.log" 2>/dev/null || true
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
