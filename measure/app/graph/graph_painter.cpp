#include "graph_painter.h"

#include "program/varnel_program.h"

namespace varnel::app {

GraphPainter::GraphPainter(GraphView& view, VarnelProgram& program)
    : GraphPainter(view, program.form, program.state) {}

GraphPainter::GraphPainter(GraphView& view, const PolModeForm& form, const MeasureState& state)
    : m_form(form), m_state(state), m_canvas(view.Image()) {
  m_canvas.onRefresh = [&view](const QRegion& changed) { view.Refresh(changed); };
}

// A scale drawn after a plot was asked for replaces it, as it did when the
// plot was drawn at once.
void GraphPainter::DrawScale() {
  m_plotPending = false;
  graph::DrawScale(m_plotter, m_state);
}

void GraphPainter::PlotData() {
  if (m_plotPending) return;
  m_plotPending = true;
  QMetaObject::invokeMethod(&m_context, [this] { DrawPendingPlot(); }, Qt::QueuedConnection);
}

void GraphPainter::DrawPendingPlot() {
  if (!m_plotPending) return;
  m_plotPending = false;
  graph::PlotData(m_plotter, m_form, m_state);
}

}  // namespace varnel::app
