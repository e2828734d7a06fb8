#!/usr/bin/python3
"""The leakage-current analysis of a block written the usual numpy way.

Computes, for every block of a raw block file (little-endian 16-bit raw codes
in frames of four, 5040 samples a block), the same quantities as the
measurement program: the six components in mA, the peak, and the threshold
time and half-cycle counts.  Everything is vectorised over the four channels
and carried in float64, as numpy code usually is.

  numpy_analysis.py make FILE [--blocks N]   write N test blocks (default 16)
  numpy_analysis.py values FILE              print the CSV varnel-analyse prints
  numpy_analysis.py time FILE [--repeat R]   print microseconds per block (wall, CPU)
"""

import argparse
import json
import sys
import time

import numpy as np

BLOCK = 5040
POINTS = 1250


def make_blocks(path, count):
    rng = np.random.default_rng(12345)
    k = np.arange(BLOCK // 4)
    blocks = []
    for b in range(count):
        frames = np.empty((BLOCK // 4, 4))
        for ch in range(4):
            a = 200.0 * (1 + ch + b % 4)
            t = 2 * np.pi * k / 250.0
            v = a * np.sin(t + 0.3 * ch) + 0.2 * a * np.sin(3 * t) + 40.0
            v[k % 97 == 0] += 900.0  # discharge spikes
            frames[:, ch] = v + rng.integers(-16, 16, size=k.size)
        codes = np.clip(np.rint(frames) + 2048, 0, 8191).astype("<i2")
        blocks.append(codes.reshape(-1))
    np.concatenate(blocks).tofile(path)


def read_blocks(path):
    raw = np.fromfile(path, dtype="<i2")
    if raw.size == 0 or raw.size % BLOCK:
        sys.exit(f"{path}: not a whole number of blocks of {BLOCK} samples")
    return raw.reshape(-1, BLOCK)


class Analysis:
    def __init__(self, freq=50, shunt=330.0, thresholds=(0.5, 1, 2, 5)):
        self.half_period = np.float32((1000.0 / freq) / 0.16)
        angle = np.arange(POINTS) * 3.14159265 / float(self.half_period)
        self.sine = np.sin(angle)
        self.cosine = np.cos(angle)
        self.shunt = shunt
        self.levels = 4096.0 * (np.asarray(thresholds, dtype=float) * shunt / 10.0) / 1000.0
        self.last_segment = 9 if freq == 50 else 11
        a = np.arange(self.last_segment + 2, dtype=np.float32)
        self.bounds_from = a * self.half_period  # segment a starts at a x HalfPeriod + offset

    def block(self, raw):
        codes = raw[: 4 * (POINTS + 4)].astype(np.int32)
        x = ((codes & 0x1FFF) - 2048).reshape(-1, 4).T.astype(np.float64)  # (4, 1254)
        m = np.lib.stride_tricks.sliding_window_view(x, 5, axis=1).sum(axis=2)[:, :POINTS]
        centre = x[:, 2 : POINTS + 2]
        mag = np.abs(centre)
        ma = 10.0 / 4096.0 / self.shunt  # mA per count, / 1000

        fhc = np.abs(m / 5 - centre).sum(axis=1) * ma / 1.25
        dcc = m.sum(axis=1) / 5 * ma / 1.25
        sin_sum = m @ self.sine / POINTS * 2
        cos_sum = m @ self.cosine / POINTS * 2
        f1c = 2 * np.hypot(sin_sum, cos_sum) / 3.141592 / 5 * ma * 1000
        allc = mag.sum(axis=1) * ma / 1.25
        rms = np.sqrt((centre**2).mean(axis=1)) * 1000 * ma
        fitted = np.outer(sin_sum, self.sine) + np.outer(cos_sum, self.cosine) + m.mean(axis=1)[:, None]
        flc = np.abs(fitted - m).sum(axis=1) / 5 * ma / 1.25
        peak = mag.max(axis=1)
        peak_ma = peak * ma * 1000

        # Threshold statistics: a level counts only while every lower one does.
        reached = mag[:, None, :] >= self.levels[None, :, None]  # (channel, level, sample)
        live = np.cumprod(peak[:, None] >= self.levels[None, :], axis=1).astype(bool)
        times = reached.sum(axis=2) * live
        halves = np.zeros((4, 4), dtype=np.int64)
        offset = 0
        hp = self.half_period
        for ch in range(4):
            if not live[ch, 0]:
                continue
            if sin_sum[ch] != 0:
                phi = np.arctan(cos_sum[ch] / sin_sum[ch])
                offset = int(np.rint((2 - phi / 3.1415) * hp)) % int(np.rint(hp))
            edges = np.rint(self.bounds_from + np.float32(offset)).astype(np.int64)
            for a in range(self.last_segment + 1):
                positions = np.arange(edges[a], edges[a + 1] + 1) % POINTS
                halves[ch] += reached[ch][:, positions].any(axis=1)
            halves[ch] *= live[ch]
        return np.stack([fhc, f1c, flc, dcc, allc, rms, peak_ma]), times, halves


def print_values(blocks, analysis):
    print("block,channel,Fhc,F1c,Flc,DCc,ALLc,Rms,peak_mA,time0,time1,time2,time3,half0,half1,half2,half3")
    for b, raw in enumerate(blocks):
        values, times, halves = analysis.block(raw)
        for ch in range(4):
            cells = [f"{v:.9g}" for v in values[:, ch]] + [str(int(v)) for v in times[ch]] + [str(int(v)) for v in halves[ch]]
            print(f"{b},{ch}," + ",".join(cells))


def time_blocks(blocks, analysis, repeat):
    for raw in blocks:  # warm up
        analysis.block(raw)
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(repeat):
        for raw in blocks:
            analysis.block(raw)
    n = repeat * len(blocks)
    return (time.perf_counter() - wall) / n * 1e6, (time.process_time() - cpu) / n * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["make", "values", "time"])
    parser.add_argument("file")
    parser.add_argument("--blocks", type=int, default=16)
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()
    if args.command == "make":
        make_blocks(args.file, args.blocks)
        return
    blocks = read_blocks(args.file)
    analysis = Analysis()
    if args.command == "values":
        print_values(blocks, analysis)
    else:
        wall, cpu = time_blocks(blocks, analysis, args.repeat)
        print(json.dumps({"blocks": len(blocks), "us_per_block": wall, "cpu_us_per_block": cpu}))


if __name__ == "__main__":
    main()
