// The waveform graph drawn with QPainter on an image: the canvas of the
// window's persistent picture and of the snapshot pictures of varnel-data.
#pragma once

#include <QColor>
#include <QImage>

#include <functional>

#include "graph/graph.h"

namespace varnel::graph_qt {

// Background of the picture: the traces' colours (white, yellow, light
// cyan) need a dark one.
inline const QColor kBackground{0, 0, 0};

// GraphCanvas over a QImage.  Grid lines are given in picture scale units
// and land on the nearest pixel; traces are drawn aliased, one pixel wide,
// through the exact device pixels of their points.
class ImageCanvas : public graph::GraphCanvas {
 public:
  explicit ImageCanvas(QImage& image, QColor background = kBackground) : image_(image), background_(background) {}

  void Clear() override;
  void Line(const graph::GridLine& line, Rgb colour) override;
  void Polyline(std::span<const graph::GraphPoint> points, Rgb colour) override;
  void Refresh() override {
    if (onRefresh) onRefresh();
  }

  // Called when the drawing should become visible (the widget repaints).
  std::function<void()> onRefresh;

 private:
  QImage& image_;
  QColor background_;
};

inline QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// The graph of channel indexes 0 .. channels - 1 of `waves`, as the window
// draws it, on a new image of the geometry's size.
QImage RenderGraph(const GraphGeometry& geometry, const WaveStore& waves, int channels);

}  // namespace varnel::graph_qt
