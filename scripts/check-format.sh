#!/usr/bin/env bash
# Fails when a C++ file of the repository is not formatted as .clang-format says (a dry run; it
# changes nothing). `clang-format -i FILE` formats a file.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "formatting: ok"
