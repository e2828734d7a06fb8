#include "data_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "text/cp932.h"

namespace varnel::fleet {

namespace {

constexpr std::string_view kHeaderStart = "時刻,";
constexpr std::string_view kForcedStopText = "データ異常により強制終了";

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

int ChannelsOfFieldCount(std::size_t fields) {
  for (int channels : {4, 8, 16})
    if (fields == static_cast<std::size_t>(store::TextFieldCount(channels))) return channels;
  return 0;
}

// A number in the general text of a single ("12", "0.5", "1E-05", "-3.25").
std::optional<float> ParseNumber(std::string_view field) {
  if (field.empty()) return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return static_cast<float>(v);
}

bool ParseInt(std::string_view s, int* out) {
  if (s.empty()) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::optional<Thresholds> ThresholdValues(const store::ThresholdTexts& texts) {
  Thresholds t{};
  for (std::size_t j = 0; j < t.size(); ++j) t[j] = static_cast<float>(text::LeadingNumber(texts[j]));
  return t;
}

// Days in a month of the proleptic Gregorian calendar.
int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<RecordForm> SniffForm(std::string_view firstBytes) {
  static const std::string header = text::ToCp932(kHeaderStart);
  if (firstBytes.size() < header.size()) {
    // A text file that has only begun its header still starts like one.
    if (!firstBytes.empty() && header.compare(0, firstBytes.size(), firstBytes) != 0) return RecordForm::kBinary;
    return std::nullopt;
  }
  return firstBytes.compare(0, header.size(), header) == 0 ? RecordForm::kText : RecordForm::kBinary;
}

std::optional<text::LocalDateTime> ParseGeneralDateTime(std::string_view s) {
  // yyyy/mm/dd[ hh:mm:ss]
  if (s.size() != 10 && s.size() != 19) return std::nullopt;
  if (s[4] != '/' || s[7] != '/') return std::nullopt;
  text::LocalDateTime t;
  if (!ParseInt(s.substr(0, 4), &t.year) || !ParseInt(s.substr(5, 2), &t.month) || !ParseInt(s.substr(8, 2), &t.day))
    return std::nullopt;
  if (s.size() == 19) {
    if (s[10] != ' ' || s[13] != ':' || s[16] != ':') return std::nullopt;
    if (!ParseInt(s.substr(11, 2), &t.hour) || !ParseInt(s.substr(14, 2), &t.minute) ||
        !ParseInt(s.substr(17, 2), &t.second))
      return std::nullopt;
  } else {
    t.hour = t.minute = t.second = 0;
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
      t.minute > 59 || t.second > 59 || t.hour < 0 || t.minute < 0 || t.second < 0)
    return std::nullopt;
  return t;
}

std::optional<store::ThresholdTexts> ParseHeaderLine(std::string_view line) {
  if (line.substr(0, kHeaderStart.size()) != kHeaderStart) return std::nullopt;
  const std::vector<std::string_view> fields = SplitFields(line);
  const int channels = ChannelsOfFieldCount(fields.size());
  if (channels == 0) return std::nullopt;
  // Channel 1's time-percentage fields: "1ch >" t(j) "mA(時間%)".
  const std::size_t first = 9 + 6 * static_cast<std::size_t>(channels) + 1;
  store::ThresholdTexts texts;
  for (std::size_t j = 0; j < texts.size(); ++j) {
    const std::string_view f = fields[first + j];
    constexpr std::string_view kPrefix = "1ch >";
    constexpr std::string_view kSuffix = "mA(時間%)";
    if (f.size() < kPrefix.size() + kSuffix.size() || f.substr(0, kPrefix.size()) != kPrefix ||
        f.substr(f.size() - kSuffix.size()) != kSuffix)
      return std::nullopt;
    texts[j] = std::string(f.substr(kPrefix.size(), f.size() - kPrefix.size() - kSuffix.size()));
  }
  return texts;
}

std::optional<DataRecord> ParseRecordLine(std::string_view line, std::string* whyNot) {
  auto fail = [whyNot](std::string why) -> std::optional<DataRecord> {
    if (whyNot) *whyNot = std::move(why);
    return std::nullopt;
  };
  std::vector<std::string_view> fields = SplitFields(line);
  DataRecord r;
  if (fields.size() > 1 && fields.back() == kForcedStopText) {
    r.forcedStop = true;
    fields.pop_back();
  }
  r.channels = ChannelsOfFieldCount(fields.size());
  if (r.channels == 0)
    return fail(std::to_string(fields.size()) + " fields, not the 69, 129 or 249 of a record");
  const auto time = ParseGeneralDateTime(fields[0]);
  if (!time) return fail("\"" + std::string(fields[0]) + "\" is not a record time");
  r.time = *time;
  std::size_t f = 1;
  auto take = [&](std::size_t index) {
    const auto v = ParseNumber(fields[f]);
    if (!v) return false;
    r.values[index] = *v;
    ++f;
    return true;
  };
  for (int k = 0; k < store::kWeatherValueCount; ++k)
    if (!take(store::WeatherIndex(k))) return fail("field " + std::to_string(f + 1) + " is not a number");
  for (int ch = 0; ch < r.channels; ++ch)
    for (int k = 0; k < store::kComponentsPerChannel; ++k)
      if (!take(store::ComponentIndex(ch, k))) return fail("field " + std::to_string(f + 1) + " is not a number");
  for (int ch = 0; ch < r.channels; ++ch)
    for (int k = 0; k < store::kPeakValuesPerChannel; ++k)
      if (!take(store::PeakIndex(ch, k))) return fail("field " + std::to_string(f + 1) + " is not a number");
  return r;
}

DataRecord DecodeBinaryDataRecord(std::string_view bytes, int channels) {
  const store::BinaryRecord b = store::DecodeBinaryRecord(bytes);
  DataRecord r;
  r.time = text::FromOleDate(b.oleTime);
  r.channels = channels;
  r.values = b.values;
  return r;
}

RecordParser::RecordParser(RecordForm form, int binaryChannels) : form_(form), binaryChannels_(binaryChannels) {}

void RecordParser::SetHeader(std::string header) {
  header_ = std::move(header);
  const auto texts = ParseHeaderLine(header_);
  thresholds_ = texts ? ThresholdValues(*texts) : std::nullopt;
}

ParseOutcome RecordParser::Parse(std::string_view bytes, std::size_t maxRecords) {
  ParseOutcome out;
  if (form_ == RecordForm::kBinary) {
    while (out.records.size() < maxRecords && bytes.size() - out.consumed >= store::kRecordBytes) {
      const std::string_view record = bytes.substr(out.consumed, store::kRecordBytes);
      const double ole = store::DecodeBinaryRecord(record).oleTime;
      // Years 100..9999, as the platform's dates; anything else is not a time.
      if (std::isfinite(ole) && ole >= -657434.0 && ole < 2958466.0)
        out.records.push_back(DecodeBinaryDataRecord(record, binaryChannels_));
      else
        out.problems.push_back("record at byte " + std::to_string(out.consumed) + " holds no valid time; skipped");
      out.consumed += store::kRecordBytes;
    }
    return out;
  }
  while (out.records.size() < maxRecords) {
    const std::size_t end = bytes.find(store::kLineEnd, out.consumed);
    if (end == std::string_view::npos) break;  // a torn line waits for its end
    TakeLine(bytes.substr(out.consumed, end - out.consumed), out.consumed, out);
    out.consumed = end + store::kLineEnd.size();
  }
  return out;
}

void RecordParser::TakeLine(std::string_view cp932Line, std::size_t lineStart, ParseOutcome& out) {
  if (cp932Line.empty()) return;
  const std::optional<std::string> line = text::FromCp932(cp932Line);
  if (!line) {
    out.problems.push_back("line at byte " + std::to_string(lineStart) + " is not code page 932 text; skipped");
    return;
  }
  if (line->rfind(kHeaderStart, 0) == 0) {
    if (!ParseHeaderLine(*line)) {
      out.problems.push_back("header at byte " + std::to_string(lineStart) + " is damaged; thresholds unknown");
    }
    SetHeader(*line);
    return;
  }
  std::string why;
  std::optional<DataRecord> r = ParseRecordLine(*line, &why);
  if (!r) {
    out.problems.push_back("line at byte " + std::to_string(lineStart) + " skipped: " + why);
    return;
  }
  r->thresholds = thresholds_;
  out.records.push_back(std::move(*r));
}

std::optional<FileRecords> ReadDataFile(const std::string& path, std::optional<RecordForm> form, int binaryChannels,
                                        std::string* whyNot) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (whyNot) *whyNot = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (whyNot) *whyNot = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  FileRecords out;
  out.form = form ? *form : SniffForm(bytes).value_or(RecordForm::kBinary);
  RecordParser parser(out.form, binaryChannels);
  ParseOutcome parsed = parser.Parse(bytes, static_cast<std::size_t>(-1));
  out.records = std::move(parsed.records);
  out.problems = std::move(parsed.problems);
  out.tornTail = bytes.size() - parsed.consumed;
  return out;
}

double DecimalOf(float v) {
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  double d = 0;
  std::from_chars(buf, end, d);
  return std::isfinite(v) ? d : static_cast<double>(v);
}

}  // namespace varnel::fleet
