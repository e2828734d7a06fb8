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

void GraphView::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  p.setClipRegion(event->region());
  // The border around the picture, then the picture (no pixel twice).
  const QRect picture(kBorder, kBorder, m_image.width(), m_image.height());
  p.setClipRegion(event->region().subtracted(picture));
  p.fillRect(rect(), QColor(64, 64, 64));
  p.setClipRegion(event->region());
  p.drawImage(picture.topLeft(), m_image);
}

}  // namespace varnel::app
