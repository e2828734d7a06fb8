// The waveform graph drawn with QPainter on an image: the canvas of the
// window's persistent picture and of the snapshot pictures of varnel-data.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>

#include <functional>
#include <optional>
#include <vector>

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
//
// On an RGB32 image the clearing and the straight lines drawn right after
// it (the grid) wait for the next other drawing or Refresh, and are then one
// copy of a cleared picture with those lines, kept for as long as the lines
// and the size stay the same: the same pixels as clearing and drawing them.
class ImageCanvas : public graph::GraphCanvas {
 public:
  explicit ImageCanvas(QImage& image, QColor background = kBackground) : m_image(image), m_background(background) {}
  ~ImageCanvas() override;
  ImageCanvas(const ImageCanvas&) = delete;
  ImageCanvas& operator=(const ImageCanvas&) = delete;

  void Clear() override;
  void Line(const graph::GridLine& line, Rgb colour) override;
  void Polyline(std::span<const graph::GraphPoint> points, Rgb colour) override;
  void Refresh() override;

  // Called when the drawing should become visible (the widget repaints).
  std::function<void()> onRefresh;

 private:
  struct StraightLine {
    QPoint from;
    QPoint to;
    QRgb colour;
    friend bool operator==(const StraightLine&, const StraightLine&) = default;
  };
  // Pixels written straight into the image (RGB32), not through a painter.
  bool Direct() const;
  QPainter& Painter(Rgb colour);
  // Writes the waiting clearing and lines into the image.
  void Flush();
  // m_cleared made for the waiting lines, unless it already is.
  void PrepareCleared();

  QImage& m_image;
  QColor m_background;
  std::optional<QPainter> m_painter;
  bool m_clearPending = false;
  std::vector<StraightLine> m_backgroundLines;
  QImage m_cleared;  // the background with m_clearedLines on it
  QRgb m_clearedColour = 0;
  std::vector<StraightLine> m_clearedLines;
};

inline QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// The graph of channel indexes 0 .. channels - 1 of `waves`, as the window
// draws it, on a new image of the geometry's size.
QImage RenderGraph(const GraphGeometry& geometry, const WaveStore& waves, int channels);

}  // namespace varnel::graph_qt
