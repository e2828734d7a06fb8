#!/usr/bin/env python3
"""Writes the small site of the schema upgrade tests into FOLDER:

  site-v1.bdt                          three binary records, 4 channels
  ch2Peak3.25mA20050601-1201Wev.dat    one peak-triggered snapshot, 4 channels

Record r (0, 1, 2) is at 2005-06-01 12:00 + r minutes (site local time) and
holds values that are exact in single precision and in short decimals:
  weather k (0..7)                     10 r + k + 0.5
  channel c (0..3), component k (0..5) 100 (c + 1) + 10 r + k + 0.25
  channel c peak                       (c + 1) + r + 0.75
  channel c peak value k (1..8)        10 k + c + r
The snapshot's channel c has its largest |count| 150 (c + 1), at sample 500
(negative), and a smaller positive one at sample 100.
"""
import struct
import sys
from datetime import datetime
from pathlib import Path


def ole_date(t):
    return (t - datetime(1899, 12, 30)).total_seconds() / 86400.0


def record(r):
    values = [0.0] * 248
    for k in range(8):
        values[k] = 10 * r + k + 0.5
    for c in range(4):
        for k in range(6):
            values[8 + 6 * c + k] = 100 * (c + 1) + 10 * r + k + 0.25
        values[104 + 9 * c] = (c + 1) + r + 0.75
        for k in range(1, 9):
            values[104 + 9 * c + k] = 10 * k + c + r
    time = ole_date(datetime(2005, 6, 1, 12, 0)) + r / 1440.0
    return struct.pack("<d248f", time, *values)


def snapshot():
    samples = []
    for c in range(4):
        channel = [0] * 1256
        channel[100] = 100 * (c + 1)
        channel[500] = -150 * (c + 1)
        samples += channel
    return struct.pack("<hh", 1255, 3) + struct.pack("<%dh" % len(samples), *samples)


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "site-v1.bdt").write_bytes(b"".join(record(r) for r in range(3)))
    (folder / "ch2Peak3.25mA20050601-1201Wev.dat").write_bytes(snapshot())


if __name__ == "__main__":
    main()
