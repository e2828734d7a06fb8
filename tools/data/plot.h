// `varnel-data plot`: a waveform snapshot file rendered to a PNG with the
// measurement program's own graph drawing, framed by channel labels, a time
// axis and the vertical scale.
#pragma once

#include <QImage>

#include <string>

#include "form/state.h"

namespace varnel::tools {

struct PlotOptions {
  std::string title;        // shown above the graph (the file name)
  double shuntOhms = 0;     // > 0: channel peaks and the row scale in mA
  int cardType = 2;         // 2 bipolar (baseline at half height), 1 unipolar
  double intervalUs = 80;   // time per sample, microseconds
  int width = 1000;         // graph picture, pixels (the window's size by default)
  int height = 330;
};

// Margins around the graph picture inside the PNG.
inline constexpr int kPlotLeft = 128;
inline constexpr int kPlotTop = 30;
inline constexpr int kPlotRight = 24;
inline constexpr int kPlotBottom = 46;

// The geometry the window would have for this picture and card.
GraphGeometry PlotGeometry(const PlotOptions& options);

// The whole picture: the graph of every channel of `waves` at
// (kPlotLeft, kPlotTop), exactly as the window draws it, and the labels.
QImage RenderSnapshot(const WaveStore& waves, const PlotOptions& options);

// Text and fonts need a GUI application; a tool run has none, so one is made
// on the offscreen platform (no display needed).  Idempotent.
void EnsureGuiApplication();

}  // namespace varnel::tools
