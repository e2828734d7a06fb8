// Draws the waveform graph of the window (DrawScale, PlotData) on the
// persistent picture of its GraphView.
#pragma once

#include "graph/graph.h"
#include "graph_view.h"
#include "image_canvas.h"

namespace varnel {
class VarnelProgram;
}

namespace varnel::app {

class GraphPainter {
 public:
  GraphPainter(GraphView& view, VarnelProgram& program);
  GraphPainter(GraphView& view, const PolModeForm& form, const MeasureState& state);
  GraphPainter(const GraphPainter&) = delete;
  GraphPainter& operator=(const GraphPainter&) = delete;

  // The grid over the current picture (start-up).
  void DrawScale();
  // Grid and traces of the last sweep, unless the graph update (Check2) is
  // off; then the picture keeps what it shows.
  void PlotData();

 private:
  const PolModeForm& m_form;
  const MeasureState& m_state;
  graph_qt::ImageCanvas m_canvas;
  graph::GraphPlotter m_plotter{m_canvas};
};

}  // namespace varnel::app
