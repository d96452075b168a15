#!/usr/bin/env python3
"""Writes end.wav, the sound played when a rip or a queue has finished: a two-note chime,
PCM, 2 channels, 22,050 samples per second, 16 bits, about 0.9 s (about 80 KB)."""
import math
import struct
import wave

RATE = 22050
SECONDS = 0.92
NOTES = [(0.00, 880.0), (0.18, 1318.5)]  # start (s), frequency (Hz): A5 then E6


def sample(t):
    value = 0.0
    for start, freq in NOTES:
        if t < start:
            continue
        u = t - start
        envelope = min(1.0, u / 0.005) * math.exp(-u * 5.0)
        value += envelope * (math.sin(2 * math.pi * freq * u) + 0.3 * math.sin(4 * math.pi * freq * u))
    fade = min(1.0, (SECONDS - t) / 0.05)
    return 0.35 * value * fade


with wave.open("end.wav", "wb") as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(RATE)
    frames = bytearray()
    for n in range(int(RATE * SECONDS)):
        v = max(-1.0, min(1.0, sample(n / RATE)))
        s = int(v * 32767)
        frames += struct.pack("<hh", s, s)
    out.writeframes(bytes(frames))
