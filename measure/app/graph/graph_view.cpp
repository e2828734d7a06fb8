#include "graph_view.h"

#include <QPaintEvent>
#include <QPainter>

#include "image_canvas.h"

namespace varnel::app {

GraphView::GraphView(QWidget* parent) : QWidget(parent), m_image(kWidth, kHeight, QImage::Format_RGB32) {
  m_image.fill(graph_qt::kBackground);
  setFixedSize(kWidth + 2 * kBorder, kHeight + 2 * kBorder);
  // Every pixel is painted below: nothing to erase first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

// The border where the region has some of it, then the picture's part of
// the region, rectangle by rectangle (after a sweep: the bands of rows the
// traces changed).  Each is a rectangular clip of the whole image, which
// the raster engine copies line by line; an image part or a clip of many
// rectangles would go through its general blending instead.
void GraphView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  const QRect picture(kBorder, kBorder, m_image.width(), m_image.height());
  const QRegion border = event->region().subtracted(picture);
  if (!border.isEmpty()) {
    p.setClipRegion(border);
    p.fillRect(rect(), QColor(64, 64, 64));
  }
  for (const QRect& part : event->region().intersected(picture)) {
    p.setClipRect(part);
    p.drawImage(picture.topLeft(), m_image);
  }
}

}  // namespace varnel::app
