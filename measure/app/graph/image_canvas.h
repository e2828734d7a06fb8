// The waveform graph drawn with QPainter on an image: the canvas of the
// window's persistent picture and of the snapshot pictures of varnel-data.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>

#include <functional>
#include <optional>

#include "graph/graph.h"

namespace varnel::graph_qt {

// Background of the picture: the traces' colours (white, yellow, light
// cyan) need a dark one.
inline const QColor kBackground{0, 0, 0};

// GraphCanvas over a QImage.  Grid lines are given in picture scale units
// and land on the nearest pixel; traces are drawn aliased, one pixel wide,
// through the exact device pixels of their points (a trace with a point in
// every pixel column as vertical runs between its points, written straight
// into the pixels of an RGB32 image).  The lines of one drawing
// go through one painter, opened at the first line and closed when the
// drawing is shown (Refresh) or the picture is cleared.
class ImageCanvas : public graph::GraphCanvas {
 public:
  explicit ImageCanvas(QImage& image, QColor background = kBackground) : m_image(image), m_background(background) {}
  ~ImageCanvas() override { m_painter.reset(); }
  ImageCanvas(const ImageCanvas&) = delete;
  ImageCanvas& operator=(const ImageCanvas&) = delete;

  void Clear() override;
  void Line(const graph::GridLine& line, Rgb colour) override;
  void Polyline(std::span<const graph::GraphPoint> points, Rgb colour) override;
  void Refresh() override;

  // Called when the drawing should become visible (the widget repaints).
  std::function<void()> onRefresh;

 private:
  QPainter& Painter(Rgb colour);

  QImage& m_image;
  QColor m_background;
  std::optional<QPainter> m_painter;
};

inline QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// The graph of channel indexes 0 .. channels - 1 of `waves`, as the window
// draws it, on a new image of the geometry's size.
QImage RenderGraph(const GraphGeometry& geometry, const WaveStore& waves, int channels);

}  // namespace varnel::graph_qt
