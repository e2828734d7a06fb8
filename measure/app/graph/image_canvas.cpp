#include "image_canvas.h"

#include <QPainter>
#include <QPoint>

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "text/numforms.h"

namespace varnel::graph_qt {

namespace {

// The trace buffer is handed to QPainter as it is, like the platform's
// polyline takes its point array: both are pairs of 32-bit integers.
static_assert(sizeof(QPoint) == sizeof(graph::GraphPoint));
static_assert(alignof(QPoint) == alignof(graph::GraphPoint));
static_assert(std::is_standard_layout_v<graph::GraphPoint> && std::is_same_v<int32_t, int>);

int Pixel(float v) {
  if (!std::isfinite(v)) return 0;
  const double r = text::RoundHalfEven(static_cast<double>(v));
  return r < -1e6 ? -1000000 : r > 1e6 ? 1000000 : static_cast<int>(r);
}

QPen ThinPen(Rgb colour) {
  QPen pen(ToQColor(colour));
  pen.setWidth(1);
  pen.setStyle(Qt::SolidLine);
  return pen;
}

}  // namespace

void ImageCanvas::Clear() { image_.fill(background_); }

void ImageCanvas::Line(const graph::GridLine& line, Rgb colour) {
  QPainter p(&image_);
  p.setPen(ThinPen(colour));
  p.drawLine(QPoint(Pixel(line.x1), Pixel(line.y1)), QPoint(Pixel(line.x2), Pixel(line.y2)));
}

void ImageCanvas::Polyline(std::span<const graph::GraphPoint> points, Rgb colour) {
  if (points.empty()) return;
  QPainter p(&image_);
  p.setPen(ThinPen(colour));
  p.drawPolyline(reinterpret_cast<const QPoint*>(points.data()), static_cast<int>(points.size()));
}

QImage RenderGraph(const GraphGeometry& geometry, const WaveStore& waves, int channels) {
  const int w = std::max(1, Pixel(geometry.width));
  const int h = std::max(1, Pixel(geometry.height));
  QImage image(w, h, QImage::Format_RGB32);
  ImageCanvas canvas(image);
  graph::GraphPlotter plotter(canvas);
  plotter.Plot(geometry, waves, channels);
  return image;
}

}  // namespace varnel::graph_qt
