#!/usr/bin/env python3
# Writes the station screen's two sounds (16-bit mono WAV): a short rising chime for a board
# done, and a falling two-tone for a board that needs a hand. Run once; the files are kept.
import math, os, struct, wave

def tone(path, parts, rate=22050, volume=0.35):
    frames = bytearray()
    for freq, ms in parts:
        n = int(rate * ms / 1000)
        for i in range(n):
            # A short fade in and out: no click.
            env = min(1.0, i / (rate * 0.005), (n - i) / (rate * 0.01))
            v = volume * env * math.sin(2 * math.pi * freq * i / rate) if freq else 0
            frames += struct.pack('<h', int(v * 32767))
    with wave.open(path, 'wb') as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))

here = os.path.dirname(os.path.abspath(__file__))
tone(os.path.join(here, 'done.wav'), [(1319, 90), (0, 30), (1760, 140)])
tone(os.path.join(here, 'needs-a-hand.wav'), [(440, 180), (0, 60), (330, 260)])
