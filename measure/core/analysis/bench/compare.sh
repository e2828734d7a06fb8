#!/bin/sh
# Times the block handling DTSyori (Google Benchmark) and the same analysis
# written the usual numpy way on the same blocks, and prints both per-block
# times and their ratio.  It also runs varnel-analyse and the numpy code over
# those blocks and prints how far their values lie apart.
#
#   compare.sh [BUILD_DIR]     (default: the build folder of this checkout)
#
# Needs bench-analysis and varnel-analyse built in BUILD_DIR and Debian's
# python3-numpy (PYTHON overrides the interpreter, default /usr/bin/python3).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../../.." && pwd)
build=${1:-$root/build}
py=${PYTHON:-/usr/bin/python3}
bench=$build/bin/bench-analysis
analyse=$build/bin/varnel-analyse

for program in "$bench" "$analyse"; do
  if [ ! -x "$program" ]; then
    echo "compare.sh: $program is missing; build it first:" >&2
    echo "  cmake --build $build --target bench-analysis varnel-analyse" >&2
    exit 2
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

"$py" "$here/numpy_analysis.py" make "$tmp/blocks.raw" --blocks 16
VARNEL_BENCH_BLOCKS="$tmp/blocks.raw" "$bench" --benchmark_filter=DTSyori \
  --benchmark_out="$tmp/cpp.json" --benchmark_out_format=json >/dev/null
"$py" "$here/numpy_analysis.py" time "$tmp/blocks.raw" --repeat 50 >"$tmp/numpy.json"
"$analyse" "$tmp/blocks.raw" >"$tmp/cpp.csv"
"$py" "$here/numpy_analysis.py" values "$tmp/blocks.raw" >"$tmp/numpy.csv"

"$py" - "$tmp" <<'EOF'
import csv, json, os, sys
tmp = sys.argv[1]
scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
bench = json.load(open(os.path.join(tmp, "cpp.json")))["benchmarks"]
wall = {b["name"]: b["real_time"] * scale[b["time_unit"]] for b in bench}
cpu = {b["name"]: b["cpu_time"] * scale[b["time_unit"]] for b in bench}
numpy = json.load(open(os.path.join(tmp, "numpy.json")))
print(f"blocks: {numpy['blocks']} of 5040 samples (4 channels x 1260); times in us, CPU (wall)")
def line(name, c, w):
    print(f"{name:32s}{c:9.2f}  ({w:.2f})")
line("C++ DTSyori per block", cpu["BM_DTSyoriPerBlock"], wall["BM_DTSyoriPerBlock"])
line("C++ DTSyori per 16-ch sweep", cpu["BM_DTSyoriPer16ChannelSweep"], wall["BM_DTSyoriPer16ChannelSweep"])
line("  that is per block", cpu["BM_DTSyoriPer16ChannelSweep"] / 4, wall["BM_DTSyoriPer16ChannelSweep"] / 4)
line("numpy per block", numpy["cpu_us_per_block"], numpy["us_per_block"])
print(f"ratio numpy / C++ per block:    {numpy['cpu_us_per_block'] / cpu['BM_DTSyoriPerBlock']:9.1f}  "
      f"({numpy['us_per_block'] / wall['BM_DTSyoriPerBlock']:.1f})")

a = list(csv.DictReader(open(os.path.join(tmp, "cpp.csv"))))
b = list(csv.DictReader(open(os.path.join(tmp, "numpy.csv"))))
assert len(a) == len(b), "row counts differ"
worst = {}
for col in ("Fhc", "F1c", "Flc", "DCc", "ALLc", "Rms", "peak_mA"):
    worst[col] = max(abs(float(x[col]) - float(y[col])) for x, y in zip(a, b))
counts = [f"time{j}" for j in range(4)] + [f"half{j}" for j in range(4)]
same = sum(x[c] == y[c] for x, y in zip(a, b) for c in counts)
print("largest |varnel-analyse - numpy| in mA: " + ", ".join(f"{k} {v:.2g}" for k, v in worst.items()))
print(f"threshold counts equal: {same} of {len(a) * len(counts)}")
EOF
