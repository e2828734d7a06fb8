#include "store/record_format.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace varnel::store {

namespace {

static_assert(8 + 4 * kRecordValueCount == kRecordBytes);
static_assert(PeakIndex(kRecordChannels - 1, kPeakValuesPerChannel - 1) == kRecordValueCount - 1);
static_assert(ComponentIndex(kRecordChannels, 0) == PeakIndex(0, 0));

template <typename U>
void PutLittle(std::string& out, U u) {
  for (std::size_t i = 0; i < sizeof(U); ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}

template <typename U>
U GetLittle(std::string_view in, std::size_t at) {
  U u = 0;
  for (std::size_t i = sizeof(U); i-- > 0;) u = static_cast<U>((u << 8) | static_cast<uint8_t>(in[at + i]));
  return u;
}

void AddField(std::string& line, float v) {
  line.push_back(',');
  line += text::GeneralSingle(v);
}

}  // namespace

ThresholdTexts DesignThresholdTexts() { return {"0.5", "1", "2", "5"}; }

std::string DataHeaderLine(int channels, const ThresholdTexts& thresholds) {
  std::string line = "時刻,風速,風向,外気温,外湿度,内気温,内湿度,雨量,最大風速";
  static constexpr const char* kComponents[] = {"Fhc", "F1c", "Flc", "DCc", "ALLc", "Rms"};
  for (int i = 1; i <= channels; ++i)
    for (const char* name : kComponents) line += ",ch" + std::to_string(i) + name;
  for (int i = 1; i <= channels; ++i) {
    const std::string n = std::to_string(i);
    line += ",ch" + n + "Peak(mA)";
    for (const std::string& t : thresholds) line += "," + n + "ch >" + t + "mA(時間%)";
    for (const std::string& t : thresholds) line += "," + n + "ch >" + t + "mA(Sc%)";
  }
  return line;
}

std::string DataRecordLine(const text::LocalDateTime& time, const RecordValues& values, int channels) {
  std::string line = text::GeneralDateTime(time);
  for (int k = 0; k < kWeatherValueCount; ++k) AddField(line, values[WeatherIndex(k)]);
  for (int ch = 0; ch < channels; ++ch)
    for (int k = 0; k < kComponentsPerChannel; ++k) AddField(line, values[ComponentIndex(ch, k)]);
  for (int ch = 0; ch < channels; ++ch)
    for (int k = 0; k < kPeakValuesPerChannel; ++k) AddField(line, values[PeakIndex(ch, k)]);
  return line;
}

std::string EncodeBinaryRecord(const BinaryRecord& record) {
  std::string out;
  out.reserve(kRecordBytes);
  PutLittle(out, std::bit_cast<uint64_t>(record.oleTime));
  for (float v : record.values) PutLittle(out, std::bit_cast<uint32_t>(v));
  return out;
}

BinaryRecord DecodeBinaryRecord(std::string_view bytes) {
  BinaryRecord r;
  r.oleTime = std::bit_cast<double>(GetLittle<uint64_t>(bytes, 0));
  for (std::size_t e = 0; e < kRecordValueCount; ++e)
    r.values[e] = std::bit_cast<float>(GetLittle<uint32_t>(bytes, 8 + 4 * e));
  return r;
}

}  // namespace varnel::store
