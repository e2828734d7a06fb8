#include "graph_view.h"

#include <QPainter>

namespace varnel::app {

GraphView::GraphView(QWidget* parent) : QWidget(parent), image_(kWidth, kHeight, QImage::Format_RGB32) {
  image_.fill(Qt::black);
  setFixedSize(kWidth + 4, kHeight + 4);  // a 2-pixel border around the inner picture
}

void GraphView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(64, 64, 64));
  p.drawImage(2, 2, image_);
}

}  // namespace varnel::app
