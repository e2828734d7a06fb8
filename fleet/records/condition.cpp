#include "condition.h"

#include <cmath>
#include <numbers>

#include "snapshots.h"

namespace varnel::fleet {

namespace {
// Magnus' constants over water (Sonntag 1990).
constexpr double kMagnusB = 17.62;
constexpr double kMagnusC = 243.12;  // °C
// The analysis' frame period: 12.5 kHz per channel.
constexpr double kFrameSeconds = 80e-6;

std::optional<double> Ratio(double a, double b) {
  if (b == 0) return std::nullopt;
  return a / b;
}
}  // namespace

std::optional<double> DewPointC(double temperatureC, double humidityPct) {
  if (!(humidityPct > 0 && humidityPct <= 100) || !std::isfinite(temperatureC)) return std::nullopt;
  const double gamma = std::log(humidityPct / 100.0) + kMagnusB * temperatureC / (kMagnusC + temperatureC);
  return kMagnusC * gamma / (kMagnusB - gamma);
}

std::optional<double> DewPointDepression(double temperatureC, double humidityPct) {
  const auto dew = DewPointC(temperatureC, humidityPct);
  if (!dew) return std::nullopt;
  return std::max(0.0, temperatureC - *dew);
}

HarmonicAmplitudes ChannelHarmonics(const WaveStore& waves, int channel, int powerHz) {
  HarmonicAmplitudes out{};
  const int fundamentalBin = static_cast<int>(std::lround(powerHz * kHarmonicSamples * kFrameSeconds));
  const std::array<int, 4> orders{1, 3, 5, 7};
  for (std::size_t h = 0; h < orders.size(); ++h) {
    const int bin = orders[h] * fundamentalBin;
    double re = 0, im = 0;
    for (int n = 0; n < kHarmonicSamples; ++n) {
      // The phase reduced to one turn first: bin * n grows past the range
      // where a double keeps the angle's small digits.
      const double turn = static_cast<double>((static_cast<int64_t>(bin) * n) % kHarmonicSamples) / kHarmonicSamples;
      const double x = waves.At(n, channel);
      re += x * std::cos(2 * std::numbers::pi * turn);
      im -= x * std::sin(2 * std::numbers::pi * turn);
    }
    out[h] = 2.0 * std::hypot(re, im) / kHarmonicSamples;
  }
  return out;
}

std::vector<double> SnapshotHarmonicsMa(const WaveStore& waves, int powerHz, double shuntOhm) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(waves.Channels()) * 4);
  for (int ch = 0; ch < waves.Channels(); ++ch)
    for (double counts : ChannelHarmonics(waves, ch, powerHz)) out.push_back(PeakMilliamps(counts, shuntOhm));
  return out;
}

HarmonicRatios RatiosOf(const HarmonicAmplitudes& a) {
  return {Ratio(a[1], a[0]), Ratio(a[2], a[0]), Ratio(a[2] + a[3], a[1])};
}

}  // namespace varnel::fleet
