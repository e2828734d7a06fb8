#include "options.h"

#include <charconv>

namespace weathersim {

namespace {

std::optional<long> ParseInt(const std::string& s, long lo, long hi) {
  long v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(const std::string& s) {
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string UsageText() {
  return
      "usage: weather-station-sim [options]\n"
      "Simulated weather station on a pseudo-terminal.  Prints its device path\n"
      "(\"weather-station-sim: /dev/pts/N\") and answers every LOOP request\n"
      "(4C 4F 4F 50 E7 FF 0D) with a packet of readings.\n"
      "\n"
      "Readings (default: a day of weather changing smoothly with time):\n"
      "  --fixed READINGS     the same readings for every packet, as\n"
      "                       key=value,...: in, out (degC), wind (m/s), dir (deg),\n"
      "                       inhum, outhum (%), rain (mm); wire values with\n"
      "                       in_raw, out_raw, wind_raw, dir_raw, rain_raw\n"
      "                       (temperatures below 0 degF are sent as negative\n"
      "                       16-bit values: out=-20 or out_raw=-40)\n"
      "  --sequence FILE      one line of READINGS per packet, repeating at the end\n"
      "  --start-hour H       day profile: time of day at start, 0..24 (default 12)\n"
      "  --speedup F          day profile: simulated seconds per second (default 1)\n"
      "\n"
      "Timing and faults:\n"
      "  --delay-ms N         answer N ms after the request (default 20)\n"
      "  --length N           packet length in bytes, 14..255 (default 18)\n"
      "  --silent             never send anything\n"
      "  --wrong-first-byte   start packets with 0x06 instead of 0x01\n"
      "  --split              send the first byte, the rest after --split-gap-ms\n"
      "  --split-gap-ms N     gap of a split packet (default 50)\n"
      "  --short              send only the first 10 bytes of each packet\n"
      "  --extra N            append N further bytes to each packet\n"
      "  --burst              also send a packet every 2 s unasked\n"
      "  --burst-ms N         interval of --burst (default 2000)\n"
      "  --garbage            3 bytes of line noise before each packet\n"
      "\n"
      "Other:\n"
      "  --link PATH          also make PATH a symbolic link to the device\n"
      "                       (removed again on exit)\n"
      "  --verbose            log requests and packets on standard error\n"
      "  --help               this text\n"
      "Ends cleanly on SIGTERM, SIGINT or SIGHUP.\n";
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
  Options o;
  bool haveReadings = false;
  double startHour = 12.0;
  double speedup = 1.0;
  auto fail = [&](const std::string& why) -> std::optional<Options> {
    if (error) *error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto intValue = [&](long lo, long hi) -> std::optional<long> {
      const auto v = value();
      return v ? ParseInt(*v, lo, hi) : std::nullopt;
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--link") {
      const auto v = value();
      if (!v || v->empty()) return fail("--link needs a path");
      o.linkPath = *v;
    } else if (a == "--fixed" || a == "--sequence") {
      if (haveReadings) return fail("give only one of --fixed and --sequence");
      const auto v = value();
      if (!v) return fail(a + " needs a value");
      std::string why;
      if (a == "--fixed") {
        const auto r = ParseReading(*v, &why);
        if (!r) return fail("--fixed: " + why);
        o.profile = Profile::Fixed(*r);
      } else {
        auto seq = LoadSequence(*v, &why);
        if (!seq) return fail("--sequence: " + why);
        o.profile = Profile::Sequence(std::move(*seq));
      }
      haveReadings = true;
    } else if (a == "--start-hour" || a == "--speedup") {
      const auto v = value();
      const double d = v ? ParseDouble(*v).value_or(-1.0) : -1.0;
      if (a == "--start-hour") {
        if (d < 0 || d > 24) return fail("--start-hour needs a number 0..24");
        startHour = d;
      } else {
        if (d <= 0 || d > 1e6) return fail("--speedup needs a number above 0 (up to 1e6)");
        speedup = d;
      }
    } else if (a == "--delay-ms") {
      const auto v = intValue(0, 600000);
      if (!v) return fail("--delay-ms needs 0..600000");
      o.delayMs = static_cast<int>(*v);
    } else if (a == "--length") {
      const auto v = intValue(14, 255);
      if (!v) return fail("--length needs 14..255");
      o.length = static_cast<std::size_t>(*v);
    } else if (a == "--split-gap-ms") {
      const auto v = intValue(0, 600000);
      if (!v) return fail("--split-gap-ms needs 0..600000");
      o.splitGapMs = static_cast<int>(*v);
    } else if (a == "--extra") {
      const auto v = intValue(0, 4096);
      if (!v) return fail("--extra needs 0..4096");
      o.extra = static_cast<std::size_t>(*v);
    } else if (a == "--burst-ms") {
      const auto v = intValue(10, 600000);
      if (!v) return fail("--burst-ms needs 10..600000");
      o.burstMs = static_cast<int>(*v);
    } else if (a == "--silent") {
      o.silent = true;
    } else if (a == "--wrong-first-byte") {
      o.wrongFirstByte = true;
    } else if (a == "--split") {
      o.split = true;
    } else if (a == "--short") {
      o.shortReply = true;
    } else if (a == "--burst") {
      o.burst = true;
    } else if (a == "--garbage") {
      o.garbage = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else {
      return fail("unknown option \"" + a + "\" (see --help)");
    }
  }
  if (!haveReadings) o.profile = Profile::Day(startHour, speedup);
  return o;
}

std::vector<std::vector<uint8_t>> BuildReply(const Options& o, uint64_t replyIndex, double elapsedSeconds) {
  std::vector<uint8_t> bytes = EncodePacket(o.profile.Reading(replyIndex, elapsedSeconds), o.length);
  if (o.wrongFirstByte) bytes[0] = 0x06;
  if (o.shortReply && bytes.size() > kShortLength) bytes.resize(kShortLength);
  bytes.insert(bytes.end(), o.extra, uint8_t{0x00});
  if (o.garbage) {
    // Deterministic line noise; never 0x01, so it cannot pass for a packet start.
    const auto seed = static_cast<uint8_t>(replyIndex * 37u);
    const uint8_t noise[kGarbageLength] = {static_cast<uint8_t>(0xA4 ^ (seed & 0x0E)), static_cast<uint8_t>(0x5A + seed),
                                           0xFF};
    bytes.insert(bytes.begin(), noise, noise + kGarbageLength);
  }
  if (o.split && bytes.size() > 1) {
    return {std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1), std::vector<uint8_t>(bytes.begin() + 1, bytes.end())};
  }
  return {bytes};
}

}  // namespace weathersim
