#!/usr/bin/env bash
# Installs the dependencies, builds Quorin, makes the demo disk image, lists its clips and rips one
# of them into build/release/demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release
cmake --build --preset release -j "$jobs"
build=build/release
if [ ! -f "$build/demo.img" ]; then
  cmake --build --preset release --target demo_image
fi
echo "== quorin-cli list --disk $build/demo.img"
"$build/src/cli/quorin-cli" list --disk "$build/demo.img"
rm -rf "$build/demo-out"
echo "== quorin-cli rip --disk $build/demo.img --clip 1 --out $build/demo-out"
"$build/src/cli/quorin-cli" rip --disk "$build/demo.img" --clip 1 --out "$build/demo-out"
echo "== files in $build/demo-out"
ls -l "$build/demo-out"
