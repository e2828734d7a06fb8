#include "image_canvas.h"

#include <QPainter>
#include <QPoint>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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
// right point in column x + 1.  Both parts a column gets (the end of the
// segment from the left, the start of the one to the right) meet at the
// column's own point, so each column is one run, written once.  Pixels
// outside the image are left out.
void DrawTrace(QImage& image, std::span<const graph::GraphPoint> points, QRgb colour) {
  uchar* const bits = image.bits();
  const qsizetype stride = image.bytesPerLine();
  const int64_t height = image.height();
  const int64_t n = static_cast<int64_t>(points.size());
  const int64_t x0 = points.front().x;
  // Only the points whose columns lie in the image draw anything.
  const int64_t first = std::clamp<int64_t>(-x0, 0, n);
  const int64_t last = std::clamp<int64_t>(image.width() - x0, 0, n);
  for (int64_t i = first; i < last; ++i) {
    const int64_t y = points[static_cast<std::size_t>(i)].y;
    int64_t from = y;
    int64_t to = y;
    if (i > 0) {
      const int64_t y0 = points[static_cast<std::size_t>(i - 1)].y;
      const int64_t rise = y - y0;
      if (rise != 0) from = y0 + rise / 2 + (rise > 0 ? 1 : -1);  // towards zero: the left column takes no more
    }
    if (i + 1 < n) to = y + (int64_t{points[static_cast<std::size_t>(i + 1)].y} - y) / 2;
    const int64_t top = std::max<int64_t>(std::min({from, to, y}), 0);
    const int64_t bottom = std::min<int64_t>(std::max({from, to, y}), height - 1);
    uchar* pixel = bits + top * stride + (x0 + i) * int64_t{sizeof(QRgb)};
    for (int64_t row = top; row <= bottom; ++row, pixel += stride) *reinterpret_cast<QRgb*>(pixel) = colour;
  }
}

// A horizontal or vertical line with both ends included, straight into the
// pixels of an RGB32 image (the grid: lines across the whole picture, whose
// pixels are the picture's whole row or column either way).  False (nothing
// drawn) for any other line.
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

ImageCanvas::~ImageCanvas() {
  Flush();
  m_painter.reset();
}

bool ImageCanvas::Direct() const { return m_image.format() == QImage::Format_RGB32; }

void ImageCanvas::Clear() {
  m_painter.reset();  // the image is filled directly, not through a painter
  m_backgroundLines.clear();
  if (Direct()) {
    m_clearPending = true;
    return;
  }
  m_clearPending = false;
  m_image.fill(m_background);
}

QPainter& ImageCanvas::Painter(Rgb colour) {
  Flush();
  if (!m_painter) m_painter.emplace(&m_image);
  m_painter->setPen(ThinPen(colour));
  return *m_painter;
}

void ImageCanvas::Line(const graph::GridLine& line, Rgb colour) {
  const QPoint from(Pixel(line.x1), Pixel(line.y1));
  const QPoint to(Pixel(line.x2), Pixel(line.y2));
  const bool straight = from.x() == to.x() || from.y() == to.y();
  if (Direct() && straight) {
    // Straight lines right after a clear belong to the background.
    if (m_clearPending) {
      m_backgroundLines.push_back({from, to, ToQColor(colour).rgb()});
      return;
    }
    Flush();
    m_painter.reset();
    DrawStraightLine(m_image, from, to, ToQColor(colour).rgb());
    return;
  }
  Painter(colour).drawLine(from, to);
}

void ImageCanvas::Polyline(std::span<const graph::GraphPoint> points, Rgb colour) {
  if (points.empty()) return;
  if (Direct() && IsTrace(points)) {
    Flush();
    m_painter.reset();  // what the painter drew is in the image before the pixels are written
    DrawTrace(m_image, points, ToQColor(colour).rgb());
    return;
  }
  Painter(colour).drawPolyline(reinterpret_cast<const QPoint*>(points.data()), static_cast<int>(points.size()));
}

void ImageCanvas::Refresh() {
  Flush();
  m_painter.reset();  // the drawing is complete in the image before it is shown
  if (onRefresh) onRefresh();
}

void ImageCanvas::Flush() {
  if (!m_clearPending) return;
  m_clearPending = false;
  PrepareCleared();
  if (m_image.bytesPerLine() == m_cleared.bytesPerLine()) {
    std::memcpy(m_image.bits(), m_cleared.constBits(), static_cast<std::size_t>(m_cleared.sizeInBytes()));
    return;
  }
  for (int y = 0; y < m_image.height(); ++y)
    std::memcpy(m_image.scanLine(y), m_cleared.constScanLine(y), static_cast<std::size_t>(m_image.width()) * sizeof(QRgb));
}

void ImageCanvas::PrepareCleared() {
  const bool same = m_cleared.size() == m_image.size() && m_clearedColour == m_background.rgb() &&
                    m_clearedLines == m_backgroundLines;
  if (same) return;
  m_cleared = QImage(m_image.size(), QImage::Format_RGB32);
  m_cleared.fill(m_background);
  for (const StraightLine& l : m_backgroundLines) DrawStraightLine(m_cleared, l.from, l.to, l.colour);
  m_clearedColour = m_background.rgb();
  m_clearedLines = m_backgroundLines;
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
