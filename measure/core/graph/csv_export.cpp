#include "graph/csv_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "analysis/analysis.h"
#include "store/file_io.h"
#include "text/numforms.h"

namespace varnel::graph {

namespace {

constexpr std::size_t kWriteChunk = 64 * 1024;

// Opens the chosen file for the export: created or truncated.  A FIFO
// without a reader or anything else that would block fails at once instead
// of hanging the window.
int OpenExportFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool IsRegularFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Writes the export to `fd`.  A write that fails half way is cut back to
// the last whole line, so the file holds whole lines only: everything
// written before the failure stays.
bool WriteExport(int fd, const MeasureState& state) {
  off_t wholeLines = 0;
  const bool regular = IsRegularFile(fd);
  const bool all = ComposeWaveformCsv(state, kWriteChunk, [&](std::string_view piece) {
    const std::size_t n = store::WriteAll(fd, piece);
    if (n == piece.size()) {
      wholeLines += static_cast<off_t>(n);
      return true;
    }
    const std::size_t lastEnd = piece.substr(0, n).rfind('\n');
    const off_t keep = wholeLines + (lastEnd == std::string_view::npos ? 0 : static_cast<off_t>(lastEnd + 1));
    if (regular) (void)::ftruncate(fd, keep);
    return false;
  });
  if (!all) return false;
  // The success message promises the data is on disk.
  return !regular || ::fsync(fd) == 0;
}

}  // namespace

std::vector<FileFilter> ParseDialogFilter(std::string_view filter) {
  std::vector<FileFilter> out;
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = filter.find('|', start);
    parts.emplace_back(filter.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) out.push_back({parts[i], parts[i + 1]});
  return out;
}

int RawCode(const SampleBlock& block, std::size_t index) {
  if (index >= block.size()) return 0;
  const int16_t entry = block[index];
  if (index < analysis::kConvertedEntries) return static_cast<int>(entry) + 2048;
  return static_cast<uint16_t>(entry) & 0x1FFF;
}

double RawCodeVolts(int rawCode, int16_t cardType) {
  const double r = static_cast<double>(rawCode);
  if (cardType == 1) return rawCode > 4095 ? 0.0 : 8.0 * r * 2.5 / 32768.0;
  return rawCode > 4095 ? -5.0 : 8.0 * r * 10.0 / 32768.0 - 5.0;
}

double IntervalSeconds(int16_t sampInterval, int16_t sampUnit) {
  const double v = static_cast<double>(sampInterval);
  switch (sampUnit) {
    case 1:
      return v / 1000.0;
    case 2:
      return v / 1000000.0;
    default:
      return v;
  }
}

int64_t ExportValueCount(const MeasureState& state) {
  if (state.chanCount <= 0 || state.sampCount <= 0 || state.blockCount <= 0) return 0;
  const int64_t most = static_cast<int64_t>(state.chanCount) * state.sampCount;
  return std::min<int64_t>(state.blockCount, most);
}

int64_t ExportLineCount(const MeasureState& state) {
  const int64_t v = ExportValueCount(state);
  return v <= 0 ? 0 : (v - 1) / state.chanCount + 1;
}

bool ComposeWaveformCsv(const MeasureState& state, std::size_t chunkBytes,
                        const std::function<bool(std::string_view)>& sink) {
  const int64_t lines = ExportLineCount(state);
  const int channels = state.chanCount;
  const double step = IntervalSeconds(state.sampInterval, state.sampUnit);
  std::string chunk;
  chunk.reserve(chunkBytes + 256);
  double t = 0;
  for (int64_t k = 0; k < lines; ++k) {
    chunk += text::Format(t, "0.000E+##");
    const auto first = static_cast<std::size_t>(k * channels);
    for (int i = 0; i < channels; ++i) {
      chunk += ',';
      const int raw = RawCode(state.block, first + static_cast<std::size_t>(i));
      chunk += text::Format(RawCodeVolts(raw, state.card.cardType), "#0.000");
    }
    chunk += "\r\n";
    t += step;  // repeated addition, as the times have always been formed
    if (chunk.size() >= chunkBytes) {
      if (!sink(chunk)) return false;
      chunk.clear();
    }
  }
  return chunk.empty() || sink(chunk);
}

std::string WaveformCsvText(const MeasureState& state) {
  std::string all;
  ComposeWaveformCsv(state, kWriteChunk, [&all](std::string_view piece) {
    all += piece;
    return true;
  });
  return all;
}

SaveDialogRequest CsvExport::DialogRequest() const {
  SaveDialogRequest r;
  r.filters = ParseDialogFilter(kCsvDialogFilter);
  r.initialFolder = programFolder_;
  return r;
}

void CsvExport::IDB_SAVECSV_Click() {
  const std::optional<std::string> path = dialog_.AskSavePath(DialogRequest());
  if (!path || path->empty()) {
    boxes_.Show(kSelectFileText, kErrorTitle, MessageIcon::Error);
    return;
  }
  // One file slot: a running measurement's data file keeps the export out.
  if (dataFile_.IsOpen()) {
    boxes_.Show(kOpenErrorText, kErrorTitle, MessageIcon::Error);
    return;
  }
  store::IgnoreFileSizeSignal();
  const int fd = OpenExportFile(*path);
  if (fd < 0) {
    boxes_.Show(kOpenErrorText, kErrorTitle, MessageIcon::Error);
    return;
  }
  const bool written = WriteExport(fd, state_);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    boxes_.Show(kSaveErrorText, kErrorTitle, MessageIcon::Error);
    return;
  }
  boxes_.Show(kSavedText, kSavedTitle, MessageIcon::Information);
}

}  // namespace varnel::graph
