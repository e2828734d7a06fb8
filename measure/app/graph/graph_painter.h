// Draws the waveform graph of the window (DrawScale, PlotData) on the
// persistent picture of its GraphView.
#pragma once

#include <QObject>

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
  // off; then the picture keeps what it shows.  Drawn once the handler that
  // asks for it has returned (the next pass of the event loop), before the
  // picture is painted: the sweep's last block then re-arms the cycle
  // without waiting for sixteen traces, and the picture shows the same.
  // Nothing changes the waves before that: the next block is at least a
  // pause and an acquisition away.
  void PlotData();
  // Draws a plot asked for and not yet drawn, now (tests, shutdown).
  void DrawPendingPlot();

 private:
  const PolModeForm& m_form;
  const MeasureState& m_state;
  graph_qt::ImageCanvas m_canvas;
  graph::GraphPlotter m_plotter{m_canvas};
  bool m_plotPending = false;
  QObject m_context;  // the pending plot's call goes with this painter
};

}  // namespace varnel::app
