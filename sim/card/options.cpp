#include "options.h"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "platform/device.h"
#include "requests.h"

namespace cardsim {
namespace {

// Decimal, or hexadecimal with a 0x prefix.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
  int base = 10;
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return false;
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (ec != std::errc() || end != digits.data() + digits.size() || v > max) return false;
  value = v;
  return true;
}

bool RequestByName(const std::string& name, const RequestInfo*& info, std::string& error) {
  info = FindRequest(name);
  if (info == nullptr) error = "unknown request name '" + name + "'";
  return info != nullptr;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
  std::optional<std::string> profileText;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = opt + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto number = [&](uint64_t max, uint64_t& out) {
      std::string text;
      if (!value(text)) return false;
      if (!ParseUnsigned(text, max, out)) {
        error = opt + ": '" + text + "' is not a number from 0 to " + std::to_string(max);
        return false;
      }
      return true;
    };
    uint64_t n = 0;
    std::string text;
    if (opt == "--help" || opt == "-h") {
      o.help = true;
    } else if (opt == "--type") {
      if (!number(2, n)) return false;
      if (n < 1) {
        error = "--type must be 1 (QDA7100U) or 2 (QDA7100B)";
        return false;
      }
      o.cardType = static_cast<int>(n);
    } else if (opt == "--io-base") {
      if (!number(0xFFFF, n)) return false;
      o.ioBase = static_cast<uint16_t>(n);
    } else if (opt == "--irq") {
      if (!number(0xFFFF, n)) return false;
      o.irq = static_cast<uint16_t>(n);
    } else if (opt == "--bad-card-type") {
      if (!number(0xFFFFFFFFu, n)) return false;
      o.reportedCardType = static_cast<uint32_t>(n);
    } else if (opt == "--fail") {
      if (!value(text)) return false;
      const auto eq = text.find('=');
      uint64_t code = platform::ERROR_GEN_FAILURE;
      if (eq != std::string::npos && (!ParseUnsigned(text.substr(eq + 1), 0xFFFFFFFFu, code) || code == 0 ||
                                      code == platform::ERROR_IO_PENDING)) {
        error = "--fail " + text + ": the error code must be a non-zero system error code other than 997";
        return false;
      }
      const RequestInfo* r = nullptr;
      if (!RequestByName(text.substr(0, eq), r, error)) return false;
      o.fail[r->code] = static_cast<uint32_t>(code);
    } else if (opt == "--status") {
      if (!value(text)) return false;
      const auto eq = text.find('=');
      uint64_t word = 0;
      if (eq == std::string::npos || !ParseUnsigned(text.substr(eq + 1), 0xFFFFFFFFu, word)) {
        error = "--status needs REQUEST=VALUE";
        return false;
      }
      const RequestInfo* r = nullptr;
      if (!RequestByName(text.substr(0, eq), r, error)) return false;
      if (!r->statusOutput) {
        error = "--status: " + std::string(r->name) + " returns data, not a status word";
        return false;
      }
      o.status[r->code] = static_cast<uint32_t>(word);
    } else if (opt == "--short-reply" || opt == "--oversize-reply") {
      if (!value(text)) return false;
      const RequestInfo* r = nullptr;
      if (!RequestByName(text, r, error)) return false;
      (opt == "--short-reply" ? o.shortReply : o.oversizeReply).insert(r->code);
    } else if (opt == "--pol-immediate") {
      o.polImmediate = true;
    } else if (opt == "--pol-never") {
      o.polNever = true;
    } else if (opt == "--exit-during-acquisition") {
      o.exitDuringAcquisition = true;
    } else if (opt == "--instant") {
      o.instant = true;
    } else if (opt == "--end-early") {
      if (!number(0xFFFFFFFFu, n)) return false;
      o.endEarly = static_cast<uint32_t>(n);
    } else if (opt == "--start-delay") {
      if (!number(3600000, n)) return false;
      o.startDelayMs = static_cast<uint32_t>(n);
    } else if (opt == "--ring-waiting") {
      if (!number(0x7FFFFFFF, n)) return false;
      o.ringWaiting = static_cast<uint32_t>(n);
    } else if (opt == "--test-pend") {
      if (i + 1 < args.size() && args[i + 1] == "never") {
        ++i;
        o.testPendMs.reset();
      } else {
        if (!number(3600000, n)) return false;
        o.testPendMs = static_cast<uint32_t>(n);
      }
    } else if (opt == "--hang-after") {
      if (!number(std::numeric_limits<uint32_t>::max(), n)) return false;
      o.hangAfter = n;
    } else if (opt == "--hang-for") {
      if (!number(86400000, n)) return false;
      if (n == 0) {
        error = "--hang-for needs a time of at least 1 ms";
        return false;
      }
      o.hangForMs = static_cast<uint32_t>(n);
    } else if (opt == "--groups") {
      if (!number(4, n)) return false;
      if (n != 1 && n != 2 && n != 4) {
        error = "--groups must be 1, 2 or 4";
        return false;
      }
      o.groups = static_cast<int>(n);
    } else if (opt == "--freq") {
      if (!number(60, n)) return false;
      if (n != 50 && n != 60) {
        error = "--freq must be 50 or 60";
        return false;
      }
      o.powerHz = static_cast<double>(n);
    } else if (opt == "--seed") {
      if (!number(std::numeric_limits<uint64_t>::max(), n)) return false;
      o.seed = n;
    } else if (opt == "--profile") {
      if (!value(text)) return false;
      profileText = text;
    } else if (opt == "--device-dir") {
      if (!value(o.deviceDir)) return false;
      if (o.deviceDir.empty()) {
        error = "--device-dir needs a folder";
        return false;
      }
    } else if (opt == "--trace") {
      if (!value(o.traceFile)) return false;
      if (o.traceFile.empty()) {
        error = "--trace needs a file";
        return false;
      }
    } else {
      error = "unknown option '" + opt + "' (see --help)";
      return false;
    }
  }
  if (o.polImmediate && o.polNever) {
    error = "--pol-immediate and --pol-never exclude each other";
    return false;
  }
  if (o.hangAfter != 0 && !o.hangForMs) {
    error = "--hang-after needs --hang-for";
    return false;
  }
  if (profileText) o.profileText = *profileText;
  o.profile.powerHz = o.powerHz;
  o.profile.seed = o.seed;
  return ParseProfile(o.profileText, o.profile, error);
}

std::string HelpText() {
  const std::string guid = morlex::kDeviceClassGuid;
  return R"(Usage: qda7100-sim [options]

Stand-in for the QDA7100 A/D card's driver.  Registers one device of class
)" + guid + R"( as the socket
<folder>/)" + guid + R"(-0, where <folder> is
$QDA7100_DEVICE_DIR when set, else /run/qda7100 for root, else
$XDG_RUNTIME_DIR/qda7100 (or /tmp/qda7100-<uid>).  The folder is made 0700
and the socket 0600; a folder that is a symbolic link, belongs to another
user or that others can write to is refused.  Prints "qda7100-sim: serving
<path>" when ready and removes the socket on SIGTERM or SIGINT.

Card:
  --type 1|2               card type: 1 QDA7100U (0..2.5 V), 2 QDA7100B (+-5 V); default 2
  --io-base N              I/O base reported by IOCTL_AD_GET_RESOURCE (decimal or 0x hex); default 0x300
  --irq N                  interrupt number reported; default 5
  --device-dir DIR         serve in DIR instead of the standard device folder
  --trace FILE             write a line to FILE for every request received and every
                           completion sent: "<monotonic seconds> <call> request <NAME>" and
                           "<monotonic seconds> <call> complete <NAME> <status>"

Signal (raw 13-bit codes in scan frames; zero current is code 2048):
  --profile NAME           insulators (default: 16 insulators from clean and dry to
                           polluted and wet), zero, constant:CODE (0..8191),
                           sine:AMPLITUDE_COUNTS (2048 + A sin(2 pi f t) on every channel)
  --freq 50|60             power frequency; default 50
  --groups 1|2|4           multiplexer groups; polling acquisition n reads group n mod groups,
                           channel index = group * 4 + A/D channel; n restarts at 0 when a
                           program asks for the card (IOCTL_AD_GET_RESOURCE); default 1
  --seed N                 seed of the noise and discharge bursts; default 1
    Type 2: code = (V + 5) / 10 * 4096.  Type 1: code = (V + 1.25) / 2.5 * 4096
    (1.25 V mid-scale bias).  V = shunt voltage (330 ohm).  Out of range: clamped, bit 12 set.
    Frame k of the stream (counted over all acquisitions) is at t = k * interval.

Timing:
  --instant                complete acquisitions without waiting for real time
  --start-delay MS         with the external start trigger set, the trigger arrives MS after
                           the start request; default 0
  --end-early N            with the external stop trigger set, end after N samples
                           (all channels together)
  --test-pend MS|never     IOCTL_AD_TEST_START_POL and IOCTL_AD_STOP_ONESHOT pend for MS
                           (0: complete at once; never: never complete); default 100
  --ring-waiting N         samples waiting right after a ring or trigger buffer is
                           allocated (IOCTL_AD_RING_COUNT); default 0

Faults (REQUEST is a request name such as IOCTL_AD_SET_FREQ; options repeat):
  --fail REQUEST[=ERROR]   that request fails at once with system error ERROR (default 31)
  --status REQUEST=VALUE   the status word written back by that request
  --short-reply REQUEST    reply with half the bytes the request should deliver
  --oversize-reply REQUEST claim (and send) 16 bytes more than the output buffer holds
  --bad-card-type N        IOCTL_AD_GET_RESOURCE reports card type N
  --pol-immediate          complete IOCTL_AD_START_POL at once instead of pending
  --pol-never              never complete IOCTL_AD_START_POL
  --exit-during-acquisition  remove the device and exit half way through an acquisition
  --hang-for MS            the card hangs for MS (1..86400000): every acquisition it accepts
                           meanwhile (IOCTL_AD_START_POL, START_RING, ONE_SHOT) pends and is
                           never completed, not even by a stop request; it holds the card (a
                           further acquisition fails busy, 170) until the client cancels it
                           or disconnects.  It takes no samples and leaves the multiplexer
                           sequence where it was.  Acquisitions accepted after the MS have
                           passed run normally again.  The hang starts with the first
                           acquisition after --hang-after; its start and end are written
                           to standard error
  --hang-after N           N acquisitions (of any kind) run normally before the hang; default 0

  --help                   this text

Requests: IOCTL_AD_GET_RESOURCE SET_PARAM SET_CHANNEL SET_FREQ SET_DATA_MEM
SET_DATA_COUNT SET_TRIGGER SET_LIMIT_TRG START_POL START_RING TEST_START_POL
ONE_SHOT STOP_IRQ TEST_STOP_POL STOP_ONESHOT RING_COUNT READ_RING RING_STATUS
READ_TRG_DATA ALLOC_RING FREE_RING ALLOC_TRG FREE_TRG CREATE_SYSTEM_THREAD
SET_INTERNAL_CLOCK SET_EXTERNAL_CLOCK (each with the IOCTL_AD_ prefix).
Ring status words: 0 stopped by request, 2 FIFO overrun, 16 limit trigger data ready.
)";
}

}  // namespace cardsim
