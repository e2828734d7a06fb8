// The waveform graph of the main window as pure data: the grid of DrawScale
// and the trace points of PlotData.
//
// The picture uses pixels as its scale unit.  The grid is 26 rows by 8
// columns in grey; every channel index has one trace, stacked one grid row
// apart, its zero line at ZeroLineY + (channel - 8) x height / 26.  With the
// bipolar card (ZeroLineY = height / 2) channel 0 lies on grid line 5 and
// channel 15 on line 20; with the unipolar card (ZeroLineY = height) the
// zero lines of channels 8 and up fall below the picture.
//
// The drawing itself goes through GraphCanvas, which the Qt shell implements
// with QPainter on a persistent image and tests implement by recording.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "form/form.h"
#include "form/state.h"

namespace varnel::graph {

inline constexpr int kGridRows = 26;
inline constexpr int kGridColumns = 8;
// Points computed per trace; at most this many are drawn.
inline constexpr int kTracePoints = 1001;
// Palette index and colour of the grid lines.
inline constexpr int kGridPaletteIndex = 8;

// One grid line in picture scale units (single floats, as DrawScale forms
// them: the canvas maps them to pixels).
struct GridLine {
  float x1 = 0;
  float y1 = 0;
  float x2 = 0;
  float y2 = 0;
};
// The 25 horizontal lines (top to bottom), then the 7 vertical lines (left
// to right).
inline constexpr int kGridLines = (kGridRows - 1) + (kGridColumns - 1);
std::array<GridLine, kGridLines> GridLines(const GraphGeometry& geometry);

// The standard 16-colour palette (0 black .. 15 bright white).
Rgb PaletteColour(int paletteIndex);
// Palette index of a channel's trace: ((channel + 4) AND 7) OR 8, so
// channel 0 is light red, 3 white, 4 grey, 7 light cyan, 8 light red again.
int TracePaletteIndex(int channel);
inline Rgb TraceColour(int channel) { return PaletteColour(TracePaletteIndex(channel)); }
inline Rgb GridColour() { return PaletteColour(kGridPaletteIndex); }

// Points drawn per trace: the integer nearest to the width (ties to even),
// at most 1001; 0 for a width that is not a positive finite number.
int PointCount(float width);

// A point in device pixels: 32-bit x and y, the layout of the platform's
// polyline points.
struct GraphPoint {
  int32_t x;
  int32_t y;
  friend bool operator==(const GraphPoint&, const GraphPoint&) = default;
};

// y of a sample of `counts` (signed A/D counts) in the trace of `channel`.
// A sample above 4095 counts is drawn at the scaled value -ZeroLineY, that
// is ZeroLineY pixels below the channel's zero line; otherwise the scaled
// value is counts x 8 x height / 32768 (single), so 4096 counts span the
// picture height.  Positive currents go up.
int32_t TraceY(int16_t counts, int channel, const GraphGeometry& geometry);

// Drawing operations of the picture.
class GraphCanvas {
 public:
  virtual ~GraphCanvas() = default;
  // Fills the picture with its background colour.
  virtual void Clear() = 0;
  // A straight line in picture scale units.
  virtual void Line(const GridLine& line, Rgb colour) = 0;
  // One polyline through all `points`, in device pixels.
  virtual void Polyline(std::span<const GraphPoint> points, Rgb colour) = 0;
  // Makes the drawing visible now.
  virtual void Refresh() = 0;
};

// Draws grid and traces on a canvas.  It owns the one point buffer of 1001
// points that every trace reuses: a redraw allocates nothing and draws each
// trace with a single polyline call.
//
// The y of a sample depends only on its counts, its channel and the
// geometry, so the plotter keeps, for the geometry it last drew, the TraceY
// of every count a card delivers (-2048 .. 4095, and "above 4095") for each
// channel it has drawn: a trace point is then one look-up instead of two
// roundings.  Counts below -2048 are computed as they come.
class GraphPlotter {
 public:
  explicit GraphPlotter(GraphCanvas& canvas) : canvas_(canvas) {}

  // The grid over the current picture, without clearing it first.
  void DrawScale(const GraphGeometry& geometry);
  // Clears the picture, draws the grid and one trace for each channel index
  // 0 .. channels - 1.  A channel index that `waves` does not hold (right
  // after a change of the channel-count choice, before the store is sized
  // again) gets no trace at all: nothing is read outside the store and no
  // stale line is left standing for a circuit that is not measured.
  void Plot(const GraphGeometry& geometry, const WaveStore& waves, int channels);

  // Fills the point buffer for one channel index: x = i and y = TraceY of
  // sample i for i = 0..1000.  False (buffer unchanged) when `waves` does
  // not hold the channel.
  bool ComputeTrace(const GraphGeometry& geometry, const WaveStore& waves, int channel);
  std::span<const GraphPoint, kTracePoints> Points() const { return points_; }

 private:
  void DrawGrid(const GraphGeometry& geometry);
  // The look-up row of `channel` for `geometry` (rows of another geometry
  // are dropped first), made on first use; null for a channel beyond the
  // rows kept.
  const int32_t* TraceRow(const GraphGeometry& geometry, int channel);

  GraphCanvas& canvas_;
  std::array<GraphPoint, kTracePoints> points_{};
  // kTraceRowLength entries a channel: TraceY of counts kTraceRowFirst ..
  // 4095, then of any count above 4095.
  static constexpr int kTraceRowFirst = -2048;
  static constexpr int kTraceRowLength = 4096 - kTraceRowFirst + 1;
  GraphGeometry rowGeometry_{};
  std::array<bool, kMaxChannels> rowReady_{};
  std::vector<int32_t> rows_;
};

// The window's procedures over its state.
// DrawScale: the grid, at start-up.
void DrawScale(GraphPlotter& plotter, const MeasureState& state);
// PlotData: grid and the traces of channel indexes 0 .. 4 x GroupCount - 1;
// nothing at all (the picture keeps what it shows) when the graph update
// check box Check2 is not ticked.
void PlotData(GraphPlotter& plotter, const PolModeForm& form, const MeasureState& state);

}  // namespace varnel::graph
