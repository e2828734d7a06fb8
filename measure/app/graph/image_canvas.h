// The waveform graph drawn with QPainter on an image: the canvas of the
// window's persistent picture and of the snapshot pictures of varnel-data.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRegion>

#include <cstdint>
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
// Only the rows drawn on since the last such copy are copied again, as long
// as nothing but this canvas's own pixel writes changed the image; and
// Refresh tells which rows changed, so that only they are shown anew.
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

  // Called when the drawing should become visible (the widget repaints),
  // with the rows of the picture that changed since the last call.
  std::function<void(const QRegion& changed)> onRefresh;

 private:
  // Rows of the picture, or all of them.
  class Rows {
   public:
    void Mark(int top, int bottom);  // clipped to the rows there are
    void MarkAll() { m_all = true; }
    void Reset(int height);          // none of `height` rows
    bool All() const { return m_all; }
    // Rows past the ones counted are taken as marked.
    bool Has(int row) const {
      return m_all || static_cast<std::size_t>(row) >= m_marked.size() || m_marked[static_cast<std::size_t>(row)] != 0;
    }
    // The marked rows as full-width bands of a picture `width` pixels wide.
    QRegion Bands(int width, int height) const;

   private:
    std::vector<uint8_t> m_marked;
    bool m_all = true;
  };
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
  // m_cleared made for the waiting lines, unless it already is; true when
  // it was made anew.
  bool PrepareCleared();
  // Before this canvas writes pixels: an image changed by anything else
  // since its last write may differ from the cleared picture anywhere.
  void TakeOver();
  // After it wrote pixels in rows top .. bottom, or in the rows marked.
  void Wrote(int top, int bottom);
  void Wrote(const std::vector<uint8_t>& rows);

  QImage& m_image;
  QColor m_background;
  std::optional<QPainter> m_painter;
  bool m_clearPending = false;
  std::vector<StraightLine> m_backgroundLines;
  QImage m_cleared;  // the background with m_clearedLines on it
  QRgb m_clearedColour = 0;
  std::vector<StraightLine> m_clearedLines;
  // Rows where the image may differ from m_cleared (all: unknown, a copy of
  // the whole picture is due); valid while the image's cache key is the one
  // its last own write left (any other write changes the key).
  Rows m_drawn;
  qint64 m_ownKey = 0;
  Rows m_changed;  // rows changed since the last Refresh
  std::vector<uint8_t> m_traceRows;  // the rows a trace wrote
};

inline QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// The graph of channel indexes 0 .. channels - 1 of `waves`, as the window
// draws it, on a new image of the geometry's size.
QImage RenderGraph(const GraphGeometry& geometry, const WaveStore& waves, int channels);

}  // namespace varnel::graph_qt
