#include "settings/setdt.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "text/cp932.h"
#include "text/numforms.h"
#include "text/paths.h"

namespace varnel {

namespace {

// ---------------------------------------------------------------------------
// Little-endian fields.

class Writer {
 public:
  void I16(int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    out_.push_back(static_cast<uint8_t>(u & 0xFF));
    out_.push_back(static_cast<uint8_t>(u >> 8));
  }
  void F32(float v) {
    const auto u = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(u >> (8 * i)));
  }
  void Bytes(std::string_view b) { out_.insert(out_.end(), b.begin(), b.end()); }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

// Reads fields in order; once a field is missing every later one is too.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}

  std::optional<int16_t> I16() {
    if (!Have(2)) return Lose();
    const auto u = static_cast<uint16_t>(b_[pos_] | (b_[pos_ + 1] << 8));
    pos_ += 2;
    return static_cast<int16_t>(u);
  }
  // A single that is not finite is unusable, but its bytes are consumed.
  std::optional<float> F32() {
    if (!Have(4)) {
      Lose();
      return std::nullopt;
    }
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(b_[pos_ + static_cast<std::size_t>(i)]) << (8 * i);
    pos_ += 4;
    const float v = std::bit_cast<float>(u);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
  }
  // `chars` code page 932 characters.  The position after them is found by
  // walking lead bytes; a negative count or one that runs past the end
  // leaves the position unknown.
  std::optional<std::string_view> Cp932Chars(int chars) {
    if (lost_ || chars < 0) return Lose();
    std::size_t p = pos_;
    for (int i = 0; i < chars; ++i) {
      if (p >= b_.size()) return Lose();
      const uint8_t lead = b_[p];
      const bool twoBytes = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
      p += twoBytes ? 2 : 1;
      if (p > b_.size()) return Lose();
    }
    std::string_view s(reinterpret_cast<const char*>(b_.data()) + pos_, p - pos_);
    pos_ = p;
    return s;
  }

 private:
  bool Have(std::size_t n) const { return !lost_ && b_.size() - pos_ >= n; }
  std::nullopt_t Lose() {
    lost_ = true;
    return std::nullopt;
  }

  std::span<const uint8_t> b_;
  std::size_t pos_ = 0;
  bool lost_ = false;
};

std::size_t Cp932CharCount(std::string_view bytes) {
  std::size_t chars = 0;
  for (std::size_t p = 0; p < bytes.size(); ++chars) {
    const auto lead = static_cast<uint8_t>(bytes[p]);
    const bool twoBytes = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
    p += twoBytes ? 2 : 1;
  }
  return chars;
}

int16_t Negated(int16_t v) {
  return v == std::numeric_limits<int16_t>::min() ? std::numeric_limits<int16_t>::max() : static_cast<int16_t>(-v);
}

float Number(const std::string& text) { return SingleAsStored(text); }

}  // namespace

std::optional<std::vector<uint8_t>> EncodeSettings(const MeasureSettings& s) {
  const std::string path = text::ToCp932(s.dataPath);
  const std::size_t chars = Cp932CharCount(path);
  if (chars > static_cast<std::size_t>(std::numeric_limits<int16_t>::max())) return std::nullopt;
  Writer w;
  w.I16(s.freqIndex);
  w.I16(s.dataInterval);
  w.I16(s.waveInterval);
  w.I16(s.groupCount);
  w.F32(s.shuntOhm);
  w.I16(static_cast<int16_t>(chars));
  w.Bytes(path);
  w.F32(s.peakLevel);
  for (float v : s.peakThresholds) w.F32(v);
  w.I16(s.binaryFormat);
  for (float v : s.channelLevels) w.F32(v);
  return w.Take();
}

StoredSettings DecodeSettings(std::span<const uint8_t> bytes) {
  StoredSettings s;
  Reader r(bytes);
  s.freqIndex = r.I16();
  s.dataInterval = r.I16();
  s.waveInterval = r.I16();
  s.groupCount = r.I16();
  s.shuntOhm = r.F32();
  const std::optional<int16_t> pathLen = r.I16();
  if (pathLen) {
    // A NUL byte cannot be part of a file name: such a path is unusable.
    if (const auto raw = r.Cp932Chars(*pathLen); raw && raw->find('\0') == std::string_view::npos)
      s.dataPath = text::FromCp932(*raw);
  }
  s.peakLevel = r.F32();
  for (auto& v : s.peakThresholds) v = r.F32();
  s.binaryFormat = r.I16();
  for (auto& v : s.channelLevels) v = r.F32();
  return s;
}

MeasureSettings CollectSettings(const PolModeForm& form, const MeasureState& state) {
  MeasureSettings s;
  s.dataPath = form.Text4.text;
  s.shuntOhm = Number(form.Text1.text);
  s.freqIndex = form.Option2[0].selected ? 0 : 1;
  s.dataInterval = IntervalAsStored(form.Combo1.text);
  s.waveInterval = IntervalAsStored(form.Combo2.text);
  s.peakLevel = Number(form.Text3.text);
  for (std::size_t i = 0; i < s.peakThresholds.size(); ++i) s.peakThresholds[i] = Number(form.Text5[i].text);
  for (std::size_t i = 0; i < s.channelLevels.size(); ++i) s.channelLevels[i] = Number(form.Combo3[i].text);
  if (!form.Check3.checked) s.peakLevel = -s.peakLevel;
  if (!form.Check1.checked) s.waveInterval = Negated(s.waveInterval);
  s.groupCount = state.groupCount;
  s.binaryFormat = state.binaryFormat;
  return s;
}

MeasureSettings ApplyStoredSettings(PolModeForm& form, MeasureState& state, const StoredSettings& stored) {
  MeasureSettings s;
  s.freqIndex = stored.freqIndex.value_or(0);
  s.dataInterval = stored.dataInterval.value_or(0);
  s.waveInterval = stored.waveInterval.value_or(0);
  s.groupCount = stored.groupCount.value_or(0);
  s.shuntOhm = stored.shuntOhm.value_or(0.0f);
  s.dataPath = stored.dataPath.value_or(std::string());
  s.peakLevel = stored.peakLevel.value_or(0.0f);
  for (std::size_t i = 0; i < s.peakThresholds.size(); ++i) s.peakThresholds[i] = stored.peakThresholds[i].value_or(0.0f);
  for (std::size_t i = 0; i < s.channelLevels.size(); ++i) s.channelLevels[i] = stored.channelLevels[i].value_or(0.0f);

  // A group count the channel options cannot show would also size the
  // per-channel tables beyond their 16 channels.
  if (s.groupCount != 1 && s.groupCount != 2 && s.groupCount != 4) s.groupCount = 4;
  state.groupCount = s.groupCount;

  // Only the two existing data-format options can be selected.
  const int current = SelectedOption(form.Option3);
  if (stored.binaryFormat && (*stored.binaryFormat == 0 || *stored.binaryFormat == 1)) {
    const auto index = static_cast<std::size_t>(*stored.binaryFormat);
    if (current != static_cast<int>(index)) {
      SelectOption(form.Option3, index);
      // What a click on the option does: the data file gets the extension
      // of its format.
      form.Text4.text = text::ReplaceExtension(form.Text4.text, index == 0 ? "csv" : "bdt");
    }
    state.binaryFormat = static_cast<int16_t>(index);
  }
  s.binaryFormat = state.binaryFormat;

  const int16_t currentFreq = form.Option2[0].selected ? 0 : 1;
  if (s.dataPath.empty()) {
    s.dataPath = form.Text4.text;
    s.freqIndex = currentFreq;
  }
  if (s.freqIndex != 0 && s.freqIndex != 1) s.freqIndex = currentFreq;
  // Values the window would have refused (a damaged file, or one written
  // by an older program) count as not set: the limits are those of entry.
  if (!DataIntervalAllowed(s.dataInterval)) s.dataInterval = 1;
  if (!StoredWaveIntervalAllowed(s.waveInterval)) s.waveInterval = 10;
  if (!ShuntOhmAllowed(s.shuntOhm)) s.shuntOhm = 330.0f;

  if (s.peakLevel < 0) form.Check3.checked = false;
  if (std::fabs(s.peakLevel) > 0) form.Text3.text = text::GeneralSingle(std::fabs(s.peakLevel));
  for (std::size_t i = 0; i < s.peakThresholds.size(); ++i)
    if (s.peakThresholds[i] > 0) form.Text5[i].text = text::GeneralSingle(s.peakThresholds[i]);
  for (std::size_t i = 0; i < s.channelLevels.size(); ++i)
    if (stored.channelLevels[i]) form.Combo3[i].text = text::GeneralSingle(s.channelLevels[i]);
  return s;
}

std::optional<std::vector<uint8_t>> ReadSettingsBytes(const std::filesystem::path& file, std::string* problem) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (problem) *problem = file.filename().string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(kSettingsMaxRecordBytes);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    if (problem) *problem = file.filename().string() + ": read error";
    return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

SettingsLoad STFLood(PolModeForm& form, MeasureState& state, const std::filesystem::path& dir) {
  SettingsLoad load;
  const auto bytes = ReadSettingsBytes(dir / kSettingsFileName, &load.problem);
  load.fileRead = bytes.has_value();
  const StoredSettings stored = bytes ? DecodeSettings(*bytes) : StoredSettings{};
  load.settings = ApplyStoredSettings(form, state, stored);
  return load;
}

WriteResult STFSave(const PolModeForm& form, const MeasureState& state, const std::filesystem::path& dir) {
  const auto record = EncodeSettings(CollectSettings(form, state));
  if (!record) return WriteResult::Failure(std::string(kSettingsFileName) + ": data file path too long");
  return OverwriteFileHead(dir / kSettingsFileName, *record);
}

std::optional<std::string> ReadSettingsDataPath(const std::filesystem::path& file) {
  const auto bytes = ReadSettingsBytes(file);
  if (!bytes) return std::nullopt;
  const StoredSettings s = DecodeSettings(*bytes);
  if (!s.dataPath || s.dataPath->empty()) return std::nullopt;
  return s.dataPath;
}

}  // namespace varnel
