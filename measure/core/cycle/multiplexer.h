// The external multiplexer: with it the card's four inputs serve up to
// sixteen channels as groups of four, selected by the RTS and DTR lines of
// the serial port.  The sweep asks for the next group as soon as a block
// arrives, so that the multiplexer settles before the next acquisition.
#pragma once

#include "form/form.h"
#include "ports/ports.h"

namespace varnel {

// Multiplexer line codes for group g: RTS asserted when g mod 3 = 0, DTR
// asserted when g div 2 is not 0 (g 0: RTS; 1: none; 2: DTR; 3: both).
struct LineCodes {
  bool rts = false;
  bool dtr = false;
  friend bool operator==(const LineCodes&, const LineCodes&) = default;
};
LineCodes LinesForGroup(int group);

// Switches the lines of the port and the window's line lamps (`Label21`).
class Multiplexer {
 public:
  Multiplexer(PolModeForm& form, SerialPort& port) : form_(form), port_(port) {}

  // Sets the lines to the code of `group`.  A port that cannot take the
  // line settings (a pseudo-terminal) is skipped quietly; the lamps still
  // show the code that was meant.
  void Select(int group);

 private:
  PolModeForm& form_;
  SerialPort& port_;
};

}  // namespace varnel
