#include "graph_painter.h"

#include "program/varnel_program.h"

namespace varnel::app {

GraphPainter::GraphPainter(GraphView& view, VarnelProgram& program)
    : GraphPainter(view, program.form, program.state) {}

GraphPainter::GraphPainter(GraphView& view, const PolModeForm& form, const MeasureState& state)
    : m_form(form), m_state(state), m_canvas(view.Image()) {
  m_canvas.onRefresh = [&view] { view.Refresh(); };
}

void GraphPainter::DrawScale() { graph::DrawScale(m_plotter, m_state); }

void GraphPainter::PlotData() { graph::PlotData(m_plotter, m_form, m_state); }

}  // namespace varnel::app
