// Draws the waveform graph of the window on its persistent picture.
#pragma once

#include "graph_view.h"

namespace varnel {
class VarnelProgram;
}

namespace varnel::app {

class GraphPainter {
 public:
  GraphPainter(GraphView& view, VarnelProgram& program) : view_(view), program_(program) {}
  // The grid over the current picture.
  void DrawScale();
  // Grid and traces of the last sweep, unless the graph update is off.
  void PlotData();

 private:
  GraphView& view_;
  VarnelProgram& program_;
};

}  // namespace varnel::app
