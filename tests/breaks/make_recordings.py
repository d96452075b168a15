#!/usr/bin/env python3
"""Makes test recordings with advert breaks, and their truth, for the break detection tests.

    make_recordings.py OUTDIR

Writes into OUTDIR, per recording NAME: NAME.m2v, NAME.ac3 or NAME.mp2 (elementary streams
cut from ffmpeg's synthetic sources), NAME.truth.json ({"length": s, "breaks": [[from, to]]},
seconds on the video's clock: from = the first picture of the first spot, to = the first picture
after the last spot); and breaks.json, a test-disk description with one clip per recording (in
the order of RECORDINGS). Nothing is made again while OUTDIR/stamp matches this script.

Programme parts carry a station logo in the top right corner, change pictures every few seconds
and have speech-like sound; spots have no logo, other pictures and louder sound; black pictures
with silence separate the spots. Every part lasts a multiple of 0.48 s (12 pictures, 20 MPEG
audio frames, 15 AC-3 frames), so parts encoded one by one join without drift.
"""
import hashlib
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

FPS = 25
UNIT = 12  # pictures per 0.48 s
FF = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
GOP = ["-g", "12", "-bf", "2", "-sc_threshold", "1000000000", "-flags", "+cgop",
       "-mpv_flags", "+strict_gop"]

LOGO = ("drawbox=x=588:y=34:w=88:h=50:color=white@{a}:t=fill,"
        "drawbox=x=598:y=44:w=30:h=30:color=0x2040c0@{a}:t=fill,"
        "drawbox=x=636:y=44:w=30:h=30:color=0xc02020@{a}:t=fill")

# Programme pictures: moving, varied, mid grey on average.
SCENES = [
    "testsrc2=size=720x576:rate=25,hue=h=20*t",
    "life=size=360x288:rate=25:mold=10:ratio=0.3:life_color=0xc0a040:death_color=0x303060:"
    "mold_color=0x406020,scale=720:576:flags=neighbor",
    "gradients=size=180x144:rate=25:speed=0.03:c0=0x804020:c1=0x2080c0:nb_colors=2,"
    "scale=720:576",
    "cellauto=size=360x288:rate=25:rule=30:scroll=1,scale=720:576,hue=s=0",
    "testsrc2=size=720x576:rate=25,hflip,eq=brightness=-0.1",
    "gradients=size=180x144:rate=25:speed=0.05:c0=0x30c050:c1=0x505050:c2=0xa0a0f0:nb_colors=3,"
    "scale=720:576",
]
# Spot pictures: bright, saturated, no logo.
SPOTS = [
    "smptehdbars=size=720x576:rate=25,hue=h=90*t",
    "rgbtestsrc=size=720x576:rate=25,hue=H=2*t",
    "color=c=orange:size=720x576:rate=25,drawbox=x=100+100*sin(t):y=200:w=200:h=160:"
    "color=blue:t=fill",
    "pal100bars=size=720x576:rate=25,hflip,hue=h=40*t",
    "testsrc=size=720x576:rate=25,negate",
    "yuvtestsrc=size=720x576:rate=25,hue=H=t",
    "gradients=size=180x144:rate=25:speed=0.2:c0=0xff0000:c1=0x00ff00:c2=0xffff00:nb_colors=3,"
    "scale=720:576",
]


def ticks(pictures):
    return pictures / FPS


class Part:
    """One encoded piece: pictures from a filter graph, sound from another."""

    def __init__(self, kind, seconds, video, audio, aspect, channels, logo=None):
        self.kind = kind
        self.pictures = round(seconds * FPS / UNIT) * UNIT
        self.video = video
        self.audio = audio
        self.aspect = aspect
        self.channels = channels
        self.logo = logo  # alpha of the logo, None: no logo

    def video_graph(self):
        graph = self.video
        if self.logo is not None:
            graph += "," + LOGO.format(a=self.logo)
        return graph + ",format=yuv420p"


def programme(seconds, scene, aspect, channels, logo, fade_out=False, fade_in=False,
              pause_at=None, logo_fades=False, silent_fade=False):
    n = round(seconds * FPS / UNIT) * UNIT
    dur = n / FPS
    video = SCENES[scene % len(SCENES)]
    audio = (f"anoisesrc=color=pink:amplitude=0.12:seed={scene + 7}:r=48000,"
             f"tremolo=f={2 + scene % 3}:d=0.8,lowpass=f=3000")
    fades = []
    afades = []
    if fade_in:
        fades.append("fade=t=in:st=0:d=1")
        if silent_fade:
            afades.append("afade=t=in:st=0.2:d=0.8")
    if fade_out:
        fades.append(f"fade=t=out:st={dur - 1.5:.2f}:d=1")
        if silent_fade:
            afades.append(f"afade=t=out:st={dur - 1.5:.2f}:d=1")
    if pause_at is not None:
        afades.append(f"volume=enable='between(t,{pause_at},{pause_at + 2.5})':volume=0")
    if logo_fades:
        # The logo goes dark with the picture: drawn before the fades.
        part = Part("programme", seconds, video, audio, aspect, channels, logo)
        part.video = part.video_graph().replace(",format=yuv420p", "")
        part.logo = None
    else:
        part = Part("programme", seconds, video, audio, aspect, channels, None)
        part.video = video
    for f in fades:
        part.video += "," + f
    if not logo_fades and logo is not None:
        part.video += "," + LOGO.format(a=logo)
    if afades:
        part.audio += "," + ",".join(afades)
    return part


def spot(seconds, n, aspect, channels):
    audio = (f"sine=frequency={300 + 110 * n}:sample_rate=48000,volume=0.3,"
             f"aformat=channel_layouts=mono[s];anoisesrc=color=white:amplitude=0.15:"
             f"seed={n}:r=48000[w];[s][w]amix=inputs=2:normalize=0")
    return Part("spot", seconds, SPOTS[n % len(SPOTS)], audio, aspect, channels)


def separator(aspect, channels, seconds=0.48):
    return Part("separator", seconds, "color=c=black:size=720x576:rate=25",
                "anullsrc=r=48000:cl=mono", aspect, channels)


def advert_break(lengths, first_spot, aspect, channels, lead=True, trail=True):
    parts = [separator(aspect, channels)] if lead else []
    for i, s in enumerate(lengths):
        if i:
            parts.append(separator(aspect, channels))
        parts.append(spot(s, first_spot + i, aspect, channels))
    if trail:
        parts.append(separator(aspect, channels))
    return parts


def recordings():
    wide, narrow = "16:9", "4:3"
    five, two = 6, 2
    r = {}
    # Programme 16:9 with 5.1 sound, adverts 4:3 stereo; a fade and a pause in the programme.
    r["wide-ac3"] = ("ac3", [
        programme(20.16, 0, wide, five, 0.9),
        programme(26.4, 1, wide, five, 0.9, fade_out=True),
        programme(24.96, 2, wide, five, 0.9, fade_in=True, pause_at=8),
        *advert_break([20.16, 15.36, 30.24, 10.08], 0, narrow, two),
        programme(30.24, 3, wide, five, 0.9),
        programme(40.32, 4, wide, five, 0.9, pause_at=20),
        *advert_break([29.76, 20.16, 15.36], 4, narrow, two),
        programme(30.24, 0, wide, five, 0.9),
    ])
    # Everything 4:3 MPEG audio, a translucent logo: the recording starts inside a break.
    r["starts-in-break"] = ("mp2", [
        *advert_break([15.36, 10.08], 2, narrow, two, lead=False),
        programme(35.04, 2, narrow, two, 0.6),
        programme(30.24, 3, narrow, two, 0.6, fade_out=True, silent_fade=True),
        programme(40.32, 4, narrow, two, 0.6, fade_in=True, silent_fade=True),
        *advert_break([30.24, 20.16, 15.36, 20.16], 5, narrow, two),
        programme(50.4, 1, narrow, two, 0.6),
    ])
    # 16:9 stereo AC-3 throughout; the recording ends inside a break.
    r["ends-in-break"] = ("ac3", [
        programme(45.12, 5, wide, two, 0.9),
        programme(45.12, 1, wide, two, 0.9, pause_at=30),
        programme(30.24, 2, wide, two, 0.9),
        *advert_break([20.16, 25.92, 10.08], 1, wide, two, trail=False),
    ])
    # No adverts: fades to black with and without sound, pauses, a logo that fades with a scene.
    r["no-adverts"] = ("mp2", [
        programme(30.24, 0, wide, two, 0.9, fade_out=True, silent_fade=True, logo_fades=True),
        programme(20.16, 1, wide, two, 0.9, fade_in=True, silent_fade=True, logo_fades=True),
        programme(40.32, 2, wide, two, 0.9, pause_at=10),
        programme(15.36, 3, wide, two, 0.9, fade_out=True, silent_fade=True),
        programme(25.44, 4, wide, two, 0.9, fade_in=True, silent_fade=True, pause_at=15),
        programme(20.16, 5, wide, two, 0.9, fade_out=True),
        programme(30.24, 0, wide, two, 0.9, fade_in=True, pause_at=12),
    ])
    return r


def encode(part, codec, vout, aout):
    subprocess.run(FF + ["-f", "lavfi", "-i", part.video_graph(), "-frames:v", str(part.pictures),
                         "-c:v", "mpeg2video", "-q:v", "14", *GOP, "-aspect", part.aspect,
                         "-f", "mpeg2video", vout], check=True)
    frames = part.pictures * 40 // (32 if codec == "ac3" else 24)
    layout = "5.1" if part.channels == 6 else "stereo"
    args = ["-c:a", "ac3", "-b:a", "192k", "-f", "ac3"] if codec == "ac3" else \
        ["-c:a", "mp2", "-b:a", "192k", "-f", "mp2"]
    subprocess.run(FF + ["-f", "lavfi", "-i", part.audio, "-frames:a", str(frames),
                         "-af", f"aformat=sample_rates=48000:channel_layouts={layout}",
                         *args, aout], check=True)


def truth(parts):
    breaks, t, start, last_end = [], 0, None, None
    for p in parts:
        if p.kind == "spot":
            if start is None:
                start = t
            last_end = t + p.pictures
        elif p.kind == "programme" and start is not None:
            breaks.append([ticks(start), ticks(last_end)])
            start = None
        t += p.pictures
    if start is not None:
        breaks.append([ticks(start), ticks(t if parts[-1].kind != "programme" else last_end)])
    return {"length": ticks(t), "breaks": breaks}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    stamp = hashlib.sha256(open(__file__, "rb").read()).hexdigest()
    stamp_file = os.path.join(out, "stamp")
    if os.path.exists(stamp_file) and open(stamp_file).read() == stamp:
        return
    jobs, clips = [], []
    for name, (codec, parts) in recordings().items():
        pieces = [(os.path.join(out, f"{name}.{i}.m2v"), os.path.join(out, f"{name}.{i}.{codec}"))
                  for i in range(len(parts))]
        jobs += [(p, codec, v, a) for p, (v, a) in zip(parts, pieces)]
        clips.append((name, codec, parts, pieces))
    with ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda j: encode(*j), jobs))
    description = {"label": "BREAKS", "clips": []}
    for name, codec, parts, pieces in clips:
        for index, ext in ((0, "m2v"), (1, codec)):
            with open(os.path.join(out, f"{name}.{ext}"), "wb") as joined:
                for piece in pieces:
                    with open(piece[index], "rb") as f:
                        joined.write(f.read())
                    os.remove(piece[index])
        with open(os.path.join(out, f"{name}.truth.json"), "w") as f:
            json.dump(truth(parts), f)
        description["clips"].append({"station": "Quorin One", "name": name, "video": f"{name}.m2v",
                                     "audio": f"{name}.{codec}", "first_pts": 8589000000
                                     if name == "ends-in-break" else 900000})
    with open(os.path.join(out, "breaks.json"), "w") as f:
        json.dump(description, f, indent=1)
    with open(stamp_file, "w") as f:
        f.write(stamp)


if __name__ == "__main__":
    main()
