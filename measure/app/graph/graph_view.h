// The graph picture `PicGraph`: a persistent image that the widget shows, so
// a window that is covered and uncovered shows the same graph again.  The
// drawing goes to the image (GraphPainter); the widget only copies it.
#pragma once

#include <QImage>
#include <QRegion>
#include <QWidget>

namespace varnel::app {

class GraphView : public QWidget {
 public:
  // Inner size of the picture in pixels; the graph's scale units.
  static constexpr int kWidth = 1000;
  static constexpr int kHeight = 330;
  // Border around the inner picture.
  static constexpr int kBorder = 2;

  explicit GraphView(QWidget* parent = nullptr);
  QImage& Image() { return m_image; }
  const QImage& Image() const { return m_image; }
  // Shows the changed part of the image (in the image's pixels): painted
  // once the handler that drew it returns, so the drawing never holds up
  // the cycle.
  void Refresh(const QRegion& changed) { update(changed.translated(kBorder, kBorder)); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage m_image;
};

}  // namespace varnel::app
