#include "snapshots.h"

#include <charconv>
#include <cstdlib>

namespace varnel::fleet {

namespace {

constexpr std::string_view kSuffix = "Wev.dat";
// Samples the analysis reads: the 1250 centre samples of the 1256 kept.
constexpr int kFirstAnalysed = 2;
constexpr int kLastAnalysed = 1251;

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

int Number(std::string_view digits) {
  int v = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), v);
  return v;
}

// "yyyymmdd-hhmm"
std::optional<text::LocalDateTime> ParseStamp(std::string_view s) {
  if (s.size() != 13 || s[8] != '-' || !Digits(s.substr(0, 8)) || !Digits(s.substr(9, 4))) return std::nullopt;
  text::LocalDateTime t;
  t.year = Number(s.substr(0, 4));
  t.month = Number(s.substr(4, 2));
  t.day = Number(s.substr(6, 2));
  t.hour = Number(s.substr(9, 2));
  t.minute = Number(s.substr(11, 2));
  t.second = 0;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59) return std::nullopt;
  return t;
}

}  // namespace

const char* SnapshotKindName(SnapshotKind kind) { return kind == SnapshotKind::kPeak ? "peak" : "scheduled"; }

bool LooksLikeSnapshot(std::string_view name) {
  return name.size() > kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix;
}

std::optional<SnapshotName> ParseSnapshotName(std::string_view name) {
  if (!LooksLikeSnapshot(name)) return std::nullopt;
  const std::string_view stem = name.substr(0, name.size() - kSuffix.size());
  if (stem.size() < 13) return std::nullopt;
  const auto time = ParseStamp(stem.substr(stem.size() - 13));
  if (!time) return std::nullopt;
  SnapshotName out;
  out.time = *time;
  const std::string_view head = stem.substr(0, stem.size() - 13);
  if (head.empty()) return out;
  // ch<N>Peak<X.X#>mA
  const std::size_t peakAt = head.find("Peak");
  if (head.substr(0, 2) != "ch" || peakAt == std::string_view::npos || head.size() < peakAt + 4 + 2 ||
      head.substr(head.size() - 2) != "mA")
    return std::nullopt;
  const std::string_view channel = head.substr(2, peakAt - 2);
  const std::string_view peak = head.substr(peakAt + 4, head.size() - peakAt - 4 - 2);
  if (!Digits(channel) || channel.size() > 2) return std::nullopt;
  const std::size_t dot = peak.find('.');
  if (dot == std::string_view::npos || !Digits(peak.substr(0, dot)) || !Digits(peak.substr(dot + 1)) ||
      peak.size() - dot - 1 > 2)
    return std::nullopt;
  const int n = Number(channel);
  if (n < 1 || n > 16) return std::nullopt;
  out.kind = SnapshotKind::kPeak;
  out.triggerChannel = n;
  double mA = 0;
  std::from_chars(peak.data(), peak.data() + peak.size(), mA);
  out.triggerPeakMa = mA;
  return out;
}

std::vector<int> ChannelPeakCounts(const WaveStore& waves) {
  std::vector<int> peaks(static_cast<std::size_t>(waves.Channels()), 0);
  for (int ch = 0; ch < waves.Channels(); ++ch) {
    int peak = 0;
    for (int k = kFirstAnalysed; k <= kLastAnalysed; ++k) peak = std::max(peak, std::abs(int{waves.At(k, ch)}));
    peaks[static_cast<std::size_t>(ch)] = peak;
  }
  return peaks;
}

double PeakMilliamps(double counts, double shuntOhm) { return counts / shuntOhm * 10.0 / 4096.0 * 1000.0; }

}  // namespace varnel::fleet
