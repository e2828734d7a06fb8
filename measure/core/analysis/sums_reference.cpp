// The sums of one channel written the straightforward way, one point and one
// sum at a time: the reference that the block kernel (analysis.cpp) must
// match bit for bit.  Built on its own without GCC's pairing of scalar
// statements into vectors, which would spoil the last rounding of SinSum and
// CosSum (see CMakeLists.txt).
#include <array>
#include <cmath>
#include <cstdlib>

#include "analysis/analysis.h"

namespace varnel::analysis {

namespace {

// sum + term, formed in double and stored back as single.  The sums of one
// block stay far inside the range of a single (at most 1250 x 6143^2).
inline float Accumulate(float sum, double term) { return static_cast<float>(static_cast<double>(sum) + term); }

}  // namespace

void ScaleSums(ChannelSums& s) {
  s.meanSum = static_cast<float>(static_cast<double>(s.sumDc) / kPoints);
  s.sinSum = static_cast<float>(static_cast<double>(s.sinSum) / kPoints * 2.0);
  s.cosSum = static_cast<float>(static_cast<double>(s.cosSum) / kPoints * 2.0);
}

ChannelSums SumChannel(std::span<const int16_t> x, const FrequencyTables& tables) {
  ChannelSums s;
  if (x.size() < static_cast<std::size_t>(kSamplesRead)) return s;

  // Moving sums of five samples, one subtraction and one addition per point.
  std::array<int32_t, kPoints> m;
  int32_t run = int32_t{x[0]} + x[1] + x[2] + x[3] + x[4];
  m[0] = run;
  for (int b = 1; b < kPoints; ++b) {
    run = run - x[static_cast<std::size_t>(b - 1)] + x[static_cast<std::size_t>(b + 4)];
    m[static_cast<std::size_t>(b)] = run;
  }

  s.peak = static_cast<float>(std::abs(int{x[2]}));
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const double mb = m[b];
    const int centre = x[b + 2];
    s.sumHigh = Accumulate(s.sumHigh, std::fabs(mb / 5.0 - centre));
    s.sumDc = Accumulate(s.sumDc, mb);
    s.sinSum = Accumulate(s.sinSum, static_cast<double>(tables.sine[b]) * mb);
    s.cosSum = Accumulate(s.cosSum, static_cast<double>(tables.cosine[b]) * mb);
    s.sumAbs = Accumulate(s.sumAbs, std::abs(centre));
    s.sumSq = Accumulate(s.sumSq, static_cast<double>(centre) * static_cast<double>(centre));
    const auto magnitude = static_cast<float>(std::abs(centre));
    if (magnitude > s.peak) s.peak = magnitude;
  }
  ScaleSums(s);

  // Residual of the moving sum after DC and the fitted fundamental.
  const double sinSum = s.sinSum;
  const double cosSum = s.cosSum;
  const double meanSum = s.meanSum;
  for (std::size_t b = 0; b < static_cast<std::size_t>(kPoints); ++b) {
    const double fitted = sinSum * static_cast<double>(tables.sine[b]) + cosSum * static_cast<double>(tables.cosine[b]);
    s.sumLow = Accumulate(s.sumLow, std::fabs(fitted + meanSum - static_cast<double>(m[b])));
  }
  return s;
}

}  // namespace varnel::analysis
