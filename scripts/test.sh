#!/usr/bin/env bash
# Installs the dependencies, checks the formatting, builds Quorin with AddressSanitizer +
# UndefinedBehaviorSanitizer and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-format.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
