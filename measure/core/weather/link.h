// The weather polling schedule: when the request goes to the station, when
// its reply is read, the send and receive indicators, and the clock in the
// window title.
//
// Three handlers drive it, all on the window's event thread: the 1 s timer
// Timer2 (title clock, a request every fourth tick), the port's receive
// notification, and the 200 ms one-shot receive timer Timer3.
//
// The send lamp is lit from a request until Timer3 ticks 200 ms later, or,
// when the reply was read on the receive-event path (which stops Timer3),
// until the next tick of Timer2.
//
// A port that is not open (it could not be opened at start-up, or the device
// went away while running and the port closed itself) makes the weather
// steps do nothing; the clock and the timers go on.  Every fourth tick of
// Timer2, where a request would go out, the link asks the port to open
// again, so the station is back within about four seconds of reappearing.
//
// A port can also stay open on a device that is gone without ever reporting
// it: a station unplugged and plugged back whose old descriptor never hangs
// up, a configured path (a symbolic link) that now names a new device while
// the old one hangs.  Writes still succeed, but nothing answers.  So when
// kUnansweredBeforeReopen requests in a row got no reply read, the link
// closes the port and opens the configured path again before the next
// request; while the station stays silent it does so again after every
// kUnansweredBetweenReopens further requests (a minute), not at every
// request.  Any reply read, good or not, shows the port works.
//
// A request starts on an empty line: bytes still waiting from before it
// are no reply to it, and are dropped.  They are the end of a reply that
// was read while its last bytes were still on the way (a read takes what
// waits once more than 16 bytes are there, and a station's packet is
// longer), or a fragment too short ever to be read.  Left waiting, they
// would become the first bytes of the next reply, which would then be
// rejected for its first byte, or, when a left-over byte happened to be
// 0x01, taken with its fields shifted: a reading lost or made up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "form/form.h"
#include "ports/ports.h"
#include "form/state.h"
#include "text/numforms.h"
#include "weather/reply.h"

namespace varnel::weather {

inline constexpr uint32_t kRequestTimerMs = 1000;  // Timer2
inline constexpr uint32_t kReceiveTimerMs = 200;   // Timer3
inline constexpr int32_t kTicksPerRequest = 4;     // a request on the fourth tick
inline constexpr int32_t kUnansweredBeforeReopen = 3;     // 12 s of silence
inline constexpr int32_t kUnansweredBetweenReopens = 15;  // then once a minute

// Window-title clock: characters 60 to 78 (from 1) of the title become
// "yyyy/mm/dd hh:mm:ss".  Characters are counted in code points of the UTF-8
// title, and the title never changes length: a title shorter than 60
// characters stays as it is, one of 60..77 characters takes as much of the
// clock as fits.
inline constexpr std::size_t kTitleClockFirst = 60;
inline constexpr std::size_t kTitleClockLength = 19;
void ShowTitleClock(std::string& title, const text::LocalDateTime& now);

class WeatherLink {
 public:
  // Hooks the ticks of both timers and the port's receive notification to
  // this link (and unhooks them again on destruction).  The timers and the
  // port stay as they are until Start().
  WeatherLink(PolModeForm& form, WeatherTotals& totals, SerialPort& port, Timer& timer2, Timer& timer3,
              const Clock& clock);
  ~WeatherLink();
  WeatherLink(const WeatherLink&) = delete;
  WeatherLink& operator=(const WeatherLink&) = delete;

  // Timer2 at 1000 ms and enabled, Timer3 at 200 ms and disabled, receive
  // threshold 1: the idle state.  Called once start-up has opened the port
  // (or failed to).
  void Start();

  void Timer2Tick();
  void OnComm();
  void Timer3Tick();

  // Writes the 7 request bytes in one write (nothing when the port fails).
  void SendWeatherRequest();

  // Ticks of Timer2 since the last request or the last reply read.
  int32_t RequestCounter() const { return requestCounter_; }
  // Requests sent since the last reply read.
  int32_t UnansweredRequests() const { return unanswered_; }
  // Times the port was closed and opened again because nothing answered.
  int32_t SilentReopens() const { return silentReopens_; }

  // Called when an indicator turns red, which the window draws at once.
  std::function<void()> repaint;

  // Whether a closed port is opened again on the request ticks.  Start-up
  // clears it when it leaves the port closed on purpose (no card found), so
  // that the port then stays closed for the program's life.
  bool reopenClosedPort = true;

 private:
  std::vector<uint8_t> TakeReply();
  bool EnsurePortOpen();
  void ReopenIfSilent();
  void DiscardLeftovers();
  void Repaint() {
    if (repaint) repaint();
  }

  PolModeForm& form_;
  WeatherTotals& totals_;
  SerialPort& port_;
  Timer& timer2_;
  Timer& timer3_;
  const Clock& clock_;
  int32_t requestCounter_ = 0;
  int32_t unanswered_ = 0;
  int32_t reopenAt_ = kUnansweredBeforeReopen;  // unanswered requests that trigger the next reopen
  int32_t silentReopens_ = 0;
};

}  // namespace varnel::weather
