#include "profile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

namespace weathersim {

namespace {

long RoundClamp(double v, long lo, long hi) {
  if (!std::isfinite(v)) return lo;
  const double r = std::round(v);
  if (r < static_cast<double>(lo)) return lo;
  if (r > static_cast<double>(hi)) return hi;
  return static_cast<long>(r);
}

void PutLe16(std::vector<uint8_t>& p, std::size_t at, uint16_t v) {
  p[at] = static_cast<uint8_t>(v & 0xFF);
  p[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::optional<double> ParseNumber(std::string_view s) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// Applies one "key=value" item; false with a message when it is not valid.
bool ApplyItem(RawReading& r, std::string_view item, std::string* error) {
  const auto eq = item.find('=');
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (eq == std::string_view::npos) return fail("expected key=value, got \"" + std::string(item) + "\"");
  const std::string key(Trim(item.substr(0, eq)));
  const auto value = ParseNumber(item.substr(eq + 1));
  if (!value) return fail("\"" + key + "\" needs a number, got \"" + std::string(Trim(item.substr(eq + 1))) + "\"");
  const double v = *value;
  auto wire = [&](long hi) -> std::optional<long> {
    if (v < 0 || v > static_cast<double>(hi) || v != std::floor(v)) return std::nullopt;
    return static_cast<long>(v);
  };
  if (key == "in") {
    r.inTemp = TempCelsiusToWire(v);
  } else if (key == "out") {
    r.outTemp = TempCelsiusToWire(v);
  } else if (key == "wind") {
    if (v < 0) return fail("wind must not be negative");
    r.windSpeed = WindMetresPerSecondToWire(v);
  } else if (key == "dir") {
    if (v < 0 || v > 65535) return fail("dir must be 0..65535");
    r.direction = static_cast<uint16_t>(RoundClamp(v, 0, 65535));
  } else if (key == "inhum" || key == "outhum") {
    if (v < 0 || v > 255) return fail(key + " must be 0..255");
    (key == "inhum" ? r.inHumidity : r.outHumidity) = static_cast<uint8_t>(RoundClamp(v, 0, 255));
  } else if (key == "rain") {
    if (v < 0) return fail("rain must not be negative");
    r.rain = RainMillimetresToWire(v);
  } else if ((key == "in_raw" || key == "out_raw") && v < 0) {
    // A temperature below 0 °F, given as the signed number the station sends
    // in two's complement.
    if (v < -32768 || v != std::floor(v)) return fail(key + " must be a whole number -32768..65535");
    (key == "in_raw" ? r.inTemp : r.outTemp) = static_cast<uint16_t>(static_cast<int16_t>(v));
  } else if (key == "in_raw" || key == "out_raw" || key == "dir_raw" || key == "rain_raw") {
    const auto w = wire(65535);
    if (!w) return fail(key + " must be a whole number 0..65535");
    const auto u = static_cast<uint16_t>(*w);
    if (key == "in_raw") r.inTemp = u;
    if (key == "out_raw") r.outTemp = u;
    if (key == "dir_raw") r.direction = u;
    if (key == "rain_raw") r.rain = u;
  } else if (key == "wind_raw") {
    const auto w = wire(255);
    if (!w) return fail("wind_raw must be a whole number 0..255");
    r.windSpeed = static_cast<uint8_t>(*w);
  } else {
    return fail("unknown key \"" + key + "\" (in, out, wind, dir, inhum, outhum, rain, *_raw)");
  }
  return true;
}

}  // namespace

uint16_t TempCelsiusToWire(double celsius) {
  const long tenthsF = RoundClamp((celsius * 9.0 / 5.0 + 32.0) * 10.0, -32768, 32767);
  return static_cast<uint16_t>(static_cast<int16_t>(tenthsF));
}

uint8_t WindMetresPerSecondToWire(double metresPerSecond) {
  return static_cast<uint8_t>(RoundClamp(metresPerSecond * 3578.0 / 1600.0, 0, 255));
}

uint16_t RainMillimetresToWire(double millimetres) {
  return static_cast<uint16_t>(RoundClamp(millimetres / 25.4 * 100.0, 0, 65535));
}

std::vector<uint8_t> EncodePacket(const RawReading& r, std::size_t length) {
  std::vector<uint8_t> p(std::max<std::size_t>(length, 14), 0);
  p[0] = 0x01;
  PutLe16(p, 1, r.inTemp);
  PutLe16(p, 3, r.outTemp);
  p[5] = r.windSpeed;
  PutLe16(p, 6, r.direction);
  PutLe16(p, 8, 29920);  // barometer, thousandths of an inch of mercury (not read)
  p[10] = r.inHumidity;
  p[11] = r.outHumidity;
  PutLe16(p, 12, r.rain);
  if (p.size() >= 16) {  // end the packet the way the station ends a line
    p[p.size() - 2] = 0x0A;
    p[p.size() - 1] = 0x0D;
  }
  p.resize(length);
  return p;
}

RawReading DefaultReading() {
  RawReading r;
  r.inTemp = TempCelsiusToWire(22.0);
  r.outTemp = TempCelsiusToWire(15.0);
  r.windSpeed = WindMetresPerSecondToWire(2.0);
  r.direction = 180;
  r.inHumidity = 45;
  r.outHumidity = 60;
  r.rain = 0;
  return r;
}

std::optional<RawReading> ParseReading(std::string_view text, std::string* error) {
  RawReading r = DefaultReading();
  std::string item;
  auto flush = [&]() {
    const auto t = Trim(item);
    const bool ok = t.empty() || ApplyItem(r, t, error);
    item.clear();
    return ok;
  };
  for (const char c : text) {
    if (c == ',' || c == ';' || c == ' ' || c == '\t') {
      if (!flush()) return std::nullopt;
    } else {
      item.push_back(c);
    }
  }
  if (!flush()) return std::nullopt;
  return r;
}

std::optional<std::vector<RawReading>> ParseSequence(std::string_view text, std::string* error) {
  std::vector<RawReading> out;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    const auto line = Trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++lineNo;
    if (line.empty() || line.front() == '#') continue;
    std::string why;
    auto r = ParseReading(line, &why);
    if (!r) {
      if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
      return std::nullopt;
    }
    out.push_back(*r);
  }
  if (out.empty()) {
    if (error) *error = "no readings";
    return std::nullopt;
  }
  return out;
}

std::optional<std::vector<RawReading>> LoadSequence(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string why;
  auto seq = ParseSequence(text.str(), &why);
  if (!seq && error) *error = path + ": " + why;
  return seq;
}

DayWeather DayWeatherAt(double hourOfDay) {
  double h = std::fmod(hourOfDay, 24.0);
  if (h < 0) h += 24.0;
  const double twoPi = 2.0 * std::numbers::pi;
  const double warm = std::sin(twoPi * (h - 9.0) / 24.0);  // -1 at 03:00, +1 at 15:00
  DayWeather w{};
  w.outTempC = 14.0 + 7.0 * warm;
  w.inTempC = 22.0 + 2.0 * std::sin(twoPi * (h - 11.0) / 24.0);
  w.outHumidity = 70.0 - 20.0 * warm;
  w.inHumidity = 45.0 + 5.0 * std::sin(twoPi * (h - 3.0) / 24.0);
  w.windMs = std::max(0.0, 3.0 + 2.0 * std::sin(twoPi * (h - 13.0) / 24.0) + 0.8 * std::sin(twoPi * h * 6.0));
  w.directionDeg = std::fmod(225.0 + 60.0 * std::sin(twoPi * h / 24.0) + 20.0 * std::sin(twoPi * h * 4.0) + 360.0, 360.0);
  if (h < 14.0) {
    w.rainMm = 0.0;
  } else if (h < 16.0) {
    w.rainMm = 2.0 * (h - 14.0);
  } else {
    w.rainMm = 4.0;
  }
  return w;
}

RawReading DayReadingAt(double hourOfDay) {
  const DayWeather w = DayWeatherAt(hourOfDay);
  RawReading r;
  r.inTemp = TempCelsiusToWire(w.inTempC);
  r.outTemp = TempCelsiusToWire(w.outTempC);
  r.windSpeed = WindMetresPerSecondToWire(w.windMs);
  r.direction = static_cast<uint16_t>(RoundClamp(w.directionDeg, 0, 359));
  r.inHumidity = static_cast<uint8_t>(RoundClamp(w.inHumidity, 0, 100));
  r.outHumidity = static_cast<uint8_t>(RoundClamp(w.outHumidity, 0, 100));
  r.rain = RainMillimetresToWire(w.rainMm);
  return r;
}

Profile Profile::Fixed(RawReading r) {
  Profile p;
  p.kind_ = Kind::Fixed;
  p.readings_ = {r};
  return p;
}

Profile Profile::Sequence(std::vector<RawReading> readings) {
  Profile p;
  p.kind_ = readings.empty() ? Kind::Fixed : Kind::Sequence;
  p.readings_ = readings.empty() ? std::vector<RawReading>{DefaultReading()} : std::move(readings);
  return p;
}

Profile Profile::Day(double startHour, double speedup) {
  Profile p;
  p.kind_ = Kind::Day;
  p.startHour_ = startHour;
  p.speedup_ = speedup;
  return p;
}

RawReading Profile::Reading(uint64_t replyIndex, double elapsedSeconds) const {
  switch (kind_) {
    case Kind::Fixed:
      return readings_.front();
    case Kind::Sequence:
      return readings_[static_cast<std::size_t>(replyIndex % readings_.size())];
    case Kind::Day:
      break;
  }
  return DayReadingAt(startHour_ + elapsedSeconds * speedup_ / 3600.0);
}

}  // namespace weathersim
