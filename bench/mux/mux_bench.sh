#!/usr/bin/env bash
# The mux stage against the rip's own stages and against ffmpeg: a whole rip of a factory clip
# (the 4:3 sample with MP2, looped) followed by the mux stage (mux_bench), next to
# `ffmpeg -c copy` of the same two elementary streams into the same container, from a warm page
# cache (ffmpeg with +genpts: it cannot write the raw stream's packets without it); and the peak memory of rip + mux (GNU time) on that clip and on a two-hour clip.
# Aims: the mux stage at most half the time of the rip's stages; peak memory under 64 MiB and
# flat in the clip's length.
#
#   bash bench/mux/mux_bench.sh [BUILD_DIR] [LOOPS] [LONG_LOOPS]
#   (defaults: build/release, 150 = a 3-cluster clip of about 300 MB, 1875 = two hours)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-build/release}
loops=${2:-150}
long_loops=${3:-1875}
bench=$build/bench/mux/mux_bench
mkdisk=$build/tools/mkdisk/quorin-mkdisk
for tool in "$bench" "$mkdisk"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first (cmake --build --preset release)"; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed"; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-mux-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

image() { # LOOPS IMAGE
  cat > "$work/d.json" <<JSON
{"label": "BENCH", "clips": [{"station": "Bench", "name": "Bench", "date": "2024-01-01",
  "start_time": "20:00:00", "video": "$root/samples/mpeg2-4x3.m2v",
  "audio": "$root/samples/tone-48k-192k.mp2", "audio_offset_ms": -300, "loops": $1,
  "layout": "old"}]}
JSON
  "$mkdisk" "$work/d.json" "$2" > /dev/null
  cat "$2" > /dev/null # warm page cache
}

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
now() { date +%s.%N; }
stage() { grep "^$1 " "$2" | awk '{print $2}'; }
peak() { grep 'Maximum resident set size' "$1" | awk '{print $NF}'; }

image "$loops" "$work/clip.img"
printf 'clip: %d loops of 3.84 s, video %s MB\n' "$loops" \
  "$(calc "$(stat -c %s "$root/samples/mpeg2-4x3.m2v") * $loops / 1000000")"
printf '%-4s %8s %8s %8s %8s %10s %12s\n' fmt audio video mux ffmpeg mux/rip "peak KiB"
for fmt in mkv mpg ts; do
  rm -rf "$work/out" && mkdir "$work/out"
  (cd "$work/out" && /usr/bin/time -v -o ../time.txt "$root/$bench" "$work/clip.img" "$fmt" \
    > ../report.txt)
  a=$(stage audio "$work/report.txt"); v=$(stage video "$work/report.txt")
  m=$(stage mux "$work/report.txt")
  t0=$(now)
  ffmpeg -nostdin -v error -y -fflags +genpts -i "$work/out/Bench.m2v" -i "$work/out/Bench.mp2" -map 0 -map 1 \
    -c copy "$work/out/ff.$fmt"
  t1=$(now)
  printf '%-4s %8.3f %8.3f %8.3f %8.3f %10.2f %12d\n' "$fmt" "$a" "$v" "$m" \
    "$(calc "$t1 - $t0")" "$(calc "$m / ($a + $v)")" "$(peak "$work/time.txt")"
done
rm -rf "$work/out" "$work/clip.img"

image "$long_loops" "$work/long.img"
mkdir "$work/out"
(cd "$work/out" && /usr/bin/time -v -o ../time.txt "$root/$bench" "$work/long.img" mkv \
  > ../report.txt)
printf 'two-hour clip (%d loops), mkv: audio %s s, video %s s, mux %s s, peak %d KiB\n' \
  "$long_loops" "$(stage audio "$work/report.txt")" "$(stage video "$work/report.txt")" \
  "$(stage mux "$work/report.txt")" "$(peak "$work/time.txt")"
