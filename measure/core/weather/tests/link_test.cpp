#include "weather/link.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/fakes.h"
#include "packets.h"
#include "text/cp932.h"

namespace varnel::weather {
namespace {

using testing::Packet;
using testing::PacketFields;
using testing::WithWind;

const std::vector<uint8_t> kLoop = {0x4C, 0x4F, 0x4F, 0x50, 0xE7, 0xFF, 0x0D};

// A port whose device can be unplugged: Open fails while it is absent.
class UnpluggablePort : public fakes::FakeSerialPort {
 public:
  bool present = true;
  int openAttempts = 0;
  bool Open() override {
    ++openAttempts;
    if (!present) return false;
    return FakeSerialPort::Open();
  }
  // The adapter closes the port itself when the device disappears.
  void Unplug() {
    present = false;
    Close();
  }
};

// A port at a configured path whose device can be replaced, as a USB
// adapter unplugged and plugged back or a link made to name a new device:
// Open() reaches the device the path names now, and a device that hung
// takes requests without answering and without reporting anything.  A
// device that answers does so at once with a packet of its wind speed.
class ReplaceablePort : public fakes::FakeSerialPort {
 public:
  int pathDevice = 1;   // the device the configured path names
  int openDevice = 1;   // the device the open port talks to
  std::map<int, uint8_t> answering;  // device -> wind speed it reports
  int opens = 0, closes = 0;

  bool Open() override {
    ++opens;
    openDevice = pathDevice;
    return FakeSerialPort::Open();
  }
  void Close() override {
    ++closes;
    FakeSerialPort::Close();
  }
  bool Write(std::span<const uint8_t> bytes) override {
    if (!FakeSerialPort::Write(bytes)) return false;
    if (const auto it = answering.find(openDevice); it != answering.end()) {
      PacketFields f;
      f.wind = it->second;
      Receive(Packet(f, 18));
    }
    return true;
  }
};

class WeatherLinkTest : public ::testing::Test {
 protected:
  WeatherLinkTest() {
    clock.now = text::LocalDateTime{2004, 2, 4, 15, 30, 5, 0};
    link.repaint = [this] { ++repaints; };
    link.Start();
  }

  // Advances virtual time to `ms` after start-up.
  void At(int64_t ms) { hub.Advance(ms - hub.Now()); }
  std::size_t Requests() const { return port.written.size(); }
  bool SendLit() const { return form.Label6[1].backColor == kRed; }
  bool ReceiveLit() const { return form.Label6[0].backColor == kRed; }

  fakes::ManualTimerHub hub;
  std::unique_ptr<fakes::ManualTimer> timer2 = hub.Make(0, false);
  std::unique_ptr<fakes::ManualTimer> timer3 = hub.Make(0, false);
  UnpluggablePort port;
  fakes::ManualClock clock;
  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
  WeatherLink link{form, totals, port, *timer2, *timer3, clock};
  int repaints = 0;
};

TEST_F(WeatherLinkTest, StartLeavesTheLinkIdle) {
  EXPECT_TRUE(timer2->Enabled());
  EXPECT_EQ(timer2->Interval(), 1000u);
  EXPECT_FALSE(timer3->Enabled());
  EXPECT_EQ(timer3->Interval(), 200u);
  EXPECT_EQ(port.threshold, 1);
}

TEST_F(WeatherLinkTest, SilentStationIsAskedEveryFourSecondsWithABriefSendLamp) {
  At(3999);
  EXPECT_EQ(Requests(), 0u);
  for (int64_t t : {4000, 8000, 12000}) {
    At(t - 1);
    const std::size_t before = Requests();
    EXPECT_FALSE(SendLit()) << t;
    At(t);
    ASSERT_EQ(Requests(), before + 1) << t;
    EXPECT_EQ(port.written.back(), kLoop);
    EXPECT_TRUE(SendLit()) << t;
    EXPECT_TRUE(timer3->Enabled());
    At(t + 199);
    EXPECT_TRUE(SendLit()) << t;
    At(t + 200);
    EXPECT_FALSE(SendLit()) << t;
    EXPECT_FALSE(timer3->Enabled());
  }
  EXPECT_EQ(repaints, 3);  // the red lamp is drawn at once each time
  for (const auto& l : form.Label8) EXPECT_EQ(l.text, "");
  EXPECT_EQ(form.Label18.text, "");
  EXPECT_FLOAT_EQ(totals.packetCount, 0.0f);
}

TEST_F(WeatherLinkTest, ReplyTrickingInIsReadByTheReceiveTimer) {
  At(4000);  // request, Timer3 on
  const auto reply = Packet({}, 18);
  At(4040);
  port.Receive({reply.begin(), reply.begin() + 1});
  EXPECT_TRUE(ReceiveLit());
  EXPECT_EQ(port.threshold, 0);  // collecting: no further receive events
  EXPECT_EQ(form.Label18.text, "");
  At(4150);
  port.Receive({reply.begin() + 1, reply.end()});
  EXPECT_EQ(port.rx.size(), 18u);  // not read on the event path
  EXPECT_EQ(form.Label8[label::kWindSpeed].text, "");
  At(4199);
  EXPECT_EQ(port.rx.size(), 18u);
  At(4200);  // 200 ms after the request, not after the first byte
  EXPECT_TRUE(port.rx.empty());
  EXPECT_EQ(form.Label18.text, "OK");
  EXPECT_EQ(form.Label8[label::kInsideTemperature].text, "26.7");
  EXPECT_FALSE(ReceiveLit());
  EXPECT_FALSE(SendLit());
  EXPECT_EQ(port.threshold, 1);
  EXPECT_EQ(link.RequestCounter(), 0);
  // The read reset the counter, so the next request is four ticks later.
  At(8000);
  EXPECT_EQ(Requests(), 2u);
}

TEST_F(WeatherLinkTest, CompleteReplyIsReadOnTheEventPath) {
  At(4000);
  At(4100);
  port.Receive(Packet({}, 18));
  EXPECT_TRUE(port.rx.empty());
  EXPECT_EQ(form.Label18.text, "ok");
  EXPECT_EQ(form.Label8[label::kWindDirection].text, "360");
  EXPECT_FALSE(ReceiveLit());
  EXPECT_EQ(port.threshold, 1);
  EXPECT_FALSE(timer3->Enabled());
  // Timer3 was stopped on the event path; the send lamp goes out on the
  // next tick of Timer2 rather than staying lit.
  At(4999);
  EXPECT_TRUE(SendLit());
  At(5000);
  EXPECT_FALSE(SendLit());
  At(8000);
  EXPECT_TRUE(SendLit());
  At(8200);
  EXPECT_FALSE(SendLit());
  EXPECT_EQ(form.Label18.text, "ok");  // no reply to the second request: word kept
}

TEST_F(WeatherLinkTest, PromptStationDoesNotLeaveTheSendLampLit) {
  int sends = 0;
  for (int64_t t = 4000; t <= 40000; t += 4000) {
    At(t);
    sends += SendLit() ? 1 : 0;
    At(t + 20);
    port.Receive(Packet({}, 18));  // answered at once, read on the event path
    At(t + 1000);
    EXPECT_FALSE(SendLit()) << t;
  }
  EXPECT_EQ(sends, 10);
  EXPECT_EQ(Requests(), 10u);
}

TEST_F(WeatherLinkTest, RejectedReplyOnEachPath) {
  auto bad = Packet({}, 18);
  bad[0] = 0x06;
  At(4000);
  port.Receive(bad);
  EXPECT_EQ(form.Label18.text, "ng");
  At(8000);
  port.Receive({bad.begin(), bad.begin() + 3});
  port.Receive({bad.begin() + 3, bad.end()});
  At(8200);
  EXPECT_EQ(form.Label18.text, "NG");
  EXPECT_TRUE(port.rx.empty());  // the rejected bytes are discarded
  EXPECT_EQ(form.Label8[label::kWindSpeed].text, "");
}

TEST_F(WeatherLinkTest, StationSendingEveryTwoSecondsIsNeverAsked) {
  for (int64_t t = 2000; t <= 30000; t += 2000) {
    At(t);
    port.Receive(Packet({}, 18));
  }
  EXPECT_EQ(Requests(), 0u);
  EXPECT_FLOAT_EQ(totals.packetCount, 15.0f);
  EXPECT_EQ(form.Label18.text, "ok");
}

// A reply is read once more than 16 bytes wait, while the rest of an
// 18-byte packet may still be on the line; a fragment too short to read
// stays in the port.  Such bytes must not become the start of the next
// reply: the next packet would be rejected, or with a left-over 0x01
// taken with every field shifted.
TEST_F(WeatherLinkTest, BytesLeftFromBeforeARequestNeverSpoilTheNextReply) {
  PacketFields windy;
  windy.wind = 10;  // 4.5 m/s
  const auto first = Packet(windy, 18);
  At(4000);
  At(4050);
  port.Receive({first.begin(), first.begin() + 17});
  EXPECT_EQ(form.Label18.text, "ok");  // read on the event path at 17 bytes
  EXPECT_EQ(form.Label8[label::kWindSpeed].text, "4.5");
  port.Receive({first.back()});        // the packet's last byte, just late
  At(4300);
  EXPECT_EQ(port.rx.size(), 1u);       // too short to read: it waits

  At(8000);
  EXPECT_EQ(Requests(), 2u);
  EXPECT_TRUE(port.rx.empty()) << "the left-over byte went out with the request";
  At(8050);
  port.Receive(WithWind(3));           // 1.3 m/s
  EXPECT_EQ(form.Label18.text, "ok");
  EXPECT_EQ(form.Label8[label::kWindSpeed].text, "1.3");
  EXPECT_EQ(form.Label8[label::kAverageWindSpeed].text, "2.9");  // (4.5 + 1.3) / 2

  // A fragment that starts like a packet, never completed.
  At(12000);
  At(12050);
  port.Receive({0x01, 0x20, 0x03, 0x40, 0x01});
  At(12200);
  EXPECT_EQ(port.rx.size(), 5u);
  At(16000);
  At(16050);
  port.Receive(WithWind(5));           // 2.2 m/s
  EXPECT_EQ(form.Label8[label::kWindSpeed].text, "2.2");
  EXPECT_FLOAT_EQ(totals.packetCount, 3.0f);
  EXPECT_FLOAT_EQ(totals.maxWindSpeed, 4.5f);
}

TEST_F(WeatherLinkTest, TitleClockFillsCharacters60To78) {
  At(1000);
  const std::string expected = DesignTitle().substr(0, 59) + "2004/02/04 15:30:05";
  EXPECT_EQ(form.title, expected);
  clock.now.second = 6;
  At(2000);
  EXPECT_EQ(form.title.substr(59), "2004/02/04 15:30:06");
}

TEST(TitleClock, CountsCharactersNotBytes) {
  // Twelve three-byte characters, then blanks up to 78 characters.
  std::string title = "気象観測と漏れ電流の測定";  // 12 characters, 36 bytes
  title += std::string(66, ' ');                      // 78 characters
  ShowTitleClock(title, {2024, 12, 31, 23, 59, 58, 0});
  EXPECT_EQ(text::CharCount(title), 78u);
  EXPECT_EQ(title.substr(title.size() - 19), "2024/12/31 23:59:58");
  EXPECT_EQ(title.substr(0, 36), "気象観測と漏れ電流の測定");
  EXPECT_EQ(title.substr(36, 47), std::string(47, ' '));
}

TEST(TitleClock, ShortTitlesKeepTheirLength) {
  const text::LocalDateTime now{2004, 2, 4, 15, 30, 5, 0};
  std::string shortTitle(59, 'x');
  ShowTitleClock(shortTitle, now);
  EXPECT_EQ(shortTitle, std::string(59, 'x'));
  std::string partial(65, 'x');  // room for 6 characters of the clock
  ShowTitleClock(partial, now);
  EXPECT_EQ(partial, std::string(59, 'x') + "2004/0");
  std::string longer(90, 'x');  // characters past 78 stay
  ShowTitleClock(longer, now);
  EXPECT_EQ(longer, std::string(59, 'x') + "2004/02/04 15:30:05" + std::string(12, 'x'));
}

TEST_F(WeatherLinkTest, ShortTitleLeavesPollingUnchanged) {
  form.title = "Varnel";
  At(12000);
  EXPECT_EQ(form.title, "Varnel");
  EXPECT_EQ(Requests(), 3u);
}

TEST_F(WeatherLinkTest, PortThatCannotOpenIsRetriedAndPollingResumes) {
  port.Unplug();
  At(12000);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_EQ(port.openAttempts, 3);  // at 4, 8 and 12 s
  EXPECT_FALSE(SendLit());
  EXPECT_FALSE(timer3->Enabled());
  EXPECT_EQ(form.title.substr(59), "2004/02/04 15:30:05");  // the clock goes on
  port.present = true;
  At(16000);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(Requests(), 1u);
  EXPECT_TRUE(SendLit());
  At(16100);
  port.Receive(Packet({}, 18));
  EXPECT_EQ(form.Label18.text, "ok");
}

TEST_F(WeatherLinkTest, PortLeftClosedOnPurposeStaysClosed) {
  port.Close();
  link.reopenClosedPort = false;
  At(20000);
  EXPECT_EQ(port.openAttempts, 0);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(Requests(), 0u);
  EXPECT_EQ(form.title.substr(59), "2004/02/04 15:30:05");
}

TEST_F(WeatherLinkTest, PortVanishingMidReplyStopsQuietly) {
  At(4000);
  port.Receive({0x01, 0x20});  // collecting
  ASSERT_EQ(port.threshold, 0);
  port.Unplug();
  port.rx.clear();
  port.onComm();  // a stray notification after the close
  At(4200);       // Timer3 finds nothing to read
  EXPECT_FALSE(SendLit());
  EXPECT_FALSE(ReceiveLit());
  EXPECT_EQ(form.Label18.text, "");
  At(20000);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_EQ(port.openAttempts, 4);  // 8, 12, 16, 20 s
  port.present = true;
  At(24000);
  EXPECT_EQ(Requests(), 2u);
  EXPECT_EQ(port.threshold, 1);
}

TEST_F(WeatherLinkTest, FailedWriteOnAnOpenPortStillRunsTheOtherSteps) {
  port.failWrites = true;
  At(4000);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_TRUE(SendLit());
  At(4200);
  EXPECT_FALSE(SendLit());
  At(8000);
  EXPECT_EQ(port.openAttempts, 0);  // the port is open; only the write failed
}

// Device 1 answers (wind 10 mph, 4.5 m/s), then hangs at 5 s while device 2
// (wind 20 mph, 8.9 m/s) appears at the path.  Requests at 8, 12 and 16 s go
// unanswered into the hung device; at 20 s the port is opened again and the
// request reaches device 2.  When device 2 falls silent too (21 s), the port
// is reopened after three unanswered requests (36 s) and then only after
// every fifteen more (96 s, 156 s).
TEST(WeatherLinkReopen, SilentPortIsOpenedAgainAndFindsTheNewDevice) {
  fakes::ManualTimerHub hub;
  auto timer2 = hub.Make(0, false);
  auto timer3 = hub.Make(0, false);
  ReplaceablePort port;
  port.answering[1] = 10;
  fakes::ManualClock clock;
  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
  WeatherLink link{form, totals, port, *timer2, *timer3, clock};
  link.Start();
  auto at = [&](int64_t ms) { hub.Advance(ms - hub.Now()); };
  const std::string& wind = form.Label8[label::kWindSpeed].text;

  at(4000);
  EXPECT_EQ(wind, "4.5");
  at(5000);
  port.answering.erase(1);
  port.pathDevice = 2;
  port.answering[2] = 20;
  at(16000);
  EXPECT_EQ(wind, "4.5");
  EXPECT_EQ(link.UnansweredRequests(), 3);
  EXPECT_EQ(port.closes, 0);
  at(20000);
  EXPECT_EQ(port.closes, 1);
  EXPECT_EQ(port.opens, 1);
  EXPECT_EQ(port.openDevice, 2);
  EXPECT_EQ(wind, "8.9");
  EXPECT_EQ(form.Label18.text, "ok");
  EXPECT_EQ(link.UnansweredRequests(), 0);
  EXPECT_EQ(port.written.size(), 5u);  // one request every 4 s throughout

  at(21000);
  port.answering.clear();
  at(35999);
  EXPECT_EQ(link.SilentReopens(), 1);
  at(36000);
  EXPECT_EQ(link.SilentReopens(), 2);
  at(95999);
  EXPECT_EQ(link.SilentReopens(), 2);
  at(96000);
  EXPECT_EQ(link.SilentReopens(), 3);
  at(155999);
  EXPECT_EQ(link.SilentReopens(), 3);
  at(156000);
  EXPECT_EQ(link.SilentReopens(), 4);
  EXPECT_EQ(port.opens, port.closes);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.written.size(), 39u);  // still a request every 4 s
}

TEST_F(WeatherLinkTest, DestroyingTheLinkUnhooksTimersAndPort) {
  {
    fakes::FakeSerialPort other;
    auto t2 = hub.Make(0, false);
    auto t3 = hub.Make(0, false);
    { WeatherLink scoped(form, totals, other, *t2, *t3, clock); }
    EXPECT_FALSE(static_cast<bool>(t2->onTick));
    EXPECT_FALSE(static_cast<bool>(t3->onTick));
    EXPECT_FALSE(static_cast<bool>(other.onComm));
    hub.Forget(t2.get());
    hub.Forget(t3.get());
  }
}

}  // namespace
}  // namespace varnel::weather
