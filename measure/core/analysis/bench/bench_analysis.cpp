// Cost of the block handling DTSyori: per block (one group of four channels)
// and per sweep over sixteen channels (four blocks).
//
// The blocks come from the raw block file named by VARNEL_BENCH_BLOCKS
// (little-endian 16-bit raw codes, blocks of 5040 samples), so that other
// implementations can be timed on exactly the same data; without it a
// deterministic set of 16 blocks is made here.  Each iteration copies a raw
// block into the sample block first (DTSyori converts it in place); that copy
// of 10 kB is part of the figure, as it is part of the cycle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/sweep.h"
#include "form/form.h"
#include "form/state.h"

namespace {

using varnel::SampleBlock;

constexpr std::size_t kBlockSamples = 5040;

std::vector<SampleBlock> MadeBlocks() {
  std::vector<SampleBlock> blocks;
  uint32_t seed = 12345;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>(seed >> 27) - 16;  // -16..15
  };
  for (int b = 0; b < 16; ++b) {
    SampleBlock block(varnel::kMinSampleBlock, 0);
    for (std::size_t i = 0; i < kBlockSamples; ++i) {
      const int k = static_cast<int>(i / 4);
      const int ch = static_cast<int>(i % 4);
      const double a = 200.0 * (1 + ch + b % 4);
      const double t = 2.0 * M_PI * k / 250.0;
      double v = a * std::sin(t + 0.3 * ch) + 0.2 * a * std::sin(3 * t) + 40.0;
      if (k % 97 == 0) v += 900;  // discharge spikes
      block[i] = static_cast<int16_t>(std::clamp(static_cast<int>(std::lround(v)) + noise() + 2048, 0, 8191));
    }
    blocks.push_back(std::move(block));
  }
  return blocks;
}

std::vector<SampleBlock> LoadBlocks() {
  const char* path = std::getenv("VARNEL_BENCH_BLOCKS");
  if (path == nullptr || *path == '\0') return MadeBlocks();
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<SampleBlock> blocks;
  const std::size_t blockBytes = 2 * kBlockSamples;
  for (std::size_t at = 0; at + blockBytes <= bytes.size(); at += blockBytes) {
    SampleBlock block(varnel::kMinSampleBlock, 0);
    for (std::size_t i = 0; i < kBlockSamples; ++i) {
      const auto lo = static_cast<uint8_t>(bytes[at + 2 * i]);
      const auto hi = static_cast<uint8_t>(bytes[at + 2 * i + 1]);
      block[i] = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
    }
    blocks.push_back(std::move(block));
  }
  return blocks.empty() ? MadeBlocks() : blocks;
}

const std::vector<SampleBlock>& Blocks() {
  static const std::vector<SampleBlock> blocks = LoadBlocks();
  return blocks;
}

struct Rig {
  explicit Rig(int groups) : sweep(form, state) {
    form = varnel::MakeDesignForm();
    state.groupCount = static_cast<int16_t>(groups);
    state.waves.Reset(4 * groups);
    varnel::analysis::BuildFrequencyTables(form, state.tables);
  }
  varnel::PolModeForm form;
  varnel::MeasureState state;
  varnel::analysis::Sweep sweep;
};

// One DTSyori: one block of four channels.
void BM_DTSyoriPerBlock(benchmark::State& s) {
  const auto& blocks = Blocks();
  Rig rig(1);
  std::size_t next = 0;
  for (auto _ : s) {
    rig.state.block = blocks[next];
    rig.sweep.DTSyori();
    benchmark::DoNotOptimize(rig.state.results[0].Fhc);
    next = (next + 1) % blocks.size();
  }
  s.SetItemsProcessed(static_cast<int64_t>(s.iterations()));
}
BENCHMARK(BM_DTSyoriPerBlock);

// Four DTSyori calls: one sweep over sixteen channels.
void BM_DTSyoriPer16ChannelSweep(benchmark::State& s) {
  const auto& blocks = Blocks();
  Rig rig(4);
  std::size_t next = 0;
  for (auto _ : s) {
    for (int g = 0; g < 4; ++g) {
      rig.state.block = blocks[next];
      rig.sweep.DTSyori();
      next = (next + 1) % blocks.size();
    }
    benchmark::DoNotOptimize(rig.state.results[15].Fhc);
  }
  s.SetItemsProcessed(static_cast<int64_t>(s.iterations()) * 4);
}
BENCHMARK(BM_DTSyoriPer16ChannelSweep);

// The sums of the four channels of a block, without labels, totals or
// statistics: the block kernel.
void BM_SumBlock(benchmark::State& s) {
  Rig rig(1);
  SampleBlock block = Blocks()[0];
  varnel::analysis::ConvertBlock(block);
  for (auto _ : s) benchmark::DoNotOptimize(varnel::analysis::SumBlock(block, rig.state.tables));
}
BENCHMARK(BM_SumBlock);

// The same sums one channel at a time, the straightforward way (the
// reference of the block kernel); four of these make a block.
void BM_SumChannel(benchmark::State& s) {
  Rig rig(1);
  SampleBlock block = Blocks()[0];
  varnel::analysis::ConvertBlock(block);
  std::array<int16_t, varnel::analysis::kSamplesRead> x;
  varnel::analysis::GatherChannel(block, 0, x);
  for (auto _ : s) benchmark::DoNotOptimize(varnel::analysis::SumChannel(x, rig.state.tables));
}
BENCHMARK(BM_SumChannel);

}  // namespace

BENCHMARK_MAIN();
