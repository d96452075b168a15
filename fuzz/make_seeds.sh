#!/bin/sh
# Rebuilds the seed corpora in fuzz/corpus/ from the samples (debug build of the seed maker).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset debug >/dev/null
cmake --build "$root/build/debug" -j2 --target quorin-fuzz-seeds
rm -rf "$root/fuzz/corpus"
"$root/build/debug/fuzz/quorin-fuzz-seeds" "$root/fuzz/corpus" "$root/samples"
du -sh "$root/fuzz/corpus"/*
