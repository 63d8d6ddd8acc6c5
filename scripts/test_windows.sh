#!/usr/bin/env bash
# test_windows.sh [BUILD_DIR [LINUX_BUILD_DIR]]: runs the tests of the Windows build
# under Wine. First the unit test programs of BUILD_DIR (scripts/build_windows.sh made
# them), then the end-to-end tests of LINUX_BUILD_DIR (scripts/test.sh made them; default
# build/) with BUILD_DIR's qar_packer.exe, qar_packer_faults.exe and gdeflate_tool.exe in
# place of the Linux binaries. Wine gets a prefix of its own inside BUILD_DIR and one
# server for the whole run, stopped at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-$top/build-windows}" && pwd)
linux=$(cd "${2:-$top/build}" && pwd)

for program in "$dir/qar_packer.exe" "$dir/gdeflate_tool.exe" "$dir/tests/qar_packer_faults.exe"; do
  [[ -f $program ]] || { echo "test_windows.sh: $program is missing (run scripts/build_windows.sh)" >&2; exit 1; }
done
[[ -x $linux/tests/test_tools_packer ]] ||
  { echo "test_windows.sh: $linux/tests/test_tools_packer is missing (run scripts/test.sh)" >&2; exit 1; }

export WINEDEBUG=-all
export WINEPREFIX=$dir/wine-prefix
# Neither Mono nor Gecko is wanted: asking for them would wait on a dialog. Nor is the
# debugger that Wine starts for a program ending by an unhandled exception (the assertion
# stop, which the death tests provoke): without it the program just ends, as on Windows
# with error reporting off.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
wine=$(command -v wine)

# One server for the whole run instead of one per program (a server that already runs
# for this prefix serves as well); wineboot makes the prefix on the first run.
mkdir -p "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p 2>/dev/null || true
"$wine" wineboot --init >/dev/null 2>&1

# A test that fails here runs once more as well: now and then (about once in a thousand starts
# with two at a time) Wine ends a program within 20 ms, before its main prints a line;
# a test that really fails fails twice, and the first failure stays in the log.
echo "test_windows.sh: unit tests of the Windows build under Wine"
ctest --test-dir "$dir" --output-on-failure -j2 --repeat until-pass:2

# UMBRA_WINDOWS_E2E=0 stops after the unit tests (a quick check of the Windows layer).
if [[ ${UMBRA_WINDOWS_E2E:-1} == 0 ]]; then
  echo "test_windows.sh: end-to-end tests against the Windows executables skipped (UMBRA_WINDOWS_E2E=0)"
  exit 0
fi
# A test that fails here runs once more: once in some 700 fault-walk runs under Wine a
# program's error line went missing (not reproduced since); the first failure stays in the
# log with its output.
echo "test_windows.sh: end-to-end tests against the Windows executables under Wine"
UMBRA_TOOL_EMULATOR=$wine UMBRA_QAR_PACKER=$dir/qar_packer.exe \
  UMBRA_QAR_PACKER_FAULTS=$dir/tests/qar_packer_faults.exe UMBRA_GDEFLATE_TOOL=$dir/gdeflate_tool.exe \
  ctest --test-dir "$linux" -L end_to_end --output-on-failure -j2 --repeat until-pass:2
