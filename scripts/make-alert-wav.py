#!/usr/bin/env python3
"""Writes the alert sound: a short two-note chime (E6 then A6, 0.3 s), 16-bit mono PCM at
22,050 Hz. The bytes depend on nothing but this script, so a run gives the same file every
time. Run again after changing it and commit assets/alert.wav; the build compiles that file in.

    python3 scripts/make-alert-wav.py [OUT]
"""
import math
import os
import struct
import sys
import wave

RATE = 22050
NOTES = [(1318.51, 0.0, 0.18), (1760.0, 0.10, 0.30)]  # frequency, start, end (seconds)
LENGTH = 0.30
PEAK = 0.45 * 32767


def sample(t):
    value = 0.0
    for freq, start, end in NOTES:
        if start <= t < end:
            age = t - start
            attack = min(1.0, age / 0.005)
            decay = math.exp(-age * 14.0)
            release = min(1.0, (end - t) / 0.01)
            value += math.sin(2 * math.pi * freq * age) * attack * decay * release
    return max(-1.0, min(1.0, value))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "assets", "alert.wav")
    frames = b"".join(
        struct.pack("<h", int(round(sample(i / RATE) * PEAK))) for i in range(int(LENGTH * RATE))
    )
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames)
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
