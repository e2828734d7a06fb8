#include "weather/reply.h"

#include <charconv>
#include <cmath>

#include "text/numforms.h"
#include "weather/protocol.h"

namespace varnel::weather {

namespace {

// Every addition to the totals is formed in double and stored back as single.
void AddTo(float& sum, double value) { sum = static_cast<float>(static_cast<double>(sum) + value); }

void ShowIf(Label& label, const std::optional<std::string>& text) {
  if (text) label.text = *text;
}

std::optional<double> Shown(const PolModeForm& form, std::size_t index) { return NumberShown(form.Label8[index].text); }

void AddShown(float& sum, const PolModeForm& form, std::size_t index) {
  if (const auto v = Shown(form, index)) AddTo(sum, *v);
}

void ShowInstantaneous(const WeatherReading& r, PolModeForm& form) {
  ShowIf(form.Label8[label::kWindSpeed], r.windSpeed);
  ShowIf(form.Label8[label::kWindDirection], r.windDirection);
  ShowIf(form.Label8[label::kOutsideTemperature], r.outsideTemperature);
  ShowIf(form.Label8[label::kInsideTemperature], r.insideTemperature);
  ShowIf(form.Label8[label::kOutsideHumidity], r.outsideHumidity);
  ShowIf(form.Label8[label::kInsideHumidity], r.insideHumidity);
  ShowIf(form.Label8[label::kRain], r.rain);
}

void AddToTotals(const PolModeForm& form, WeatherTotals& t) {
  AddShown(t.windSpeedSum, form, label::kWindSpeed);
  if (const auto d = Shown(form, label::kWindDirection)) {
    AddTo(t.dirSinSum, std::sin(*d * 3.14159265358979 / 180));
    AddTo(t.dirCosSum, std::cos(*d * 3.14159265358979 / 180));
  }
  AddShown(t.outTempSum, form, label::kOutsideTemperature);
  AddShown(t.outHumSum, form, label::kOutsideHumidity);
  AddShown(t.inTempSum, form, label::kInsideTemperature);
  AddShown(t.inHumSum, form, label::kInsideHumidity);
  AddTo(t.packetCount, 1.0);
  if (const auto w = Shown(form, label::kWindSpeed)) {
    if (static_cast<float>(*w) > t.maxWindSpeed) t.maxWindSpeed = static_cast<float>(*w);
  }
}

void ShowAverages(const WeatherTotals& t, PolModeForm& form) {
  if (!(t.packetCount > 0)) return;
  const float n = t.packetCount;
  auto average = [n](float sum) { return static_cast<double>(sum / n); };  // single precision
  form.Label8[label::kAverageWindSpeed].text = text::Format(average(t.windSpeedSum), "##0.0");
  form.Label8[label::kAverageWindDirection].text = text::PlainForm(MeanDirection(t.dirSinSum, t.dirCosSum));
  form.Label8[label::kAverageOutsideTemperature].text = text::Format(average(t.outTempSum), "##0.0");
  form.Label8[label::kAverageOutsideHumidity].text = text::Format(average(t.outHumSum), "##0");
  form.Label8[label::kAverageInsideTemperature].text = text::Format(average(t.inTempSum), "##0.0");
  form.Label8[label::kAverageInsideHumidity].text = text::Format(average(t.inHumSum), "##0");
}

}  // namespace

const char* AcceptWord(ReplyPath path) { return path == ReplyPath::ReceiveEvent ? "ok" : "OK"; }
const char* RejectWord(ReplyPath path) { return path == ReplyPath::ReceiveEvent ? "ng" : "NG"; }

std::optional<double> NumberShown(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

int32_t MeanDirection(float sinSum, float cosSum) {
  const double s = sinSum;
  const double c = cosSum;
  double theta = std::atan(s / (c + 1E-20)) * 180 / 3.1415926 + 360;
  if (c < 0) theta += 180;
  if (!std::isfinite(theta)) return 0;
  const auto whole = static_cast<int64_t>(std::floor(theta));
  return static_cast<int32_t>(((whole % 360) + 360) % 360);
}

void ApplyWeatherReply(std::span<const uint8_t> reply, ReplyPath path, PolModeForm& form, WeatherTotals& totals) {
  const auto reading = DecodeWeatherReply(reply);
  if (!reading) {
    form.Label18.text = RejectWord(path);
    return;
  }
  ShowInstantaneous(*reading, form);
  AddToTotals(form, totals);
  ShowAverages(totals, form);
  form.Label18.text = AcceptWord(path);
}

}  // namespace varnel::weather
