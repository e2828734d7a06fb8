// The cost of redrawing the waveform picture once per sweep: the whole Plot
// on the window's image, and its parts (the points alone, the pixels alone).
#include <benchmark/benchmark.h>

#include <QImage>

#include <cmath>
#include <cstdint>
#include <random>

#include "graph/graph.h"
#include "image_canvas.h"

namespace varnel {
namespace {

constexpr GraphGeometry kBipolar{1000.0f, 330.0f, 165};

// Sixteen channels of a leakage-current-like sweep: a 50 Hz wave of a few
// hundred counts with noise, an occasional over-range sample.
WaveStore RealisticSweep() {
  WaveStore w(16);
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 20.0f);
  for (int j = 0; j < 16; ++j) {
    const float amplitude = 100.0f + 60.0f * static_cast<float>(j);
    for (int i = 0; i < WaveStore::kSamples; ++i) {
      float v = amplitude * std::sin(static_cast<float>(i) * 0.0628f + static_cast<float>(j)) + noise(rng);
      if (i % 397 == 0) v = 4096.0f;
      w.Set(i, j, static_cast<int16_t>(std::lround(v)));
    }
  }
  return w;
}

void BM_PlotSweep(benchmark::State& s) {
  const WaveStore waves = RealisticSweep();
  QImage image(1000, 330, QImage::Format_RGB32);
  graph_qt::ImageCanvas canvas(image);
  graph::GraphPlotter plotter(canvas);
  for (auto _ : s) {
    plotter.Plot(kBipolar, waves, 16);
    benchmark::DoNotOptimize(image.constBits());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PlotSweep);

// The picture without traces: clearing and the grid.
void BM_ClearAndGrid(benchmark::State& s) {
  QImage image(1000, 330, QImage::Format_RGB32);
  graph_qt::ImageCanvas canvas(image);
  graph::GraphPlotter plotter(canvas);
  for (auto _ : s) {
    plotter.Plot(kBipolar, WaveStore(), 16);
    benchmark::DoNotOptimize(image.constBits());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClearAndGrid);

// What the drawing costs without the pixels: a canvas that draws nothing.
class NullCanvas : public graph::GraphCanvas {
 public:
  void Clear() override {}
  void Line(const graph::GridLine&, Rgb) override {}
  void Polyline(std::span<const graph::GraphPoint> points, Rgb) override {
    benchmark::DoNotOptimize(points.data());
  }
  void Refresh() override {}
};

void BM_TracePoints(benchmark::State& s) {
  const WaveStore waves = RealisticSweep();
  NullCanvas canvas;
  graph::GraphPlotter plotter(canvas);
  for (auto _ : s) {
    plotter.Plot(kBipolar, waves, 16);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TracePoints);

}  // namespace
}  // namespace varnel

BENCHMARK_MAIN();
