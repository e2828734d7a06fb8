#!/usr/bin/env python3
"""Writes a SETDT.DAT settings record for a new site folder.

The measurement program reads it at start-up and writes it again at every
first start; this only gives a new site its first values.
"""
import argparse
import struct


def record(path, freq_index=0, data_interval=1, wave_interval=10, group_count=4, shunt=330.0,
           peak_level=1.0, thresholds=(0.5, 1, 2, 5, 10), binary=0, levels=(1.0,) * 16):
    raw_path = path.encode("cp932")
    out = struct.pack("<hhhhfh", freq_index, data_interval, wave_interval, group_count, shunt, len(path))
    out += raw_path
    out += struct.pack("<f", peak_level)
    out += struct.pack("<5f", *thresholds)
    out += struct.pack("<h", binary)
    out += struct.pack("<16f", *levels)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("file")
    p.add_argument("--data-path", required=True)
    p.add_argument("--data-interval", type=int, default=1)
    p.add_argument("--wave-interval", type=int, default=10)
    p.add_argument("--groups", type=int, default=4)
    p.add_argument("--binary", action="store_true")
    p.add_argument("--freq", type=int, choices=(50, 60), default=50)
    p.add_argument("--trigger-level", type=float, default=1.0,
                   help="waveform-save trigger of every channel, mA (the window's design value is 1)")
    a = p.parse_args()
    with open(a.file, "wb") as f:
        f.write(record(a.data_path, 0 if a.freq == 50 else 1, a.data_interval, a.wave_interval, a.groups,
                       binary=1 if a.binary else 0, levels=(a.trigger_level,) * 16))


if __name__ == "__main__":
    main()
