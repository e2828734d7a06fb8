#include "cycle/multiplexer.h"

namespace varnel {

LineCodes LinesForGroup(int group) { return LineCodes{group % 3 == 0, group / 2 != 0}; }

void Multiplexer::Select(int group) {
  const LineCodes lines = LinesForGroup(group);
  form_.Label21[1].backColor = lines.rts ? kRed : kNavy;
  (void)port_.SetRts(lines.rts);
  form_.Label21[0].backColor = lines.dtr ? kRed : kNavy;
  (void)port_.SetDtr(lines.dtr);
}

}  // namespace varnel
