#!/usr/bin/env bash
# Whole-clip rip throughput: quorin-cli rip (audio and video) of a factory clip whose video spans
# at least 3 clusters, next to (a) dd bs=1M reading the same chain bytes into a file and (b)
# ffmpeg copying the same packetised video to an elementary stream, all from a warm page cache.
# Reports MB/s, the ratios and the rip's peak memory (GNU time). Aims: the rip within 1.2 times
# the time of dd and at most 0.35 times that of ffmpeg, in at most 16 MiB. Also times the same
# rip muxed into Matroska (--mux mkv) against the plain rip: aim at most 1.15 times, in 64 MiB.
#
#   bash bench/rip/rip_bench.sh [BUILD_DIR] [LOOPS]     (defaults: build/release, 160 = 4 clusters)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${1:-build/release}
loops=${2:-160}
runs=3
cli=$build/src/cli/quorin-cli
mkdisk=$build/tools/mkdisk/quorin-mkdisk
for tool in "$cli" "$mkdisk"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first (cmake --build --preset release)"; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed"; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-rip-bench-XXXXXX")
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
      "loops": $loops, "video_start_sector": 2048, "layout": "old"
    }
  ]
}
JSON
img=$work/bench.img
summary=$("$mkdisk" "$work/bench.json" "$img")
# "  01 Bench  0:10:14  video 3->1->2->4 (start 2048, end 12345)  audio ..."
line=$(printf '%s\n' "$summary" | grep ' 01 ')
chain=$(printf '%s\n' "$line" | sed -E 's/.*video ([0-9>-]+) \(start ([0-9]+), end ([0-9]+)\).*/\1/')
start=$(printf '%s\n' "$line" | sed -E 's/.*video ([0-9>-]+) \(start ([0-9]+), end ([0-9]+)\).*/\2/')
end=$(printf '%s\n' "$line" | sed -E 's/.*video ([0-9>-]+) \(start ([0-9]+), end ([0-9]+)\).*/\3/')
IFS='>' read -r -a parts <<< "${chain//->/>}"
clusters=${#parts[@]}
echo "clip: $loops loops, video chain ${chain} ($clusters clusters, start $start, end $end sectors)"

# The chain's bytes, cluster by cluster, as dd reads them.
dd_chain() {
  local out=$1 i=0 c off from to
  : > "$out"
  for c in "${parts[@]}"; do
    off=$(( (256 + (c - 1) * 204800) * 512 ))
    from=0; to=104857600
    [ $i -eq 0 ] && from=$(( start * 512 ))
    [ $i -eq $((clusters - 1)) ] && to=$(( end * 512 ))
    dd if="$img" of="$out" bs=1M iflag=skip_bytes,count_bytes skip=$((off + from)) \
       count=$((to - from)) oflag=append conv=notrunc status=none
    i=$((i + 1))
  done
}

cat "$img" > /dev/null # warm page cache (the image is sparse: only real data costs)
dd_chain "$work/chain.pes"
bytes=$(stat -c %s "$work/chain.pes")
echo "video chain bytes: $bytes"

best() { sort -g | head -1; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
now() { date +%s.%N; }
seconds() { grep 'Elapsed (wall clock)' "$1" | awk '{print $NF}' | awk -F: '{ if (NF==3) print $1*3600+$2*60+$3; else print $1*60+$2 }'; }
peak() { grep 'Maximum resident set size' "$1" | awk '{print $NF}'; }
rip_t=(); dd_t=(); ff_t=(); mux_t=(); rss=0; mux_rss=0
for r in $(seq $runs); do
  rm -rf "$work/rip" "$work/mux" "$work/dd.pes" "$work/ff.m2v"
  /usr/bin/time -v -o "$work/time.txt" "$cli" rip --disk "$img" --clip 1 --out "$work/rip" \
      > "$work/rip.out" 2> "$work/rip.err"
  rip_t+=("$(seconds "$work/time.txt")")
  k=$(peak "$work/time.txt")
  [ "$k" -gt "$rss" ] && rss=$k
  rm -rf "$work/rip"
  /usr/bin/time -v -o "$work/time.txt" "$cli" rip --disk "$img" --clip 1 --mux mkv \
      --out "$work/mux" > /dev/null 2> "$work/mux.err"
  mux_t+=("$(seconds "$work/time.txt")")
  k=$(peak "$work/time.txt")
  [ "$k" -gt "$mux_rss" ] && mux_rss=$k
  rm -rf "$work/mux"
  t0=$(now); dd_chain "$work/dd.pes"; t1=$(now)
  dd_t+=("$(calc "$t1 - $t0")")
  t0=$(now)
  ffmpeg -nostdin -v error -y -f mpeg -i "$work/chain.pes" -c copy -f mpeg2video "$work/ff.m2v"
  t1=$(now)
  ff_t+=("$(calc "$t1 - $t0")")
done
rip=$(printf '%s\n' "${rip_t[@]}" | best)
ddb=$(printf '%s\n' "${dd_t[@]}" | best)
ff=$(printf '%s\n' "${ff_t[@]}" | best)
mux=$(printf '%s\n' "${mux_t[@]}" | best)
mb=$(calc "$bytes / 1000000")
printf '\nbest of %d runs, %.0f MB of video chain:\n' "$runs" "$mb"
printf '  %-22s %8.3f s  %8.0f MB/s\n' "quorin-cli rip" "$rip" "$(calc "$mb / $rip")"
printf '  %-22s %8.3f s  %8.0f MB/s\n' "dd bs=1M" "$ddb" "$(calc "$mb / $ddb")"
printf '  %-22s %8.3f s  %8.0f MB/s\n' "ffmpeg -c copy" "$ff" "$(calc "$mb / $ff")"
printf '  rip / dd     = %.2f   (aim: at most 1.2)\n' "$(calc "$rip / $ddb")"
printf '  rip / ffmpeg = %.2f   (aim: at most 0.35)\n' "$(calc "$rip / $ff")"
printf '  rip peak memory: %d KiB (maximum resident set size)\n' "$rss"
printf '  %-22s %8.3f s  %8.0f MB/s\n' "quorin-cli rip --mux" "$mux" "$(calc "$mb / $mux")"
printf '  mux / rip    = %.2f   (aim: at most 1.15)\n' "$(calc "$mux / $rip")"
printf '  mux peak memory: %d KiB\n' "$mux_rss"
cat "$work/rip.out"
