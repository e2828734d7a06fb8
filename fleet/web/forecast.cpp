#include "forecast.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace varnel::fleet::web {

namespace {

// The wet days before a day that its drop is measured against.
constexpr std::size_t kDropWindow = 5;

// The median of `v` (the mean of the two middle values for an even count);
// `v` is taken by value because nth_element reorders it.
double Median(std::vector<double> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
  const double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  // The lower middle is the largest of the values before `mid`.
  const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

// The standard normal quantile by Acklam's rational approximation
// (relative error below 1.2e-9, far finer than a rank needs); infinite at
// and beyond 0 and 1 so that a confidence of 1 widens to the whole range.
double NormalQuantile(double p) {
  if (p <= 0) return -std::numeric_limits<double>::infinity();
  if (p >= 1) return std::numeric_limits<double>::infinity();
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                 1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01,  -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
  constexpr double kLowTail = 0.02425;
  // The tails use a rational function of sqrt(-2 log p), the middle one of p - 1/2.
  auto tail = [&](double q) {
    const double r = std::sqrt(-2 * std::log(q));
    return (((((c[0] * r + c[1]) * r + c[2]) * r + c[3]) * r + c[4]) * r + c[5]) /
           ((((d[0] * r + d[1]) * r + d[2]) * r + d[3]) * r + 1);
  };
  if (p < kLowTail) return tail(p);
  if (p > 1 - kLowTail) return -tail(1 - p);
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

// The 1-based rank `rank` (any real, clamped into 1..count) as an index
// into the sorted slopes; clamping in double first keeps an infinite or
// huge rank from an undefined conversion.
std::size_t RankIndex(double rank, std::size_t count) {
  const double clamped = std::clamp(rank, 1.0, static_cast<double>(count));
  return static_cast<std::size_t>(clamped) - 1;
}

// The latest maintenance day at or before `today`, if any.
std::optional<int64_t> LatestReset(const std::vector<int64_t>& resetDays, int64_t today) {
  std::optional<int64_t> latest;
  for (int64_t d : resetDays)
    if (d <= today && (!latest || d > *latest)) latest = d;
  return latest;
}

// Whether the wet day `i` starts a new stretch after a heavy rain: it and
// the next wet day both fall below a fraction of the median of the (up to
// five) wet days before it in the stretch beginning at `begin`.  Two low
// days are needed because a single one may be a dry spell of the sensor or
// a short shower, not a washed surface.
bool IsRainDrop(const std::vector<WetDay>& days, std::size_t begin, std::size_t i, const ForecastSettings& s) {
  const auto before = static_cast<std::size_t>(std::max(1, s.dropMinDaysBefore));
  if (i - begin < before || i + 1 >= days.size()) return false;
  std::vector<double> window;
  for (std::size_t j = std::max(begin, i >= kDropWindow ? i - kDropWindow : 0); j < i; ++j)
    window.push_back(days[j].peakMa);
  const double threshold = s.dropFraction * Median(std::move(window));
  return days[i].peakMa < threshold && days[i + 1].peakMa < threshold;
}

// Where the line of `slope` through the data's centre (xc, yc) meets the
// danger level, in days after `today` (0 when it is there already).
double DaysAlong(double slope, double xc, double yc, double today, double dangerMa) {
  return std::max(0.0, xc + (dangerMa - yc) / slope - today);
}

// The days to danger from the fitted line, or the reason there are none.
// The interval's lines turn about the centre of the data, where the level
// is known best, not about today's level: extrapolated to today, the level
// is itself uncertain, and lines through it would leave that out (their
// days then held the true ones in little more than half the cases at 90 %).
void Extrapolate(const TheilSenFit& fit, double xc, double today, double dangerMa, Forecast& f) {
  const double levelNow = fit.intercept + fit.slope * today;
  f.levelNowMa = levelNow;
  if (levelNow >= dangerMa) {
    f.state = ForecastState::kAtDanger;
    f.daysToDanger = 0.0;
    return;
  }
  // A slope interval reaching zero means the rise is not told from noise;
  // the slope itself cannot be at or below zero then, but a line that does
  // not rise has no crossing either way.
  if (fit.slopeLow <= 0 || fit.slope <= 0) {
    f.state = ForecastState::kNotRising;
    return;
  }
  const double yc = fit.intercept + fit.slope * xc;
  f.state = ForecastState::kRising;
  f.daysToDanger = (dangerMa - levelNow) / fit.slope;
  f.earliestDays = std::min(*f.daysToDanger, DaysAlong(fit.slopeHigh, xc, yc, today, dangerMa));
  f.latestDays = std::max(*f.daysToDanger, DaysAlong(fit.slopeLow, xc, yc, today, dangerMa));
}

}  // namespace

std::optional<TheilSenFit> FitTheilSen(const std::vector<double>& x, const std::vector<double>& y,
                                       double confidence) {
  // Points come in pairs; unequal lengths are a caller's mistake, not data.
  if (x.size() != y.size()) return std::nullopt;
  const std::size_t n = x.size();
  std::vector<double> slopes;
  slopes.reserve(n < 2 ? 0 : n * (n - 1) / 2);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j)
      if (x[i] != x[j]) slopes.push_back((y[j] - y[i]) / (x[j] - x[i]));
  if (slopes.empty()) return std::nullopt;
  std::sort(slopes.begin(), slopes.end());

  TheilSenFit fit;
  fit.slope = Median(slopes);
  std::vector<double> offsets(n);
  for (std::size_t i = 0; i < n; ++i) offsets[i] = y[i] - fit.slope * x[i];
  fit.intercept = Median(std::move(offsets));

  // Kendall's statistic has variance n(n-1)(2n+5)/18 without ties; the
  // interval's ends are the slopes that many ranks around the middle.
  // Rounding outward keeps the interval at least as wide as asked.
  const double nd = static_cast<double>(n);
  const double count = static_cast<double>(slopes.size());
  const double c = NormalQuantile((1 + confidence) / 2) * std::sqrt(nd * (nd - 1) * (2 * nd + 5) / 18);
  const double m1 = std::floor((count - c) / 2);
  const double m2 = std::ceil((count + c) / 2);
  fit.slopeLow = slopes[RankIndex(m1, slopes.size())];
  fit.slopeHigh = slopes[RankIndex(m2 + 1, slopes.size())];
  return fit;
}

Forecast ForecastDanger(const std::vector<WetDay>& wetDays, const std::vector<int64_t>& resetDays, double dangerMa,
                        int64_t today, const ForecastSettings& settings) {
  Forecast f;
  // The stretch after the last maintenance at or before today; a washing
  // on a wet day leaves that day's (dirty) peak out.
  const std::optional<int64_t> maintenance = LatestReset(resetDays, today);
  std::vector<WetDay> days;
  for (const WetDay& w : wetDays)
    if (w.day <= today && (!maintenance || w.day > *maintenance)) days.push_back(w);
  if (maintenance) {
    f.since = *maintenance + 1;
    f.reset = ResetReason::kMaintenance;
  } else if (!days.empty()) {
    f.since = days.front().day;
  }

  // Heavy rains within it start later stretches; the last one is used.
  std::size_t begin = 0;
  for (std::size_t i = 0; i < days.size(); ++i) {
    if (!IsRainDrop(days, begin, i, settings)) continue;
    begin = i;
    f.since = days[i].day;
    f.reset = ResetReason::kRainDrop;
  }
  days.erase(days.begin(), days.begin() + static_cast<std::ptrdiff_t>(begin));
  f.wetDays = static_cast<int>(days.size());
  // A line needs two wet days whatever the setting says.
  if (f.wetDays < std::max(settings.minWetDays, 2)) return f;

  // Days counted from the stretch's first wet day keep the products in the
  // fit small next to the day numbers since 1970.
  const int64_t origin = days.front().day;
  std::vector<double> x, y;
  for (const WetDay& w : days) {
    x.push_back(static_cast<double>(w.day - origin));
    y.push_back(w.peakMa);
  }
  f.fit = FitTheilSen(x, y, settings.confidence);
  if (!f.fit) return f;  // all on one day: no line
  Extrapolate(*f.fit, Median(x), static_cast<double>(today - origin), dangerMa, f);
  return f;
}

const char* ForecastStateName(ForecastState state) {
  switch (state) {
    case ForecastState::kRising:
      return "rising";
    case ForecastState::kNotRising:
      return "not rising";
    case ForecastState::kTooFewWetDays:
      return "too few wet days";
    case ForecastState::kAtDanger:
      return "at danger";
  }
  return "too few wet days";
}

const char* ResetReasonName(ResetReason reason) {
  switch (reason) {
    case ResetReason::kMaintenance:
      return "maintenance";
    case ResetReason::kRainDrop:
      return "heavy rain";
    case ResetReason::kNone:
      break;
  }
  return "none";
}

}  // namespace varnel::fleet::web
