// Grid and trace points of the waveform graph.  Expected pixel rows are
// worked by hand from the picture geometry (1000 x 330 pixels, baseline 165
// for the bipolar card, 330 for the unipolar card); one grid row is
// 330 / 26 = 12.6923 pixels.
#include "graph/graph.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "text/numforms.h"

namespace varnel::graph {
namespace {

constexpr GraphGeometry kBipolar{1000.0f, 330.0f, 165};
constexpr GraphGeometry kUnipolar{1000.0f, 330.0f, 330};

struct DrawnLine {
  GridLine line;
  Rgb colour;
};
struct DrawnTrace {
  std::vector<GraphPoint> points;
  const GraphPoint* data;
  Rgb colour;
};

class RecordingCanvas : public GraphCanvas {
 public:
  std::vector<std::string> calls;
  std::vector<DrawnLine> lines;
  std::vector<DrawnTrace> traces;

  void Clear() override { calls.push_back("clear"); }
  void Line(const GridLine& line, Rgb colour) override {
    calls.push_back("line");
    lines.push_back({line, colour});
  }
  void Polyline(std::span<const GraphPoint> points, Rgb colour) override {
    calls.push_back("polyline");
    traces.push_back({{points.begin(), points.end()}, points.data(), colour});
  }
  void Refresh() override { calls.push_back("refresh"); }
};

// A store whose every sample of channel j is values[j].
WaveStore FlatStore(int channels, const std::vector<int16_t>& values) {
  WaveStore w(channels);
  for (int j = 0; j < channels && j < static_cast<int>(values.size()); ++j)
    for (int i = 0; i < WaveStore::kSamples; ++i) w.Set(i, j, values[static_cast<std::size_t>(j)]);
  return w;
}

MeasureState StateWith(int16_t groupCount, WaveStore waves, GraphGeometry g = kBipolar) {
  MeasureState s;
  s.graph = g;
  s.groupCount = groupCount;
  s.waves = std::move(waves);
  return s;
}

TEST(GraphGrid, TwentySixRowsAndEightColumnsInGreyAcrossThePicture) {
  const auto lines = GridLines(kBipolar);
  ASSERT_EQ(lines.size(), 32u);
  // Horizontal line 5 (from the top) at 5 x 330 / 26 = 63.4615, full width.
  EXPECT_FLOAT_EQ(lines[4].y1, 63.461540f);
  EXPECT_FLOAT_EQ(lines[4].y2, 63.461540f);
  EXPECT_EQ(lines[4].x1, 0.0f);
  EXPECT_EQ(lines[4].x2, 1000.0f);
  EXPECT_FLOAT_EQ(lines[24].y1, 317.30769f);  // line 25, the last
  // Vertical lines at 125, 250, ... 875 from top to bottom.
  EXPECT_EQ(lines[25].x1, 125.0f);
  EXPECT_EQ(lines[31].x1, 875.0f);
  EXPECT_EQ(lines[31].y1, 0.0f);
  EXPECT_EQ(lines[31].y2, 330.0f);
  EXPECT_EQ(GridColour(), (Rgb{128, 128, 128}));
}

TEST(GraphColours, PaletteCyclesEveryEightChannelsFromLightRed) {
  const Rgb expected[8] = {{255, 0, 0},   {255, 0, 255}, {255, 255, 0}, {255, 255, 255},
                           {128, 128, 128}, {0, 0, 255},  {0, 255, 0},   {0, 255, 255}};
  for (int j = 0; j < 16; ++j) EXPECT_EQ(TraceColour(j), expected[j % 8]) << "channel " << j;
  EXPECT_EQ(TracePaletteIndex(0), 12);
  EXPECT_EQ(TracePaletteIndex(4), 8);
  EXPECT_EQ(TracePaletteIndex(7), 11);
}

TEST(GraphPoints, BipolarZeroLinesOfChannelsZeroAndFifteenSitOnGridLinesFiveAndTwenty) {
  // Grid line 5 at 63.46 -> pixel 63; line 20 at 253.85 -> pixel 254.
  EXPECT_EQ(TraceY(0, 0, kBipolar), 63);
  EXPECT_EQ(TraceY(0, 15, kBipolar), 254);
  EXPECT_EQ(TraceY(0, 8, kBipolar), 165);  // the baseline itself
}

TEST(GraphPoints, UnipolarZeroLinesFallRowsLowerAndLeaveThePictureFromChannelEight) {
  // (j + 18) x 330 / 26: channel 0 at 228.46, channel 7 at 317.31, channel 8 at 330.
  EXPECT_EQ(TraceY(0, 0, kUnipolar), 228);
  EXPECT_EQ(TraceY(0, 7, kUnipolar), 317);
  EXPECT_EQ(TraceY(0, 8, kUnipolar), 330);
}

TEST(GraphPoints, SampleAbove4095IsDrawnBaselineBelowTheZeroLine) {
  // Bipolar: 165 pixels below; unipolar: 330 pixels below.
  EXPECT_EQ(TraceY(4096, 8, kBipolar), 330);
  EXPECT_EQ(TraceY(6143, 8, kBipolar), 330);
  EXPECT_EQ(TraceY(4096, 8, kUnipolar), 660);
  EXPECT_EQ(TraceY(4096, 0, kBipolar), 228);  // 63.46 + 165 = 228.46
  // 4095 is still scaled: 4095 x 330 / 4096 = 329.92 -> 330 above the line.
  EXPECT_EQ(TraceY(4095, 8, kBipolar), -165);
}

TEST(GraphPoints, FullNegativeSwingLiesHalfThePictureBelowTheZeroLine) {
  // -2048 counts (raw code 0) scale to -165 pixels: 165 below, positive up.
  EXPECT_EQ(TraceY(-2048, 8, kBipolar), 330);
  EXPECT_EQ(TraceY(-2048, 0, kBipolar), 228);
  EXPECT_EQ(TraceY(-2048, 8, kUnipolar), 495);
  EXPECT_EQ(TraceY(1024, 8, kBipolar), 83);  // 1024 x 330 / 4096 = 82.5 -> 82 (to even)
}

TEST(GraphPoints, HalvesRoundToEvenBothInTheScaleAndInThePosition) {
  // Height 64: one count is 1/64 pixel; 32 counts = 0.5 -> 0, 96 = 1.5 -> 2.
  const GraphGeometry g{100.0f, 64.0f, 32};
  EXPECT_EQ(TraceY(32, 8, g), 32);
  EXPECT_EQ(TraceY(96, 8, g), 30);
  EXPECT_EQ(TraceY(-32, 8, g), 32);
  // Height 13: rows of 0.5 pixel; channel 9 at 6.5 -> 6, channel 11 at 7.5 -> 8.
  const GraphGeometry h{100.0f, 13.0f, 6};
  EXPECT_EQ(TraceY(0, 9, h), 6);
  EXPECT_EQ(TraceY(0, 11, h), 8);
}

TEST(GraphPoints, PointCountIsTheNearestWidthButNeverMoreThan1001) {
  EXPECT_EQ(PointCount(1000.0f), 1000);
  EXPECT_EQ(PointCount(1001.0f), 1001);
  EXPECT_EQ(PointCount(1400.0f), 1001);
  EXPECT_EQ(PointCount(999.5f), 1000);  // tie to even
  EXPECT_EQ(PointCount(998.5f), 998);
  EXPECT_EQ(PointCount(0.0f), 0);
  EXPECT_EQ(PointCount(-5.0f), 0);
  EXPECT_EQ(PointCount(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(GraphPlot, WidthThousandDrawsPointsZeroTo999AndComputesPoint1000) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  WaveStore w(4);
  for (int i = 0; i < WaveStore::kSamples; ++i) w.Set(i, 0, static_cast<int16_t>(i));
  plotter.Plot(kBipolar, w, 4);
  ASSERT_EQ(canvas.traces.size(), 4u);
  const auto& pts = canvas.traces[0].points;
  ASSERT_EQ(pts.size(), 1000u);
  EXPECT_EQ(pts.front().x, 0);
  EXPECT_EQ(pts.back().x, 999);
  // Sample 999 of channel 0: 63.46 - round16(999 x 330 / 4096 = 80.49 -> 80) = -16.54 -> -17.
  EXPECT_EQ(pts.back().y, -17);
  // The last trace drawn was channel 3; its point 1000 was computed as well.
  EXPECT_EQ(plotter.Points()[1000].x, 1000);
}

TEST(GraphPlot, PictureWiderThan1001PixelsStillGets1001Points) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  plotter.Plot({1600.0f, 330.0f, 165}, WaveStore(4), 4);
  ASSERT_EQ(canvas.traces.size(), 4u);
  for (const auto& t : canvas.traces) {
    ASSERT_EQ(t.points.size(), 1001u);
    EXPECT_EQ(t.points.back().x, 1000);
  }
}

TEST(GraphPlot, EveryTraceIsOnePolylineFromTheSameBufferInItsColourAfterClearAndGrid) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  PolModeForm form = MakeDesignForm();
  const MeasureState s = StateWith(4, FlatStore(16, {}));
  PlotData(plotter, form, s);

  // Clear, 32 grid lines, 16 polylines, refresh.
  ASSERT_EQ(canvas.calls.size(), 1u + 32u + 16u + 1u);
  EXPECT_EQ(canvas.calls.front(), "clear");
  EXPECT_EQ(canvas.calls[1], "line");
  EXPECT_EQ(canvas.calls[33], "polyline");
  EXPECT_EQ(canvas.calls.back(), "refresh");
  for (const auto& l : canvas.lines) EXPECT_EQ(l.colour, (Rgb{128, 128, 128}));
  for (std::size_t j = 0; j < canvas.traces.size(); ++j) {
    EXPECT_EQ(canvas.traces[j].data, plotter.Points().data()) << "trace " << j;
    EXPECT_EQ(canvas.traces[j].colour, TraceColour(static_cast<int>(j)));
    // A silent channel is a flat line on its zero line: row j + 5.
    const int row = static_cast<int>(text::RoundHalfEven((static_cast<double>(j) + 5) * 330.0 / 26.0));
    EXPECT_EQ(canvas.traces[j].points[500].y, row) << "trace " << j;
  }
}

TEST(GraphPlot, OneGroupDrawsFourTracesOnRowsFiveToEight) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  PlotData(plotter, MakeDesignForm(), StateWith(1, FlatStore(4, {})));
  ASSERT_EQ(canvas.traces.size(), 4u);
  EXPECT_EQ(canvas.traces[0].points[0].y, 63);   // row 5: 63.46
  EXPECT_EQ(canvas.traces[3].points[0].y, 102);  // row 8: 101.54
}

TEST(GraphPlot, UpdateSwitchedOffLeavesThePictureUntouched) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  PolModeForm form = MakeDesignForm();
  form.Check2.checked = false;
  PlotData(plotter, form, StateWith(4, FlatStore(16, {100, 200})));
  EXPECT_TRUE(canvas.calls.empty());
}

TEST(GraphPlot, ChannelsTheStoreDoesNotHoldYetGetNoTrace) {
  // "16ch" chosen while the store still holds the four channels of "4ch".
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  PlotData(plotter, MakeDesignForm(), StateWith(4, FlatStore(4, {0, 0, 0, 0})));
  ASSERT_EQ(canvas.traces.size(), 4u);
  EXPECT_EQ(canvas.traces[3].colour, TraceColour(3));
  // And "4ch" chosen while the store still holds sixteen: only four traces.
  RecordingCanvas second;
  GraphPlotter p2(second);
  PlotData(p2, MakeDesignForm(), StateWith(1, FlatStore(16, {})));
  EXPECT_EQ(second.traces.size(), 4u);
  // An empty store draws the grid and nothing else.
  RecordingCanvas third;
  GraphPlotter p3(third);
  PlotData(p3, MakeDesignForm(), StateWith(4, WaveStore(0)));
  EXPECT_TRUE(third.traces.empty());
  EXPECT_EQ(third.lines.size(), 32u);
}

TEST(GraphPlot, NoCardGeometryDrawsWithoutFault) {
  // Before a card is found the baseline stays 0: traces still computed.
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  plotter.Plot({1000.0f, 330.0f, 0}, FlatStore(4, {0, 4096, -2048, 2047}), 4);
  ASSERT_EQ(canvas.traces.size(), 4u);
  EXPECT_EQ(canvas.traces[1].points[0].y, -89);   // -88.85 + 0 - 0 (s = -0)
  EXPECT_EQ(canvas.traces[2].points[0].y, 89);    // -76.15 + 165 = 88.85
  EXPECT_EQ(canvas.traces[3].points[0].y, -228);  // -63.46 - round(164.92) = -228.46
}

// The plotter looks trace points up in rows it keeps per geometry; every
// point must still be TraceY of its sample, for every count an int16 can
// hold, in every geometry, also after the geometry changes under it.
TEST(GraphPoints, LookedUpTracesEqualTraceYOfEverySample) {
  const GraphGeometry geometries[] = {kBipolar, kUnipolar, {1000.0f, 330.0f, 0}, {100.0f, 13.0f, 6},
                                      {1000.0f, 330.0f, 165}};
  // Raw codes 0, 4095, 4096 and 8191 (counts -2048, 2047, 2048, 6143), the
  // edges of the kept rows and the ends of int16, then random counts.
  std::vector<int16_t> counts = {-2048, 2047, 2048, 6143, -2049, 4095, 4096, 4097, -1, 0, 1, -32768, 32767};
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::uniform_int_distribution<int> card(-2048, 6143);
  while (counts.size() < static_cast<std::size_t>(WaveStore::kSamples))
    counts.push_back(static_cast<int16_t>(counts.size() % 3 == 0 ? any(rng) : card(rng)));
  WaveStore w(kMaxChannels + 2);  // two channels beyond the kept rows
  for (int j = 0; j < w.Channels(); ++j)
    for (int i = 0; i < WaveStore::kSamples; ++i)
      w.Set(i, j, counts[static_cast<std::size_t>((i + 37 * j) % WaveStore::kSamples)]);

  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  for (const GraphGeometry& g : geometries) {
    for (int j = 0; j < w.Channels(); ++j) {
      ASSERT_TRUE(plotter.ComputeTrace(g, w, j));
      for (int i = 0; i < kTracePoints; ++i) {
        const GraphPoint want{i, TraceY(w.At(i, j), j, g)};
        ASSERT_EQ(plotter.Points()[static_cast<std::size_t>(i)], want)
            << "sample " << i << " counts " << w.At(i, j) << " channel " << j << " height " << g.height
            << " zero line " << g.zeroLineY;
      }
    }
  }
}

TEST(GraphPlot, DrawScaleAddsTheGridWithoutClearing) {
  RecordingCanvas canvas;
  GraphPlotter plotter(canvas);
  DrawScale(plotter, StateWith(4, WaveStore(16)));
  EXPECT_EQ(canvas.calls.size(), 33u);
  EXPECT_EQ(canvas.calls.front(), "line");
  EXPECT_EQ(canvas.calls.back(), "refresh");
}

}  // namespace
}  // namespace varnel::graph
