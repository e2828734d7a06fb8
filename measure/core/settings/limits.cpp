#include "settings/limits.h"

#include <cmath>
#include <limits>

#include "text/cp932.h"
#include "text/numforms.h"

namespace varnel {

namespace {

// SETDT.DAT counts the path's characters in a 16-bit field.
constexpr std::size_t kMaxPathCharacters = std::numeric_limits<int16_t>::max();

}  // namespace

bool DataIntervalAllowed(int16_t minutes) { return minutes >= kMinDataInterval && minutes <= kMaxDataInterval; }

bool WaveIntervalAllowed(int16_t minutes) { return minutes >= kMinWaveInterval && minutes <= kMaxWaveInterval; }

bool StoredWaveIntervalAllowed(int16_t stored) {
  // int, not int16_t: -32768 has no 16-bit magnitude.
  const int magnitude = std::abs(static_cast<int>(stored));
  return magnitude >= kMinWaveInterval && magnitude <= kMaxWaveInterval;
}

// NaN fails both comparisons and so is refused.
bool ShuntOhmAllowed(float ohm) { return ohm >= kMinShuntOhm && ohm <= kMaxShuntOhm; }

int16_t IntervalAsStored(std::string_view text) {
  const double v = text::LeadingNumber(text);
  if (const auto r = text::ToInt16(v)) return *r;
  if (std::isnan(v)) return 0;
  return v > 0 ? std::numeric_limits<int16_t>::max() : std::numeric_limits<int16_t>::min();
}

float SingleAsStored(std::string_view text) {
  constexpr double kMax = std::numeric_limits<float>::max();
  const double v = text::LeadingNumber(text);
  if (std::isnan(v)) return 0.0f;
  // Beyond the single's range: an infinity, which a later load treats as
  // not set.
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

std::optional<int16_t> EnteredDataInterval(std::string_view text) {
  const int16_t v = IntervalAsStored(text);
  if (!DataIntervalAllowed(v)) return std::nullopt;
  return v;
}

std::optional<int16_t> EnteredWaveInterval(std::string_view text) {
  const int16_t v = IntervalAsStored(text);
  if (!WaveIntervalAllowed(v)) return std::nullopt;
  return v;
}

std::optional<float> EnteredShuntOhm(std::string_view text) {
  const float v = SingleAsStored(text);
  if (!ShuntOhmAllowed(v)) return std::nullopt;
  return v;
}

PathCheck CheckDataPath(std::string_view utf8) {
  if (utf8.empty()) return {PathProblem::Empty, {}};
  if (text::CharCount(utf8) > kMaxPathCharacters) return {PathProblem::TooLong, {}};
  if (auto character = text::FirstCharacterNotKeptByCp932(utf8))
    return {PathProblem::NotInCodePage932, std::move(*character)};
  return {};
}

}  // namespace varnel
