#!/usr/bin/env bash
# Ranged rips: quorin-cli rip --keep of three ranges of a factory clip, by picture groups and with
# --exact, from a warm page cache. Reports the times, their ratio, the peak memory (GNU time) and
# the quality of the re-encoded pictures against the source's decoding (from the program log).
# Aims: the exact rip within 1.5 times the picture-group rip, at most 96 MiB, PSNR at least 40 dB
# at worst and 45 dB on average.
#
#   bash bench/rip/ranges_bench.sh [BUILD_DIR] [LOOPS]     (defaults: build/release, 160)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-build/release}
loops=${2:-160}
cli=$build/src/cli/quorin-cli
mkdisk=$build/tools/mkdisk/quorin-mkdisk
for tool in "$cli" "$mkdisk"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first (cmake --build --preset release)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-ranges-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cat > "$work/bench.json" <<JSON
{
  "label": "BENCH",
  "used_clusters": "auto",
  "free_clusters": 2,
  "clips": [
    {
      "station": "Bench", "name": "Bench", "date": "2024-01-01", "start_time": "20:00:00",
      "video": "$root/samples/mpeg2-4x3.m2v", "audio": "$root/samples/tone-48k-192k.mp2",
      "loops": $loops, "layout": "old"
    }
  ]
}
JSON
"$mkdisk" "$work/bench.json" "$work/bench.img" >/dev/null
seconds=$((loops * 384 / 100))
# Three ranges over the clip, none of them on a picture group's edge.
a=$((seconds / 10)); b=$((seconds * 3 / 10)); c=$((seconds * 4 / 10)); d=$((seconds * 6 / 10))
e=$((seconds * 7 / 10)); f=$((seconds * 9 / 10))
keep="--keep $a.13-$b.37 --keep $c.21-$d.09 --keep $e.33-$f.29"
cat "$work/bench.img" >/dev/null

run() { # NAME ARGS...: seconds and peak KiB
  local name=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/$name.time" "$cli" --log rip --disk "$work/bench.img" \
    --clip 1 $keep --out "$work/$name" "$@" >/dev/null 2>"$work/$name.err" ||
    { cat "$work/$name.err"; exit 1; }
  cat "$work/$name.time"
}
read -r tg mg < <(run groups)
read -r te me < <(run exact --exact)
echo "clip: $seconds s; ranges: $keep"
echo "picture groups: $tg s, $((mg / 1024)) MiB peak"
echo "exact:          $te s, $((me / 1024)) MiB peak"
awk -v g="$tg" -v e="$te" 'BEGIN { printf "ratio exact/groups: %.2f (aim <= 1.5)\n", e / g }'
grep -h "re-encoded, PSNR" "$work"/exact/*.log 2>/dev/null | sed 's/^.*\] //' || true
