#!/usr/bin/env bash
# Installs what is missing, builds, packs the bundled sample tree, unpacks it again and
# shows that the two trees match.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install_deps.sh"
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUMBRA_BUILD_TESTS=OFF -DUMBRA_BUILD_BENCH=OFF
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tool="$top/build/qar_packer"
echo "\$ qar_packer create sample.qar -root sample/tree"
"$tool" create "$work/sample.qar" -root "$top/sample/tree"
echo "archive: $(stat -c %s "$work/sample.qar") bytes from $(find "$top/sample/tree" -type f | wc -l) files"
echo "\$ qar_packer extract sample.qar -root out"
"$tool" extract "$work/sample.qar" -root "$work/out"
if diff -r "$top/sample/tree" "$work/out" >/dev/null; then
  echo "extracted tree matches the sample tree"
else
  echo "extracted tree differs from the sample tree" >&2
  diff -r "$top/sample/tree" "$work/out" >&2 || true
  exit 1
fi
