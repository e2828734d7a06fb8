#include "cycle/multiplexer.h"

#include <gtest/gtest.h>

#include "fakes/fakes.h"

namespace varnel {
namespace {

TEST(LinesForGroup, FourCodes) {
  EXPECT_EQ(LinesForGroup(0), (LineCodes{true, false}));
  EXPECT_EQ(LinesForGroup(1), (LineCodes{false, false}));
  EXPECT_EQ(LinesForGroup(2), (LineCodes{false, true}));
  EXPECT_EQ(LinesForGroup(3), (LineCodes{true, true}));
}

TEST(Multiplexer, EachGroupSetsItsLinesAndLamps) {
  PolModeForm form = MakeDesignForm();
  fakes::FakeSerialPort port;
  Multiplexer mux(form, port);
  struct Expect {
    int group;
    bool rts, dtr;
  };
  // In the order a sweep of four groups asks for them.
  for (const Expect e : {Expect{1, false, false}, {2, false, true}, {3, true, true}, {0, true, false}}) {
    SCOPED_TRACE(e.group);
    mux.Select(e.group);
    EXPECT_EQ(port.rts, e.rts);
    EXPECT_EQ(port.dtr, e.dtr);
    EXPECT_EQ(form.Label21[1].backColor, e.rts ? kRed : kNavy);
    EXPECT_EQ(form.Label21[0].backColor, e.dtr ? kRed : kNavy);
  }
}

TEST(Multiplexer, LinesThatCannotBeSetAreSkippedQuietly) {
  PolModeForm form = MakeDesignForm();
  fakes::FakeSerialPort port;
  port.linesFail = true;  // a pseudo-terminal takes no DTR/RTS
  Multiplexer mux(form, port);
  mux.Select(3);
  // The lamps still show the code that was meant.
  EXPECT_EQ(form.Label21[1].backColor, kRed);
  EXPECT_EQ(form.Label21[0].backColor, kRed);
  EXPECT_FALSE(port.rts);
  EXPECT_FALSE(port.dtr);
  mux.Select(1);
  EXPECT_EQ(form.Label21[1].backColor, kNavy);
  EXPECT_EQ(form.Label21[0].backColor, kNavy);
}

}  // namespace
}  // namespace varnel
