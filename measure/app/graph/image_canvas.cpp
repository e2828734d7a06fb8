#include "image_canvas.h"

#include <QPainter>
#include <QPoint>

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// A trace: one point for each pixel column, x rising by one from point to point.
bool IsTrace(std::span<const graph::GraphPoint> points) {
  for (std::size_t i = 1; i < points.size(); ++i)
    if (points[i].x != points[i - 1].x + 1) return false;
  return true;
}

// The pixels of a trace, written straight into an RGB32 image: QPainter's
// line stroker spends a tenth of a microsecond on every segment, and a
// sweep's sixteen traces have sixteen thousand of them.  A segment between
// columns x and x + 1 is a vertical run split at its middle: from the left
// point half way (rounded towards it) in column x, the rest down to the
// right point in column x + 1.  Pixels outside the image are left out.
void DrawTrace(QImage& image, std::span<const graph::GraphPoint> points, QRgb colour) {
  uchar* const bits = image.bits();
  const qsizetype stride = image.bytesPerLine();
  const int64_t width = image.width();
  const int64_t height = image.height();
  // Column x from row `from` to row `to`, both included, in either order.
  const auto column = [&](int64_t x, int64_t from, int64_t to) {
    if (x < 0 || x >= width) return;
    const int64_t top = std::max<int64_t>(std::min(from, to), 0);
    const int64_t bottom = std::min<int64_t>(std::max(from, to), height - 1);
    for (int64_t y = top; y <= bottom; ++y) reinterpret_cast<QRgb*>(bits + y * stride)[x] = colour;
  };
  for (std::size_t i = 1; i < points.size(); ++i) {
    const int64_t x = points[i - 1].x;
    const int64_t y0 = points[i - 1].y;
    const int64_t rise = int64_t{points[i].y} - y0;
    const int64_t half = rise / 2;  // towards zero: the left column never takes more than half
    column(x, y0, y0 + half);
    if (rise != 0) column(x + 1, y0 + half + (rise > 0 ? 1 : -1), points[i].y);
  }
  column(points.back().x, points.back().y, points.back().y);
}

// A horizontal or vertical line with both ends included, straight into the
// pixels of an RGB32 image (the grid: lines across the whole picture, whose
// pixels are the picture's whole row or column either way).  False for any
// other line.
bool DrawStraightLine(QImage& image, QPoint from, QPoint to, QRgb colour) {
  if (from.x() != to.x() && from.y() != to.y()) return false;
  const int left = std::max(std::min(from.x(), to.x()), 0);
  const int right = std::min(std::max(from.x(), to.x()), image.width() - 1);
  const int top = std::max(std::min(from.y(), to.y()), 0);
  const int bottom = std::min(std::max(from.y(), to.y()), image.height() - 1);
  for (int y = top; y <= bottom; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(row + left, row + std::max(left, right + 1), colour);
  }
  return true;
}

QPen ThinPen(Rgb colour) {
  QPen pen(ToQColor(colour));
  pen.setWidth(1);
  pen.setStyle(Qt::SolidLine);
  return pen;
}

}  // namespace

void ImageCanvas::Clear() {
  m_painter.reset();  // the image is filled directly, not through a painter
  m_image.fill(m_background);
}

QPainter& ImageCanvas::Painter(Rgb colour) {
  if (!m_painter) m_painter.emplace(&m_image);
  m_painter->setPen(ThinPen(colour));
  return *m_painter;
}

void ImageCanvas::Line(const graph::GridLine& line, Rgb colour) {
  const QPoint from(Pixel(line.x1), Pixel(line.y1));
  const QPoint to(Pixel(line.x2), Pixel(line.y2));
  if (m_image.format() == QImage::Format_RGB32) {
    m_painter.reset();
    if (DrawStraightLine(m_image, from, to, ToQColor(colour).rgb())) return;
  }
  Painter(colour).drawLine(from, to);
}

void ImageCanvas::Polyline(std::span<const graph::GraphPoint> points, Rgb colour) {
  if (points.empty()) return;
  if (m_image.format() == QImage::Format_RGB32 && IsTrace(points)) {
    m_painter.reset();  // what the painter drew is in the image before the pixels are written
    DrawTrace(m_image, points, ToQColor(colour).rgb());
    return;
  }
  Painter(colour).drawPolyline(reinterpret_cast<const QPoint*>(points.data()), static_cast<int>(points.size()));
}

void ImageCanvas::Refresh() {
  m_painter.reset();  // the drawing is complete in the image before it is shown
  if (onRefresh) onRefresh();
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
