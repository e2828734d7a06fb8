#include "graph/graph.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "text/numforms.h"

namespace varnel::graph {

namespace {

constexpr std::array<Rgb, 16> kPalette{{
    {0, 0, 0},        // 0 black
    {0, 0, 128},      // 1 blue
    {0, 128, 0},      // 2 green
    {0, 128, 128},    // 3 cyan
    {128, 0, 0},      // 4 red
    {128, 0, 128},    // 5 magenta
    {128, 128, 0},    // 6 brown
    {192, 192, 192},  // 7 light grey
    {128, 128, 128},  // 8 grey
    {0, 0, 255},      // 9 light blue
    {0, 255, 0},      // 10 light green
    {0, 255, 255},    // 11 light cyan
    {255, 0, 0},      // 12 light red
    {255, 0, 255},    // 13 light magenta
    {255, 255, 0},    // 14 yellow
    {255, 255, 255},  // 15 bright white
}};

// Nearest integer, ties to even, held to the range of T.  The geometry comes
// from the window and is small; holding to the range only keeps an absurd
// picture size from wrapping around.
template <typename T>
T NearestSaturated(float value) {
  if (std::isnan(value)) return 0;
  const double r = text::RoundHalfEven(static_cast<double>(value));
  if (r <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (r >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(r);
}

// Bit for bit, so a geometry with a NaN in it is still the same geometry.
bool SameGeometry(const GraphGeometry& a, const GraphGeometry& b) {
  return std::bit_cast<uint32_t>(a.width) == std::bit_cast<uint32_t>(b.width) &&
         std::bit_cast<uint32_t>(a.height) == std::bit_cast<uint32_t>(b.height) && a.zeroLineY == b.zeroLineY;
}

int PlotChannels(const MeasureState& state) {
  return std::clamp(4 * static_cast<int>(state.groupCount), 0, kMaxChannels);
}

}  // namespace

std::array<GridLine, kGridLines> GridLines(const GraphGeometry& g) {
  std::array<GridLine, kGridLines> lines{};
  std::size_t n = 0;
  // Counters and coordinates are singles, as the grid has always been drawn.
  for (float i = 1; i <= static_cast<float>(kGridRows - 1); i += 1) {
    const float y = i * g.height / static_cast<float>(kGridRows);
    lines[n++] = {0, y, g.width, y};
  }
  for (float i = 1; i <= static_cast<float>(kGridColumns - 1); i += 1) {
    const float x = i * g.width / static_cast<float>(kGridColumns);
    lines[n++] = {x, 0, x, g.height};
  }
  return lines;
}

Rgb PaletteColour(int paletteIndex) { return kPalette[static_cast<std::size_t>(paletteIndex & 15)]; }

int TracePaletteIndex(int channel) { return ((channel + 4) & 7) | 8; }

int PointCount(float width) {
  if (!(width > 0) || !std::isfinite(width)) return 0;
  const double n = text::RoundHalfEven(static_cast<double>(width));
  return n >= kTracePoints ? kTracePoints : static_cast<int>(n);
}

int32_t TraceY(int16_t counts, int channel, const GraphGeometry& g) {
  float scaled;
  if (counts > 4095) {
    scaled = -static_cast<float>(g.zeroLineY);
  } else {
    scaled = static_cast<float>(static_cast<int32_t>(counts) * 8) * g.height / 32768.0f;
  }
  const int32_t baseline = static_cast<int32_t>(g.zeroLineY) - NearestSaturated<int16_t>(scaled);
  const float y = (g.height / static_cast<float>(kGridRows)) * static_cast<float>(channel - 8) +
                  static_cast<float>(baseline);
  return NearestSaturated<int32_t>(y);
}

void GraphPlotter::DrawGrid(const GraphGeometry& geometry) {
  const Rgb grey = GridColour();
  for (const GridLine& line : GridLines(geometry)) canvas_.Line(line, grey);
}

void GraphPlotter::DrawScale(const GraphGeometry& geometry) {
  DrawGrid(geometry);
  canvas_.Refresh();
}

const int32_t* GraphPlotter::TraceRow(const GraphGeometry& geometry, int channel) {
  if (channel < 0 || channel >= kMaxChannels) return nullptr;
  if (!SameGeometry(geometry, rowGeometry_)) {
    rowGeometry_ = geometry;
    rowReady_.fill(false);
  }
  if (rows_.empty()) rows_.resize(static_cast<std::size_t>(kMaxChannels) * kTraceRowLength);
  int32_t* row = rows_.data() + static_cast<std::size_t>(channel) * kTraceRowLength;
  if (!rowReady_[static_cast<std::size_t>(channel)]) {
    for (int k = 0; k < kTraceRowLength; ++k) row[k] = TraceY(static_cast<int16_t>(kTraceRowFirst + k), channel, geometry);
    rowReady_[static_cast<std::size_t>(channel)] = true;
  }
  return row;
}

bool GraphPlotter::ComputeTrace(const GraphGeometry& geometry, const WaveStore& waves, int channel) {
  if (!waves.Holds(channel)) return false;
  static_assert(kTracePoints <= WaveStore::kSamples);
  const int32_t* row = TraceRow(geometry, channel);
  for (int i = 0; i < kTracePoints; ++i) {
    const int16_t counts = waves.At(i, channel);
    int32_t y;
    if (row == nullptr || counts < kTraceRowFirst) {
      y = TraceY(counts, channel, geometry);
    } else {
      // Every count above 4095 is drawn alike: the row's last entry.
      y = row[std::min<int>(counts - kTraceRowFirst, kTraceRowLength - 1)];
    }
    points_[static_cast<std::size_t>(i)] = {i, y};
  }
  return true;
}

void GraphPlotter::Plot(const GraphGeometry& geometry, const WaveStore& waves, int channels) {
  canvas_.Clear();
  DrawGrid(geometry);
  const auto count = static_cast<std::size_t>(PointCount(geometry.width));
  for (int j = 0; j < channels; ++j) {
    if (!ComputeTrace(geometry, waves, j)) continue;
    if (count > 0) canvas_.Polyline(std::span<const GraphPoint>(points_.data(), count), TraceColour(j));
  }
  canvas_.Refresh();
}

void DrawScale(GraphPlotter& plotter, const MeasureState& state) { plotter.DrawScale(state.graph); }

void PlotData(GraphPlotter& plotter, const PolModeForm& form, const MeasureState& state) {
  if (!form.Check2.checked) return;
  plotter.Plot(state.graph, state.waves, PlotChannels(state));
}

}  // namespace varnel::graph
