#!/usr/bin/env python3
"""Runs Varnel in a prepared site folder and times its measurement cycles
from the driver side.

The window shows no cycle counter, so the cycles are counted where every one
of them must pass: the card's driver interface.  Varnel reaches the card's
driver (here the card stand-in) through a Unix-domain socket in the device
folder named by QDA7100_DEVICE_DIR.  This script puts a tap in between: it
serves the device socket in a folder of its own, forwards every byte to the
stand-in's socket and back unchanged, and stamps each request and reply frame
(32-byte header "QDA1", platform/device/wire.h) with a monotonic clock on
arrival.  One cycle of Varnel is, on this interface:

  SET_DATA_MEM request/reply  AdAllocDataMem at the start of the cycle
  (10 ms arming timer)
  START_POL request           AdStartPolModeThread: the acquisition starts
  START_POL completed         the block is complete (its samples follow)
  (the block is copied, analysed, stored, the graph drawn at the end of a
   sweep, the pause timer armed; then the Text2 pause)
  SET_DATA_MEM request        the next cycle

so every START_POL completion is one cycle, and per cycle:

  period        START_POL request to the next START_POL request
  arming        SET_DATA_MEM reply to START_POL request
  acquisition   START_POL request to its completion
  after         START_POL completion to the next SET_DATA_MEM request:
                the processing of the block plus the Text2 pause

The processing per block is `after` less the Text2 pause.  Varnel's CPU
time per cycle (utime + stime from /proc) is given beside it.  The resident
memory is VmRSS from /proc/<pid>/status, read when the count of completed
cycles reaches each of the --rss-at counts.
"""
import argparse
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

GUID = "{86114980-FD95-11D2-9D9A-0008C76B2933}"
MAGIC = 0x31414451
HEADER = struct.Struct("<IHHQIIII")  # magic, kind, reserved, id, word1, word2, payloadLen, reserved
REQUEST, CANCEL, COMPLETED, PENDING = 1, 2, 3, 4


def request_code(fn):
    return 0x854B2000 + 4 * (fn - 0x800)


SET_DATA_MEM = request_code(0x804)
START_POL = request_code(0x80A)


class Tap:
    """Serves the device socket in `tap_dir` and forwards to `upstream`."""

    def __init__(self, tap_dir, upstream):
        self.upstream = upstream
        self.lock = threading.Lock()
        self.events = []  # (time, what) with what in alloc_req, alloc_done, start_req, start_done
        self.codes = {}  # (connection, request id) -> control code
        self.done = 0  # START_POL completions
        os.makedirs(tap_dir, mode=0o700, exist_ok=True)
        path = os.path.join(tap_dir, GUID + "-0")
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        os.chmod(path, 0o600)
        self.server.listen(8)
        threading.Thread(target=self._accept, daemon=True).start()

    def completed_cycles(self):
        with self.lock:
            return self.done

    def _accept(self):
        n = 0
        while True:
            client, _ = self.server.accept()
            up = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            up.connect(self.upstream)
            n += 1
            threading.Thread(target=self._pump, args=(client, up, n, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(up, client, n, False), daemon=True).start()

    def _note(self, conn, header, to_driver, now):
        magic, kind, _, rid, word1, _, _, _ = header
        if magic != MAGIC:
            return
        with self.lock:
            if to_driver and kind == REQUEST:
                self.codes[(conn, rid)] = word1
                if word1 == SET_DATA_MEM:
                    self.events.append((now, "alloc_req"))
                elif word1 == START_POL:
                    self.events.append((now, "start_req"))
            elif not to_driver and kind == COMPLETED:
                code = self.codes.pop((conn, rid), None)
                if code == SET_DATA_MEM:
                    self.events.append((now, "alloc_done"))
                elif code == START_POL:
                    self.events.append((now, "start_done"))
                    self.done += 1

    def _pump(self, src, dst, conn, to_driver):
        pending = b""
        need = HEADER.size  # bytes until the next header ends
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                now = time.monotonic()
                # Noted before it is passed on: the answer it causes cannot
                # be noted first.
                pending += data
                # Walk the frames: header, then its payload.
                while len(pending) >= need:
                    if need == HEADER.size:
                        header = HEADER.unpack_from(pending)
                        self._note(conn, header, to_driver, now)
                        payload = header[6]
                        pending = pending[HEADER.size:]
                        need = payload if payload else HEADER.size
                        if payload == 0:
                            continue
                    else:
                        pending = pending[need:]
                        need = HEADER.size
                dst.sendall(data)
        except OSError:
            pass
        finally:
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


def proc_status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def ms(values):
    return f"mean {statistics.mean(values) * 1000:.2f} ms (median {statistics.median(values) * 1000:.2f}, " \
           f"min {min(values) * 1000:.2f}, max {max(values) * 1000:.2f})"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--site", required=True, help="site folder (working directory of Varnel)")
    p.add_argument("--varnel", required=True)
    p.add_argument("--device-dir", required=True, help="folder of the card stand-in's device socket")
    p.add_argument("--cycles", type=int, required=True, help="stop after this many completed cycles")
    p.add_argument("--rss-at", default="100", help="cycle counts at which VmRSS is read, comma separated")
    p.add_argument("--pause-ms", type=float, default=20.0, help="Text2 pause of the cycle")
    p.add_argument("--groups", type=int, default=4, help="blocks per sweep")
    p.add_argument("--label", default="run")
    p.add_argument("--first-cycle-timeout", type=float, default=120.0)
    a = p.parse_args()
    # The tap's threads hand the interpreter to each other at once: a frame
    # waiting for a busy thread would be counted in the cycle it delays.
    sys.setswitchinterval(0.0001)
    rss_at = sorted({int(x) for x in a.rss_at.split(",") if x})

    tap_dir = os.path.join(a.site, "tap")
    tap = Tap(tap_dir, os.path.join(a.device_dir, GUID + "-0"))
    env = dict(os.environ, QDA7100_DEVICE_DIR=tap_dir)
    with open(os.path.join(a.site, "varnel.log"), "wb") as log:
        proc = subprocess.Popen([a.varnel], cwd=a.site, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    started = time.monotonic()
    rss = {}
    cpu_at_first = None
    try:
        while True:
            n = tap.completed_cycles()
            if n >= 1 and cpu_at_first is None:
                cpu_at_first = (n, cpu_seconds(proc.pid))
            for k in rss_at:
                if k not in rss and n >= k:
                    rss[k] = (n, proc_status_kib(proc.pid, "VmRSS"))
            if n >= a.cycles:
                cpu_at_end = (n, cpu_seconds(proc.pid))
                proc.send_signal(signal.SIGSTOP)  # no further cycles in the figures
                break
            if proc.poll() is not None:
                sys.exit(f"timing: Varnel ended with status {proc.returncode} after {n} cycles")
            if n == 0 and time.monotonic() - started > a.first_cycle_timeout:
                sys.exit(f"timing: no cycle within {a.first_cycle_timeout:.0f} s")
            time.sleep(0.002)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()

    with tap.lock:
        events = sorted(tap.events)
    # Cycle k: its alloc, start request, start completion, and the next
    # cycle's alloc request.  The first cycle also sets the card up: left out.
    cycles = []
    current = {}
    done = 0
    for i, (t, what) in enumerate(events):
        if what == "start_done":
            done += 1
            if done > a.cycles:
                events = events[:i]
                break
    for t, what in events:
        if what == "alloc_req" and "start_done" in current:
            current["next_alloc"] = t
            cycles.append(current)
            current = {}
        current.setdefault(what, t)
        if what == "alloc_req":
            current["alloc_req"] = t
    # Cycle i acquires group i mod groups (the program's counter and the
    # stand-in's both start at group 0); the last group ends the sweep.
    for i, c in enumerate(cycles):
        c["group"] = i % a.groups
    complete = [c for c in cycles[1:] if {"alloc_done", "start_req", "start_done", "next_alloc"} <= c.keys()]
    starts = [t for t, what in events if what == "start_req"]
    periods = [b - a_ for a_, b in zip(starts[1:], starts[2:])]
    arming = [c["start_req"] - c["alloc_done"] for c in complete]
    acquisition = [c["start_done"] - c["start_req"] for c in complete]
    after = [c["next_alloc"] - c["start_done"] for c in complete]
    processing = [x - a.pause_ms / 1000 for x in after]
    sweep_end = [c["next_alloc"] - c["start_done"] - a.pause_ms / 1000 for c in complete if c["group"] == a.groups - 1]
    inside = [c["next_alloc"] - c["start_done"] - a.pause_ms / 1000 for c in complete if c["group"] != a.groups - 1]
    cpu = (cpu_at_end[1] - cpu_at_first[1]) / max(1, cpu_at_end[0] - cpu_at_first[0])

    print(f"[{a.label}] cycles: {max(tap.completed_cycles(), 0)} completed acquisitions "
          f"(START_POL completions at the driver interface); periods over {len(periods)}")
    print(f"[{a.label}] cycle period        {ms(periods)}")
    print(f"[{a.label}]   arming delay      {ms(arming)}")
    print(f"[{a.label}]   acquisition       {ms(acquisition)}")
    print(f"[{a.label}]   processing+pause  {ms(after)}")
    print(f"[{a.label}] processing per block (after less the {a.pause_ms:g} ms pause): {ms(processing)}")
    if sweep_end and inside:
        print(f"[{a.label}]   blocks inside a sweep {ms(inside)}")
        print(f"[{a.label}]   last block of a sweep (graph redrawn, snapshots checked) {ms(sweep_end)}")
    print(f"[{a.label}] Varnel CPU time per cycle: {cpu * 1000:.2f} ms")
    for k in rss_at:
        if k in rss:
            print(f"[{a.label}] VmRSS after {rss[k][0]} cycles: {rss[k][1]} kB")
    print(f"[{a.label}] result period_ms={statistics.mean(periods) * 1000:.3f} "
          f"arming_ms={statistics.mean(arming) * 1000:.3f} acquisition_ms={statistics.mean(acquisition) * 1000:.3f} "
          f"processing_ms={statistics.mean(processing) * 1000:.3f} cpu_ms={cpu * 1000:.3f}")


if __name__ == "__main__":
    main()
