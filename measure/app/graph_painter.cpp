#include "graph_painter.h"

#include <QPainter>

#include "program/varnel_program.h"

namespace varnel::app {

void GraphPainter::DrawScale() {
  QPainter p(&view_.Image());
  p.setPen(QColor(128, 128, 128));
  const GraphGeometry& g = program_.state.graph;
  for (float i = 1; i <= 25; ++i) p.drawLine(QPointF(0, i * g.height / 26), QPointF(g.width, i * g.height / 26));
  for (float i = 1; i <= 7; ++i) p.drawLine(QPointF(i * g.width / 8, 0), QPointF(i * g.width / 8, g.height));
  view_.Refresh();
}

void GraphPainter::PlotData() {
  if (!program_.form.Check2.checked) return;
  view_.Image().fill(Qt::black);
  DrawScale();
}

}  // namespace varnel::app
