#include "system_expectations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace e2e {
namespace {

constexpr int kChannels = 16;
const std::array<std::string, 4> kThresholdTexts{"0.5", "1", "2", "5"};

std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    fields.emplace_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

std::optional<double> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// Tolerances.  A record holds the mean of n per-block values of a channel;
// the reference gives their mean and spread over 200 blocks of the same
// stream.  The blocks of one channel are 4 acquisitions (0.4 s) apart, and
// noise and bursts are drawn afresh for every sample and half cycle, so the
// mean of n blocks lies within 4 standard errors (sd / sqrt(n)) but for a
// chance of about 1 in 16000.  On top: 0.002 mA for the arithmetic in single
// precision and the rounding of the stored text (7 digits), and 0.3 % for
// the slightly different sample windows (the reference steps through the
// stream from frame 0, a record through later frames).
double Tolerance(const Spread& s, int n) { return 0.002 + 0.003 * std::abs(s.mean) + 4 * s.sd / std::sqrt(n); }
// Percentages: counts of whole samples and half cycles; half a percentage
// point for edge samples right at a level.
double PercentTolerance(const Spread& s, int n) { return 0.5 + 4 * s.sd / std::sqrt(n); }

void ExpectValue(const std::string& text, double expected, double tolerance, const std::string& what) {
  const auto v = Number(text);
  ASSERT_TRUE(v.has_value()) << what << ": not a number: \"" << text << "\"";
  EXPECT_NEAR(*v, expected, tolerance) << what;
}

}  // namespace

SiteSettings SystemRunSettings(bool binary) {
  SiteSettings s;
  s.binaryFormat = binary ? 1 : 0;
  s.dataFileName = binary ? "気象・電流data.bdt" : "気象・電流data.csv";
  s.channelLevels.fill(static_cast<float>(kUnreachableLevelMa));
  s.channelLevels[15] = static_cast<float>(kPeakTriggerMa);
  return s;
}

std::vector<std::string> FixedStationArgs() {
  return {"--fixed", "in_raw=770,out_raw=680,wind_raw=10,dir_raw=45,inhum=50,outhum=75,rain_raw=5"};
}

std::string ExpectedHeader(int channels) {
  std::string h = "時刻,風速,風向,外気温,外湿度,内気温,内湿度,雨量,最大風速";
  for (int i = 1; i <= channels; ++i) {
    const std::string ch = "ch" + std::to_string(i);
    for (const char* c : {"Fhc", "F1c", "Flc", "DCc", "ALLc", "Rms"}) h += "," + ch + c;
  }
  for (int i = 1; i <= channels; ++i) {
    h += ",ch" + std::to_string(i) + "Peak(mA)";
    for (const auto& t : kThresholdTexts) h += "," + std::to_string(i) + "ch >" + t + "mA(時間%)";
    for (const auto& t : kThresholdTexts) h += "," + std::to_string(i) + "ch >" + t + "mA(Sc%)";
  }
  return h;
}

DataLines SplitDataText(std::string_view text, std::string_view lineEnd) {
  DataLines out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(lineEnd, start);
    if (end == std::string_view::npos) {
      out.endsWithLineEnd = false;
      out.records.push_back(SplitFields(text.substr(start)));
      break;
    }
    const std::string_view line = text.substr(start, end - start);
    if (line.substr(0, std::string_view("時刻,").size()) == "時刻,")
      out.headers.emplace_back(line);
    else
      out.records.push_back(SplitFields(line));
    start = end + lineEnd.size();
  }
  return out;
}

DataLines ReadTextDataFile(const fs::path& file) {
  std::error_code ec;
  if (!fs::exists(file, ec)) return {};
  return SplitDataText(FromCp932(ReadFile(file)), "\r\n");
}

std::optional<long long> RecordSeconds(const std::string& text) {
  std::tm tm{};
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
  if (n != 6 && !(n == 3 && text.size() == 10)) return std::nullopt;  // midnight: the date alone
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<long long>(timegm(&tm));
}

void ExpectRecordMatchesProfile(const std::vector<std::string>& record, const Reference& reference, int minSweeps,
                                const std::string& what) {
  ASSERT_EQ(record.size(), 9u + 15u * kChannels) << what;
  const double mA = MilliampsPerCount(330);
  for (int c = 0; c < kChannels; ++c) {
    const ChannelReference& r = reference.channels[static_cast<size_t>(c)];
    const std::string ch = what + " ch" + std::to_string(c + 1);
    const size_t comp = 9 + 6 * static_cast<size_t>(c);
    ExpectValue(record[comp + 0], r.fhc.mean, Tolerance(r.fhc, minSweeps), ch + "Fhc");
    ExpectValue(record[comp + 1], r.f1c.mean, Tolerance(r.f1c, minSweeps), ch + "F1c");
    ExpectValue(record[comp + 2], r.flc.mean, Tolerance(r.flc, minSweeps), ch + "Flc");
    ExpectValue(record[comp + 3], r.dcc.mean, Tolerance(r.dcc, minSweeps), ch + "DCc");
    ExpectValue(record[comp + 4], r.allc.mean, Tolerance(r.allc, minSweeps), ch + "ALLc");
    // Rms is stored as sqrt(mean of Rms^2): the tolerance of the square,
    // carried over to its root.
    const double rms = std::sqrt(r.rmsSquared.mean);
    ExpectValue(record[comp + 5], rms, Tolerance(r.rmsSquared, minSweeps) / (2 * rms) + 0.002, ch + "Rms");

    const size_t peaks = 9 + 6 * kChannels + 9 * static_cast<size_t>(c);
    // The largest of n block peaks: above the median block peak (all n below
    // it has a chance of 2^-n), never above what the profile can produce.
    const auto peak = Number(record[peaks]);
    ASSERT_TRUE(peak.has_value()) << ch << "Peak";
    EXPECT_GE(*peak, (minSweeps >= 20 ? r.peak.median : r.peak.min) - mA) << ch << "Peak";
    EXPECT_LE(*peak, r.peakCeilingMa) << ch << "Peak";
    for (size_t j = 0; j < 4; ++j) {
      ExpectValue(record[peaks + 1 + j], r.timePct[j].mean, PercentTolerance(r.timePct[j], minSweeps),
                  ch + " time% >" + kThresholdTexts[j]);
      ExpectValue(record[peaks + 5 + j], r.halfPct[j].mean, PercentTolerance(r.halfPct[j], minSweeps),
                  ch + " Sc% >" + kThresholdTexts[j]);
    }
  }
}

void ExpectFixedWeather(const std::vector<std::string>& record, const std::string& what) {
  ASSERT_GE(record.size(), 9u) << what;
  for (size_t i = 0; i < kStoredWeather.size(); ++i)
    EXPECT_EQ(record[1 + i], kStoredWeather[i]) << what << " weather field " << i + 2;
}

size_t StoredRecords(const Site& site) {
  std::error_code ec;
  if (site.Settings().binaryFormat != 0) {
    const auto size = fs::file_size(site.DataPath(), ec);
    return ec ? 0 : size / 1000;
  }
  DataLines lines = ReadTextDataFile(site.DataPath());
  if (!lines.endsWithLineEnd && !lines.records.empty()) lines.records.pop_back();  // still being written
  return lines.records.size();
}

const Reference& SiteReference() {
  static const Reference reference = ComputeReference(cardsim::InsulatorProfile(50, 1), 2, 4, 200, {});
  return reference;
}

std::vector<std::vector<int16_t>> ReadSnapshot(const fs::path& file) {
  const std::string bytes = ReadFile(file);
  auto at = [&bytes](size_t i) {
    int16_t v = 0;
    std::memcpy(&v, bytes.data() + 2 * i, 2);
    return v;
  };
  if (bytes.size() < 4 || at(0) != 1255) return {};
  const int channels = at(1) + 1;
  if (channels <= 0 || bytes.size() != 4 + 2 * 1256 * static_cast<size_t>(channels)) return {};
  std::vector<std::vector<int16_t>> out(static_cast<size_t>(channels));
  for (size_t c = 0; c < out.size(); ++c)
    for (size_t k = 0; k < 1256; ++k) out[c].push_back(at(2 + c * 1256 + k));
  return out;
}

}  // namespace e2e
