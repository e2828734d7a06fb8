#include "weather/link.h"

#include "weather/protocol.h"

namespace varnel::weather {

namespace {

// Byte offsets at which the characters of a UTF-8 text start.  A byte that
// cannot start a valid sequence counts as a character of its own.
std::vector<std::size_t> CharacterStarts(const std::string& s) {
  std::vector<std::size_t> starts;
  std::size_t i = 0;
  while (i < s.size()) {
    starts.push_back(i);
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    if (b >= 0xF0 && b < 0xF8) {
      len = 4;
    } else if (b >= 0xE0) {
      len = b < 0xF0 ? 3 : 1;
    } else if (b >= 0xC0) {
      len = 2;
    }
    if (i + len > s.size()) len = 1;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
        len = 1;
        break;
      }
    }
    i += len;
  }
  return starts;
}

}  // namespace

void ShowTitleClock(std::string& title, const text::LocalDateTime& now) {
  const auto starts = CharacterStarts(title);
  if (starts.size() < kTitleClockFirst) return;
  const std::size_t first = kTitleClockFirst - 1;  // 0-based character index
  const std::size_t count = std::min(kTitleClockLength, starts.size() - first);
  const std::string clock = text::FormatSlashed(now);  // 19 ASCII characters
  const std::size_t from = starts[first];
  const std::size_t to = first + count < starts.size() ? starts[first + count] : title.size();
  title.replace(from, to - from, clock.substr(0, count));
}

WeatherLink::WeatherLink(PolModeForm& form, WeatherTotals& totals, SerialPort& port, Timer& timer2, Timer& timer3,
                         const Clock& clock)
    : form_(form), totals_(totals), port_(port), timer2_(timer2), timer3_(timer3), clock_(clock) {
  timer2_.onTick = [this] { Timer2Tick(); };
  timer3_.onTick = [this] { Timer3Tick(); };
  port_.onComm = [this] { OnComm(); };
}

WeatherLink::~WeatherLink() {
  timer2_.onTick = nullptr;
  timer3_.onTick = nullptr;
  port_.onComm = nullptr;
}

void WeatherLink::Start() {
  timer3_.SetEnabled(false);
  timer3_.SetInterval(kReceiveTimerMs);
  timer2_.SetInterval(kRequestTimerMs);
  timer2_.SetEnabled(true);
  if (port_.IsOpen()) port_.SetReceiveThreshold(1);
}

void WeatherLink::Timer2Tick() {
  ShowTitleClock(form_.title, clock_.Now());
  // A reply read on the receive-event path stops Timer3, which would have
  // put the send lamp out; with a station that always answers promptly the
  // lamp would then never go out.  Put it out on the next tick instead.
  if (!timer3_.Enabled()) form_.Label6[1].backColor.reset();
  ++requestCounter_;
  if (requestCounter_ < kTicksPerRequest) return;
  requestCounter_ = 0;
  ReopenIfSilent();
  // With no port there is nobody to ask: no request and no indicator; the
  // next attempt to reach the station is four ticks later.
  if (!EnsurePortOpen()) return;
  DiscardLeftovers();
  // Counted before the write: a station may answer before it returns.
  ++unanswered_;
  SendWeatherRequest();
  form_.Label6[1].backColor = kRed;
  Repaint();
  timer3_.SetEnabled(true);
}

void WeatherLink::OnComm() {
  const int waiting = port_.BytesWaiting();
  if (waiting <= 0) return;
  form_.Label6[0].backColor = kRed;
  Repaint();
  timer3_.SetEnabled(true);
  port_.SetReceiveThreshold(0);
  form_.Label18.text.clear();
  if (waiting <= kReplyThreshold) return;  // collecting: Timer3 finishes the reply
  const std::vector<uint8_t> reply = TakeReply();
  timer3_.SetEnabled(false);
  form_.Label6[0].backColor.reset();
  ApplyWeatherReply(reply, ReplyPath::ReceiveEvent, form_, totals_);
  port_.SetReceiveThreshold(1);
}

void WeatherLink::Timer3Tick() {
  timer3_.SetEnabled(false);
  form_.Label6[0].backColor.reset();
  form_.Label6[1].backColor.reset();
  // 1..16 bytes stay in the port for the next read.
  if (port_.BytesWaiting() > kReplyThreshold) {
    const std::vector<uint8_t> reply = TakeReply();
    ApplyWeatherReply(reply, ReplyPath::ReceiveTimer, form_, totals_);
  }
  port_.SetReceiveThreshold(1);
}

void WeatherLink::SendWeatherRequest() { port_.Write(kRequest); }

std::vector<uint8_t> WeatherLink::TakeReply() {
  std::vector<uint8_t> reply = port_.ReadAll();
  requestCounter_ = 0;
  unanswered_ = 0;
  reopenAt_ = kUnansweredBeforeReopen;
  return reply;
}

void WeatherLink::DiscardLeftovers() {
  // A reply being collected right now (Timer3 runs) is left to finish.
  if (timer3_.Enabled() || port_.BytesWaiting() <= 0) return;
  port_.ReadAll();
}

void WeatherLink::ReopenIfSilent() {
  if (!port_.IsOpen() || unanswered_ < reopenAt_) return;
  // The open happens at once in EnsurePortOpen, before the request.
  port_.Close();
  ++silentReopens_;
  reopenAt_ = unanswered_ + kUnansweredBetweenReopens;
}

bool WeatherLink::EnsurePortOpen() {
  if (port_.IsOpen()) return true;
  if (!reopenClosedPort || !port_.Open()) return false;
  port_.SetReceiveThreshold(1);
  return true;
}

}  // namespace varnel::weather
