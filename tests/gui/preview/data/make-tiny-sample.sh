#!/bin/sh
# Regenerates tiny-4x3.m2v: a 64x48 MPEG-2 stream of 4 s (100 pictures of a still test card) with
# one closed GOP per second, small enough to loop into a clip of more than 90 minutes. The output
# is committed; run this only to change it.
set -eu
cd "$(dirname "$0")"
ffmpeg -nostdin -v error -y -f lavfi -i smptebars=size=64x48:rate=25 -frames:v 100 \
    -c:v mpeg2video -pix_fmt yuv420p -q:v 8 -g 25 -bf 2 -sc_threshold 1000000000 \
    -flags +cgop+bitexact -mpv_flags +strict_gop -aspect 4:3 -f mpeg2video tiny-4x3.m2v
