#!/usr/bin/env bash
# A rip with --mux mkv against the plain rip of the same clip (the 4:3 sample with MP2, looped),
# whole process, warm page cache: the mux runs beside the video stage, so the ratio is what
# muxing adds. Then the peak memory of both (GNU time) on that clip and on a two-hour clip.
# Aims: --mux mkv at most 1.15 times the plain rip; its peak memory at most 64 MiB, the same for
# the long clip.
#
#   bash bench/mux/onepass_bench.sh [BUILD_DIR] [LOOPS] [LONG_LOOPS] [RUNS]
#   (defaults: build/release, 160 = a 4-cluster clip, 1875 = two hours, 7 runs)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-build/release}
loops=${2:-160}
long_loops=${3:-1875}
runs=${4:-7}
cli=$build/src/cli/quorin-cli
mkdisk=$build/tools/mkdisk/quorin-mkdisk
for tool in "$cli" "$mkdisk"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first (cmake --build --preset release)"; exit 1; }
done
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-onepass-bench-XXXXXX")
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

# Wall seconds of one rip (its output removed before, not timed).
rip() { # IMAGE OPTIONS...
  local img=$1
  shift
  rm -rf "$work/out"
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$cli" rip --disk "$img" --clip 1 \
    --out "$work/out" "$@" > /dev/null 2>&1
  cat "$work/time.txt"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

image "$loops" "$work/clip.img"
plain=() mux=() ratio=()
for _ in $(seq "$runs"); do # in turn, paired
  p=$(rip "$work/clip.img" | awk '{print $1}')
  m=$(rip "$work/clip.img" --mux mkv | awk '{print $1}')
  plain+=("$p") mux+=("$m") ratio+=("$(calc "$m / $p")")
done
printf 'clip: %d loops; medians of %d paired runs\n' "$loops" "$runs"
printf '  plain rip        %8.3f s\n' "$(printf '%s\n' "${plain[@]}" | median)"
printf '  rip --mux mkv    %8.3f s\n' "$(printf '%s\n' "${mux[@]}" | median)"
printf '  mux / plain      %8.2f   (aim: at most 1.15)\n' "$(printf '%s\n' "${ratio[@]}" | median)"
printf '  peak memory      %8d KiB plain, %d KiB --mux mkv\n' "$(rip "$work/clip.img" | awk '{print $2}')" \
  "$(rip "$work/clip.img" --mux mkv | awk '{print $2}')"
rm -f "$work/clip.img"
image "$long_loops" "$work/long.img"
printf 'long clip (%d loops): peak memory %d KiB --mux mkv (aim: at most 64 MiB, as the short clip)\n' "$long_loops" \
  "$(rip "$work/long.img" --mux mkv | awk '{print $2}')"
