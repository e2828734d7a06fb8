#!/usr/bin/env python3
"""Runs Varnel in a prepared site folder and times its measurement cycles
from the driver side.

The window shows no cycle counter, so the cycles are counted where every one
of them must pass: the card's driver interface.  The card stand-in writes a
trace of it (qda7100-sim --trace FILE): a line, stamped with the monotonic
clock, for every request it receives and every completion it sends.  This
script follows that file while Varnel runs.  One cycle of Varnel is, on this
interface:

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
import statistics
import subprocess
import sys
import time


class TraceFollower:
    """Follows the card stand-in's trace file as it grows.

    Lines: "<seconds> <call> request <NAME>" and
    "<seconds> <call> complete <NAME> <status>" (sim/card/trace.h).
    """

    EVENTS = {("request", "IOCTL_AD_SET_DATA_MEM"): "alloc_req",
              ("complete", "IOCTL_AD_SET_DATA_MEM"): "alloc_done",
              ("request", "IOCTL_AD_START_POL"): "start_req",
              ("complete", "IOCTL_AD_START_POL"): "start_done"}

    def __init__(self, path):
        self.file = open(path, "rb")
        self.partial = b""
        self.events = []  # (time, what) with what in alloc_req, alloc_done, start_req, start_done
        self.done = 0  # START_POL completions

    def completed_cycles(self):
        """Reads what the trace has gained and returns the START_POL completions so far."""
        data = self.partial + self.file.read()
        lines = data.split(b"\n")
        self.partial = lines.pop()  # a line still being written
        for line in lines:
            words = line.decode().split()
            what = self.EVENTS.get((words[2], words[3])) if len(words) >= 4 else None
            if what is None:
                continue
            self.events.append((float(words[0]), what))
            if what == "start_done":
                self.done += 1
        return self.done


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
    p.add_argument("--trace", required=True, help="the card stand-in's trace file (qda7100-sim --trace)")
    p.add_argument("--cycles", type=int, required=True, help="stop after this many completed cycles")
    p.add_argument("--rss-at", default="100", help="cycle counts at which VmRSS is read, comma separated")
    p.add_argument("--pause-ms", type=float, default=20.0, help="Text2 pause of the cycle")
    p.add_argument("--groups", type=int, default=4, help="blocks per sweep")
    p.add_argument("--label", default="run")
    p.add_argument("--first-cycle-timeout", type=float, default=120.0)
    a = p.parse_args()
    rss_at = sorted({int(x) for x in a.rss_at.split(",") if x})

    trace = TraceFollower(a.trace)
    env = dict(os.environ, QDA7100_DEVICE_DIR=a.device_dir)
    with open(os.path.join(a.site, "varnel.log"), "wb") as log:
        proc = subprocess.Popen([a.varnel], cwd=a.site, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    started = time.monotonic()
    rss = {}
    cpu_at_first = None
    try:
        while True:
            n = trace.completed_cycles()
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

    trace.completed_cycles()  # the last lines before the stop
    events = trace.events
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

    print(f"[{a.label}] cycles: {trace.done} completed acquisitions "
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
