#!/bin/sh
# Regenerates the sample elementary streams beside this script from ffmpeg's
# synthetic sources. The outputs are committed; run this only to change them.
#
# Every sample lasts 3.84 s, a common multiple of the video frame (40 ms), the
# 12-picture GOP (480 ms), the MPEG audio frame (24 ms) and the AC-3 frame
# (32 ms), so that looped clips keep audio and video in step.
set -eu
cd "$(dirname "$0")"

FF="ffmpeg -nostdin -v error -y"
DUR=3.84
FRAMES=96
# Closed 12-picture GOPs with two B pictures: ffmpeg needs strict_gop (and
# no scene-change detection) to really close every GOP.
GOP="-g 12 -bf 2 -sc_threshold 1000000000 -flags +cgop+bitexact -mpv_flags +strict_gop"

# MPEG-2 main profile, 720x576, 25 fps, 4:3, 4 Mbit/s constant rate.
$FF -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v $FRAMES \
    -c:v mpeg2video -pix_fmt yuv420p -b:v 4M -minrate 4M -maxrate 4M -bufsize 1835k \
    $GOP -aspect 4:3 -f mpeg2video mpeg2-4x3.m2v

# MPEG-2 16:9 at 5 Mbit/s with a little noise and qmin 1, so that the first
# intra picture exceeds 64 KiB and has to be split over several PES packets.
$FF -f lavfi -i testsrc2=size=720x576:rate=25 -vf noise=alls=4:allf=t -frames:v $FRAMES \
    -c:v mpeg2video -pix_fmt yuv420p -b:v 5M -minrate 5M -maxrate 5M -bufsize 1835k \
    -qmin 1 -i_qfactor 0.3 $GOP -aspect 16:9 -f mpeg2video mpeg2-16x9.m2v

# MPEG-1, 352x288, 25 fps; minrate = maxrate = bit rate so that the sequence
# header carries a constant rate.
$FF -f lavfi -i testsrc2=size=352x288:rate=25 -frames:v $FRAMES \
    -c:v mpeg1video -pix_fmt yuv420p -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 327680 \
    $GOP -f mpeg1video mpeg1-sif.m1v

# MPEG-1 Layer II, 48 kHz stereo, 192 kbit/s: 160 frames of 24 ms.
$FF -f lavfi -i sine=frequency=1000:sample_rate=48000:duration=$DUR -ac 2 \
    -c:a mp2 -b:a 192k -frames:a 160 -f mp2 tone-48k-192k.mp2

# AC-3, 48 kHz stereo, 448 kbit/s: 120 frames of 32 ms.
$FF -f lavfi -i sine=frequency=440:sample_rate=48000:duration=$DUR -ac 2 \
    -c:a ac3 -b:a 448k -frames:a 120 -f ac3 tone-48k-448k.ac3

ls -l mpeg2-4x3.m2v mpeg2-16x9.m2v mpeg1-sif.m1v tone-48k-192k.mp2 tone-48k-448k.ac3
