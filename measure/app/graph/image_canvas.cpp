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
// outside the image are left out.  The rows written are marked in `rows`
// (one entry per row of the image).
void DrawTrace(QImage& image, std::span<const graph::GraphPoint> points, QRgb colour, std::vector<uint8_t>& rows) {
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
    for (int64_t row = top; row <= bottom; ++row, pixel += stride) {
      *reinterpret_cast<QRgb*>(pixel) = colour;
      rows[static_cast<std::size_t>(row)] = 1;
    }
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

void ImageCanvas::Rows::Mark(int top, int bottom) {
  if (m_all) return;
  const int last = static_cast<int>(m_marked.size()) - 1;
  top = std::max(top, 0);
  bottom = std::min(bottom, last);
  if (top <= bottom) std::fill(m_marked.begin() + top, m_marked.begin() + bottom + 1, uint8_t{1});
}

void ImageCanvas::Rows::Reset(int height) {
  m_marked.assign(static_cast<std::size_t>(std::max(height, 0)), 0);
  m_all = false;
}

// Marked rows a few rows apart share a band: every band is one more
// rectangle in the region arithmetic of a repaint and one more copy, which
// costs more than copying a few rows more.
QRegion ImageCanvas::Rows::Bands(int width, int height) const {
  if (m_all) return QRegion(0, 0, width, height);
  constexpr int kJoinedGap = 4;  // unmarked rows between two bands that become one
  std::vector<QRect> bands;
  const int rows = std::min(height, static_cast<int>(m_marked.size()));
  for (int y = 0; y < rows; ++y) {
    if (m_marked[static_cast<std::size_t>(y)] == 0) continue;
    if (!bands.empty() && y - bands.back().bottom() - 1 <= kJoinedGap) {
      bands.back().setBottom(y);
    } else {
      bands.emplace_back(0, y, width, 1);
    }
  }
  QRegion region;
  // Full-width bands from top to bottom: already the region's own form.
  region.setRects(bands.data(), static_cast<int>(bands.size()));
  return region;
}

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
  m_changed.MarkAll();
}

QPainter& ImageCanvas::Painter(Rgb colour) {
  Flush();
  // What a painter draws is not followed row by row.
  m_drawn.MarkAll();
  m_changed.MarkAll();
  if (!m_painter) m_painter.emplace(&m_image);
  m_painter->setPen(ThinPen(colour));
  return *m_painter;
}

void ImageCanvas::TakeOver() {
  // Written by something else since this canvas last wrote (or another
  // image, or another size): the rows it changed are not known.
  if (m_image.cacheKey() == m_ownKey) return;
  m_drawn.MarkAll();
  m_changed.MarkAll();
}

void ImageCanvas::Wrote(int top, int bottom) {
  m_drawn.Mark(top, bottom);
  m_changed.Mark(top, bottom);
  m_ownKey = m_image.cacheKey();
}

void ImageCanvas::Wrote(const std::vector<uint8_t>& rows) {
  for (int y = 0; y < static_cast<int>(rows.size()); ++y) {
    if (rows[static_cast<std::size_t>(y)] == 0) continue;
    m_drawn.Mark(y, y);
    m_changed.Mark(y, y);
  }
  m_ownKey = m_image.cacheKey();
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
    TakeOver();
    DrawStraightLine(m_image, from, to, ToQColor(colour).rgb());
    Wrote(std::min(from.y(), to.y()), std::max(from.y(), to.y()));
    return;
  }
  Painter(colour).drawLine(from, to);
}

void ImageCanvas::Polyline(std::span<const graph::GraphPoint> points, Rgb colour) {
  if (points.empty()) return;
  if (Direct() && IsTrace(points)) {
    Flush();
    m_painter.reset();  // what the painter drew is in the image before the pixels are written
    TakeOver();
    m_traceRows.assign(static_cast<std::size_t>(m_image.height()), 0);
    DrawTrace(m_image, points, ToQColor(colour).rgb(), m_traceRows);
    Wrote(m_traceRows);
    return;
  }
  Painter(colour).drawPolyline(reinterpret_cast<const QPoint*>(points.data()), static_cast<int>(points.size()));
}

void ImageCanvas::Refresh() {
  Flush();
  m_painter.reset();  // the drawing is complete in the image before it is shown
  const QRegion changed = m_changed.Bands(m_image.width(), m_image.height());
  m_changed.Reset(m_image.height());
  if (onRefresh) onRefresh(changed);
}

// The cleared picture goes into the rows that may differ from it; into all
// of them when the cleared picture is new or the image was changed by
// something else.
void ImageCanvas::Flush() {
  if (!m_clearPending) return;
  m_clearPending = false;
  if (PrepareCleared()) m_drawn.MarkAll();
  TakeOver();
  const auto rowBytes = static_cast<std::size_t>(m_image.width()) * sizeof(QRgb);
  if (m_drawn.All() && m_image.bytesPerLine() == m_cleared.bytesPerLine()) {
    std::memcpy(m_image.bits(), m_cleared.constBits(), static_cast<std::size_t>(m_cleared.sizeInBytes()));
    m_changed.MarkAll();
  } else {
    for (int y = 0; y < m_image.height(); ++y) {
      if (!m_drawn.Has(y)) continue;
      std::memcpy(m_image.scanLine(y), m_cleared.constScanLine(y), rowBytes);
      m_changed.Mark(y, y);
    }
  }
  m_drawn.Reset(m_image.height());
  m_ownKey = m_image.cacheKey();
}

bool ImageCanvas::PrepareCleared() {
  const bool same = m_cleared.size() == m_image.size() && m_clearedColour == m_background.rgb() &&
                    m_clearedLines == m_backgroundLines;
  if (same) return false;
  m_cleared = QImage(m_image.size(), QImage::Format_RGB32);
  m_cleared.fill(m_background);
  for (const StraightLine& l : m_backgroundLines) DrawStraightLine(m_cleared, l.from, l.to, l.colour);
  m_clearedColour = m_background.rgb();
  m_clearedLines = m_backgroundLines;
  return true;
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
