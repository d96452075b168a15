#!/usr/bin/env bash
# Start-up and peak memory of quorin-cli commands that never decode or mux (FFmpeg's libraries
# are not loaded for them), beside a rip with --mux that loads them: median wall time of RUNS
# runs and the peak resident memory (GNU time), optionally next to a baseline build.
# Aims: `list` within 1.3 times a build without FFmpeg; list/info/plain rip at most 16 MiB.
#
#   bash bench/cli/startup_bench.sh [BUILD_DIR] [BASELINE_BUILD_DIR] [RUNS]
#   (defaults: build/release, none, 21)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(realpath "${1:-build/release}")
baseline=${2:+$(realpath "$2")}
runs=${3:-21}
mkdisk=$build/tools/mkdisk/quorin-mkdisk
[ -x "$build/src/cli/quorin-cli" ] && [ -x "$mkdisk" ] ||
  { echo "missing quorin-cli or quorin-mkdisk in $build: build them first"; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-startup-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config
cat > "$work/d.json" <<JSON
{"label": "BENCH", "clips": [{"station": "Bench", "name": "Bench", "date": "2024-01-01",
  "start_time": "20:00:00", "video": "$root/samples/mpeg2-4x3.m2v",
  "audio": "$root/samples/tone-48k-192k.mp2", "loops": 4, "layout": "old"}]}
JSON
"$mkdisk" "$work/d.json" "$work/d.img" > /dev/null

# COMMAND...: "median-seconds peak-KiB" over the runs, run in a fresh folder each time.
measure() {
  local times=() peak=0
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" && mkdir "$work/out"
    (cd "$work/out" && /usr/bin/time -f '%e %M' -o ../t.txt "$@" > /dev/null 2>&1) || true
    read -r s kib < "$work/t.txt"
    times+=("$s")
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v p="$peak" '{a[NR]=$1} END {printf "%.3f %d", a[int((NR+1)/2)], p}'
}

printf '%-22s %12s %10s' command "median s" "peak KiB"
[ -n "$baseline" ] && printf ' %12s %10s %7s' "base s" "base KiB" ratio
echo
for args in "--version" "list" "info --clip 1" "rip --clip 1" "rip --clip 1 --mux mkv"; do
  disk=(); [ "$args" != "--version" ] && disk=(--disk "$work/d.img")
  # shellcheck disable=SC2086
  read -r s kib <<< "$(measure "$build/src/cli/quorin-cli" $args "${disk[@]}")"
  printf '%-22s %12s %10s' "$args" "$s" "$kib"
  if [ -n "$baseline" ]; then
    # shellcheck disable=SC2086
    read -r bs bkib <<< "$(measure "$baseline/src/cli/quorin-cli" $args "${disk[@]}")"
    printf ' %12s %10s %7.2f' "$bs" "$bkib" "$(awk "BEGIN { print $s / ($bs > 0 ? $bs : 1) }")"
  fi
  echo
done
