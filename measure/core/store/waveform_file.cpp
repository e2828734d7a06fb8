#include "store/waveform_file.h"

#include <cstring>

#include "store/file_io.h"

namespace varnel::store {

namespace {

void PutInt16(std::string& out, int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  out.push_back(static_cast<char>(u & 0xFF));
  out.push_back(static_cast<char>(u >> 8));
}

int16_t GetInt16(const std::string& in, std::size_t at) {
  const auto lo = static_cast<uint8_t>(in[at]);
  const auto hi = static_cast<uint8_t>(in[at + 1]);
  return static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
}

}  // namespace

bool IsWaveformChannelCount(int channels) { return channels == 4 || channels == 8 || channels == 16; }

std::size_t WaveformFileSize(int channels) {
  return kWaveHeaderBytes + 2u * WaveStore::kSamples * static_cast<std::size_t>(channels);
}

std::string EncodeWaveform(const WaveStore& waves, int channels) {
  std::string out;
  out.reserve(WaveformFileSize(channels));
  PutInt16(out, kWaveLastSampleIndex);
  PutInt16(out, static_cast<int16_t>(channels - 1));
  // The store keeps the sample index varying fastest, as the file does.
  const std::vector<int16_t>& data = waves.Data();
  const std::size_t count = static_cast<std::size_t>(channels) * WaveStore::kSamples;
  for (std::size_t i = 0; i < count; ++i) PutInt16(out, data[i]);
  return out;
}

std::optional<WaveStore> DecodeWaveform(const std::string& bytes, std::string* whyNot) {
  auto fail = [whyNot](std::string why) -> std::optional<WaveStore> {
    if (whyNot) *whyNot = std::move(why);
    return std::nullopt;
  };
  if (bytes.size() < kWaveHeaderBytes)
    return fail("file of " + std::to_string(bytes.size()) + " bytes is shorter than the 4-byte header");
  const int16_t lastSample = GetInt16(bytes, 0);
  const int16_t lastChannel = GetInt16(bytes, 2);
  if (lastSample != kWaveLastSampleIndex)
    return fail("last sample index is " + std::to_string(lastSample) + ", expected 1255");
  const int channels = lastChannel + 1;
  if (!IsWaveformChannelCount(channels))
    return fail("last channel index is " + std::to_string(lastChannel) + ", expected 3, 7 or 15");
  if (bytes.size() != WaveformFileSize(channels))
    return fail("file of " + std::to_string(bytes.size()) + " bytes does not fit " + std::to_string(channels) +
                " channels (" + std::to_string(WaveformFileSize(channels)) + " bytes expected)");
  WaveStore waves(channels);
  for (int ch = 0; ch < channels; ++ch)
    for (int k = 0; k < WaveStore::kSamples; ++k)
      waves.Set(k, ch,
                GetInt16(bytes, kWaveHeaderBytes +
                                    2u * (static_cast<std::size_t>(ch) * WaveStore::kSamples +
                                          static_cast<std::size_t>(k))));
  return waves;
}

bool WriteWaveformFile(const std::string& pathUtf8, const WaveStore& waves) {
  return WriteWaveformFile(pathUtf8, waves, waves.Channels());
}

bool WriteWaveformFile(const std::string& pathUtf8, const WaveStore& waves, int channels) {
  if (!IsWaveformChannelCount(channels) || channels > waves.Channels()) return false;
  return ReplaceFile(pathUtf8, EncodeWaveform(waves, channels), nullptr);
}

std::optional<WaveStore> ReadWaveformFile(const std::string& pathUtf8, std::string* whyNot) {
  std::string bytes;
  if (!ReadWholeFile(pathUtf8, &bytes, whyNot)) return std::nullopt;
  return DecodeWaveform(bytes, whyNot);
}

}  // namespace varnel::store
