#include "analyse_cli.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "analysis/analysis.h"
#include "analysis/statistics.h"
#include "analysis/sweep.h"
#include "form/form.h"
#include "form/state.h"
#include "store/waveform_file.h"

namespace varnel::tools {

namespace {

constexpr std::size_t kMaxBlockSamples = std::size_t{1} << 24;

// A whole token as a finite number, nothing before or after it.
std::optional<double> ParseNumber(const std::string& token) {
  double value = 0;
  const char* first = token.data();
  const char* last = first + token.size();
  if (first != last && *first == '+') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<long long> ParseInteger(const std::string& token) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec != std::errc() || end != token.data() + token.size() || token.empty()) return std::nullopt;
  return value;
}

std::optional<std::array<double, 4>> ParseThresholds(const std::string& token) {
  std::array<double, 4> levels{};
  std::size_t from = 0;
  for (std::size_t j = 0; j < levels.size(); ++j) {
    const std::size_t comma = token.find(',', from);
    const bool last = j + 1 == levels.size();
    if (last != (comma == std::string::npos)) return std::nullopt;  // not exactly four
    const auto value = ParseNumber(token.substr(from, last ? std::string::npos : comma - from));
    if (!value || *value < 0) return std::nullopt;
    levels[j] = *value;
    from = comma + 1;
  }
  return levels;
}

// Text that the leading-number reading of the form gives back exactly.
std::string NumberText(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string Number9(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string Optional9(const std::optional<float>& v) { return v ? Number9(static_cast<double>(*v)) : std::string(); }

// A measurement program's window and state set up as the options say, with
// a sweep over it with no hooks: it switches no lines and writes no files.
class Analyser {
 public:
  explicit Analyser(const AnalyseOptions& o) : sweep_(form_, state_) {
    form_ = MakeDesignForm();
    form_.Text1.text = NumberText(o.shunt);
    SelectOption(form_.Option2, o.frequency == 50 ? 0 : 1);
    for (std::size_t j = 0; j < o.thresholds.size(); ++j) form_.Text5[j].text = NumberText(o.thresholds[j]);
    state_.groupCount = static_cast<int16_t>(o.groups);
    state_.groupCounter = 0;
    state_.waves.Reset(4 * o.groups);
    analysis::BuildFrequencyTables(form_, state_.tables);
  }

  // One raw block as the cycle hands it over; returns its group.
  int RawBlock(const SampleBlock& block) {
    const int group = state_.groupCounter;
    state_.block = block;
    sweep_.DTSyori();
    return group;
  }

  // The channels of a snapshot, four at a time as they were acquired:
  // group g is channel indexes 4g .. 4g + 3, put back into frames of four.
  void SnapshotGroup(const WaveStore& waves, int group) {
    std::vector<int16_t> frames(static_cast<std::size_t>(analysis::kFrameEntries) * WaveStore::kSamples);
    for (int ch = 0; ch < analysis::kFrameEntries; ++ch)
      for (int k = 0; k < WaveStore::kSamples; ++k)
        frames[static_cast<std::size_t>(analysis::kFrameEntries * k + ch)] = waves.At(k, group * analysis::kFrameEntries + ch);
    sweep_.AnalyseGroup(frames, group);
  }

  void Row(std::ostream& out, long long block, int channel) const {
    const analysis::ChannelReport& r = sweep_.LastReport(channel);
    const analysis::BlockValues& v = r.values;
    out << block << ',' << channel << ',' << Optional9(v.Fhc) << ',' << Optional9(v.F1c) << ',' << Optional9(v.Flc)
        << ',' << Optional9(v.DCc) << ',' << Optional9(v.ALLc) << ',' << Optional9(v.Rms) << ','
        << (v.peakMilliamps ? Number9(*v.peakMilliamps) : std::string());
    for (const int32_t c : r.counts.time) out << ',' << c;
    for (const int32_t c : r.counts.half) out << ',' << c;
    out << "\n";
  }

 private:
  PolModeForm form_;
  MeasureState state_;
  analysis::Sweep sweep_;
};

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool AnalyseSnapshot(const AnalyseOptions& o, std::ifstream& in, std::uintmax_t size, std::ostream& out,
                     std::string* error) {
  const std::size_t largest = store::WaveformFileSize(16);
  if (size > largest)
    return Fail(error, o.input + ": a waveform snapshot is at most " + std::to_string(largest) + " bytes, this file has " +
                           std::to_string(size));
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
    return Fail(error, o.input + ": cannot be read");
  std::string why;
  const auto waves = store::DecodeWaveform(bytes, &why);
  if (!waves) return Fail(error, o.input + ": not a waveform snapshot: " + why);

  AnalyseOptions one = o;
  one.groups = std::max(1, waves->Channels() / 4);
  Analyser a(one);
  out << kCsvHeader << "\n";
  for (int group = 0; group < one.groups; ++group) {
    a.SnapshotGroup(*waves, group);
    for (int ch = 0; ch < 4; ++ch) a.Row(out, 0, group * 4 + ch);
  }
  return true;
}

bool AnalyseRaw(const AnalyseOptions& o, std::ifstream& in, std::uintmax_t size, std::ostream& out,
                std::string* error) {
  const std::uintmax_t blockBytes = 2u * o.blockSamples;
  if (size == 0) return Fail(error, o.input + ": the file holds no block");
  if (size % blockBytes != 0)
    return Fail(error, o.input + ": " + std::to_string(size) + " bytes are not a whole number of blocks of " +
                           std::to_string(o.blockSamples) + " samples (" + std::to_string(blockBytes) + " bytes)");

  Analyser a(o);
  out << kCsvHeader << "\n";
  std::string bytes(static_cast<std::size_t>(blockBytes), '\0');
  // As the cycle makes it: at least 5057 entries, zero beyond the samples.
  SampleBlock block(std::max<std::size_t>(o.blockSamples, kMinSampleBlock - 1) + 1, 0);
  const std::uintmax_t blocks = size / blockBytes;
  for (std::uintmax_t k = 0; k < blocks; ++k) {
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
      return Fail(error, o.input + ": cannot be read at block " + std::to_string(k));
    std::fill(block.begin(), block.end(), int16_t{0});
    for (std::size_t i = 0; i < o.blockSamples; ++i) {
      const auto lo = static_cast<uint8_t>(bytes[2 * i]);
      const auto hi = static_cast<uint8_t>(bytes[2 * i + 1]);
      block[i] = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
    }
    const int group = a.RawBlock(block);
    for (int ch = 0; ch < 4; ++ch) a.Row(out, static_cast<long long>(k), group * 4 + ch);
    if (!out) return Fail(error, "the output cannot be written");
  }
  return true;
}

// ---------------------------------------------------------------- archives

// One file of an archive, analysed: its rows as the one-file path prints
// them (header line included), or why it could not be analysed.
struct FileOutcome {
  bool ok = false;
  std::string csv;
  std::string error;
};

FileOutcome AnalyseOneFile(const AnalyseOptions& archive, const std::string& file) {
  AnalyseOptions one = archive;
  one.input = file;
  one.inputs = {file};
  one.snapshot = archive.snapshot || IsSnapshotName(file);
  FileOutcome r;
  try {
    std::ostringstream out;
    r.ok = Analyse(one, out, &r.error);
    r.csv = std::move(out).str();
  } catch (const std::exception& e) {
    r.ok = false;
    r.error = file + ": " + e.what();
  }
  return r;
}

// Writes the rows of one file's CSV (its header line left out) with the file
// in a first column.
void WriteArchiveRows(std::ostream& out, const std::string& file, const std::string& csv) {
  const std::string cell = CsvCell(file) + ",";
  std::size_t at = csv.find('\n');  // after the header
  while (at != std::string::npos && at + 1 < csv.size()) {
    const std::size_t end = csv.find('\n', at + 1);
    out << cell;
    const std::size_t stop = end == std::string::npos ? csv.size() : end + 1;
    out.write(csv.data() + at + 1, static_cast<std::streamsize>(stop - at - 1));
    at = end;
  }
}

// The files named by the inputs, in order, folders expanded.  False with the
// reason when an input is missing or a folder holds nothing to analyse.
bool ExpandInputs(const std::vector<std::string>& inputs, std::vector<std::string>& files, std::string* error) {
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (!std::filesystem::is_directory(input, ec)) {
      files.push_back(input);  // a missing file is reported with the others
      continue;
    }
    std::vector<std::string> found = ArchiveFiles(input, error);
    if (found.empty()) {
      if (error && error->empty())
        *error = input + ": the folder holds no waveform snapshots (...Wev.dat) and no block files (.raw)";
      return false;
    }
    files.insert(files.end(), found.begin(), found.end());
  }
  return true;
}

// The archive's files analysed by `jobs` workers, written in the order of
// the files.  Workers take the next file as they finish one, at most a few
// files ahead of the writer, so the rows waiting in memory stay few.
class ArchiveRun {
 public:
  ArchiveRun(const AnalyseOptions& o, std::vector<std::string> files)
      : options_(o), files_(std::move(files)), outcomes_(files_.size()) {}

  // Returns the number of files that could not be analysed, or nullopt when
  // the output cannot be written.
  std::optional<std::size_t> Run(int jobs, std::ostream& out, std::ostream& err) {
    ahead_ = static_cast<std::size_t>(jobs) * 4;
    std::vector<std::thread> workers;
    for (int i = 0; i < jobs; ++i) workers.emplace_back([this] { Work(); });
    std::size_t failed = 0;
    bool writable = true;
    out << kArchiveCsvHeader << "\n";
    for (std::size_t i = 0; i < files_.size() && writable; ++i) {
      FileOutcome r = Take(i);
      if (r.ok) {
        WriteArchiveRows(out, files_[i], r.csv);
      } else {
        ++failed;
        err << "varnel-analyse: " << r.error << "\n";
      }
      writable = static_cast<bool>(out);
    }
    Stop();
    for (std::thread& w : workers) w.join();
    if (!writable) return std::nullopt;
    return failed;
  }

 private:
  void Work() {
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return stop_ || next_ >= files_.size() || next_ < written_ + ahead_; });
        if (stop_ || next_ >= files_.size()) return;
        i = next_++;
      }
      FileOutcome r = AnalyseOneFile(options_, files_[i]);
      {
        std::lock_guard lock(mu_);
        outcomes_[i] = std::move(r);
      }
      cv_.notify_all();
    }
  }

  // Waits for file i, takes its outcome and lets the workers move on.
  FileOutcome Take(std::size_t i) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return outcomes_[i].has_value(); });
    FileOutcome r = std::move(*outcomes_[i]);
    outcomes_[i].reset();
    written_ = i + 1;
    lock.unlock();
    cv_.notify_all();
    return r;
  }

  void Stop() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
  }

  const AnalyseOptions& options_;
  const std::vector<std::string> files_;
  std::vector<std::optional<FileOutcome>> outcomes_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::size_t next_ = 0;     // the next file a worker takes
  std::size_t written_ = 0;  // files written so far
  std::size_t ahead_ = 1;    // how far the workers may run ahead of the writer
  bool stop_ = false;
};

int RunArchive(const AnalyseOptions& o, std::ostream& out, std::ostream& err) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> files;
  std::string error;
  if (!ExpandInputs(o.inputs, files, &error)) {
    err << "varnel-analyse: " << error << "\n";
    return 2;
  }
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int jobs = static_cast<int>(std::min<std::size_t>(o.jobs > 0 ? o.jobs : cores, files.size()));
  ArchiveRun run(o, files);
  const auto failed = run.Run(jobs, out, err);
  out.flush();
  if (!failed || !out) return 1;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  char line[200];
  const double perSecond = seconds > 0 ? static_cast<double>(files.size()) / seconds : 0.0;
  std::snprintf(line, sizeof line,
                "varnel-analyse: %zu files (%zu not analysed) in %.3f s: %.1f files per second, %d workers\n",
                files.size(), *failed, seconds, perSecond, jobs);
  err << line;
  return *failed == 0 ? 0 : 2;
}

}  // namespace

std::string Usage() {
  return "usage: varnel-analyse [--freq 50|60] [--shunt OHM] [--thresholds a,b,c,d]\n"
         "                      [--groups 1|2|4] [--block N] [--snapshot] [--jobs N]\n"
         "                      FILE|FOLDER...\n"
         "\n"
         "Re-analyses recorded leakage-current blocks and prints CSV, one row per\n"
         "block and channel index, with the values of that block:\n"
         "  " + std::string(kCsvHeader) + "\n"
         "\n"
         "FILE is a raw block file (little-endian 16-bit raw codes in frames of four,\n"
         "blocks of N samples) or a waveform snapshot (a name ending in Wev.dat, or\n"
         "--snapshot) of signed counts.\n"
         "\n"
         "Several files, or a FOLDER (its snapshots and its .raw block files, by\n"
         "name), are an archive: analysed on all cores, printed in the order of the\n"
         "files with the file in a first column:\n"
         "  " + std::string(kArchiveCsvHeader) + "\n"
         "and the files per second reported on standard error.  A file that cannot\n"
         "be analysed is named there and the others go on.\n"
         "  --freq 50|60          power frequency (default 50)\n"
         "  --shunt OHM           shunt resistance, above 0 (default 330)\n"
         "  --thresholds a,b,c,d  detection levels in mA (default 0.5,1,2,5)\n"
         "  --groups 1|2|4        groups of four channels in a raw file; block k is\n"
         "                        group k mod groups (default 1); a snapshot names its\n"
         "                        own channels\n"
         "  --block N             samples per raw block, at least 5025 (default 5040)\n"
         "  --snapshot            read FILE as a waveform snapshot\n"
         "  --jobs N              workers for an archive (default: one per core)\n";
}

std::vector<std::string> ArchiveFiles(const std::string& folder, std::string* error) {
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    if (!it->is_regular_file(kind)) continue;
    const std::string name = it->path().filename().string();
    const bool raw = name.size() > 4 && name.compare(name.size() - 4, 4, ".raw") == 0;
    if (IsSnapshotName(name) || raw) files.push_back(it->path().string());
  }
  if (ec) {
    if (error) *error = folder + ": " + ec.message();
    return {};
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string cell = "\"";
  for (const char c : text) {
    if (c == '"') cell += '"';
    cell += c;
  }
  return cell + "\"";
}

bool IsSnapshotName(const std::string& path) {
  static const std::string kSuffix = "Wev.dat";
  return path.size() >= kSuffix.size() && path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

std::optional<AnalyseOptions> ParseArguments(const std::vector<std::string>& args, std::string* error) {
  AnalyseOptions o;
  bool haveInput = false;
  auto fail = [error](const std::string& why) -> std::optional<AnalyseOptions> {
    if (error) *error = why;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const auto eq = arg.find('='); eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    auto value = [&](std::string* out) {
      if (inlineValue) {
        *out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--snapshot") {
      if (inlineValue) return fail("--snapshot takes no value");
      o.snapshot = true;
    } else if (arg == "--freq") {
      if (!value(&v)) return fail("--freq needs a value: 50 or 60");
      const auto f = ParseInteger(v);
      if (!f || (*f != 50 && *f != 60)) return fail("--freq must be 50 or 60, not \"" + v + "\"");
      o.frequency = static_cast<int>(*f);
    } else if (arg == "--shunt") {
      if (!value(&v)) return fail("--shunt needs a resistance in ohm");
      const auto r = ParseNumber(v);
      if (!r || *r <= 0) return fail("--shunt must be a number of ohm above 0, not \"" + v + "\"");
      o.shunt = *r;
    } else if (arg == "--thresholds") {
      if (!value(&v)) return fail("--thresholds needs four levels in mA: a,b,c,d");
      const auto t = ParseThresholds(v);
      if (!t) return fail("--thresholds must be four numbers of mA, 0 or more, separated by commas, not \"" + v + "\"");
      o.thresholds = *t;
    } else if (arg == "--groups") {
      if (!value(&v)) return fail("--groups needs a value: 1, 2 or 4");
      const auto g = ParseInteger(v);
      if (!g || (*g != 1 && *g != 2 && *g != 4)) return fail("--groups must be 1, 2 or 4, not \"" + v + "\"");
      o.groups = static_cast<int>(*g);
    } else if (arg == "--jobs") {
      if (!value(&v)) return fail("--jobs needs a number of workers");
      const auto n = ParseInteger(v);
      if (!n || *n < 1 || *n > 1024) return fail("--jobs must be a whole number from 1 to 1024, not \"" + v + "\"");
      o.jobs = static_cast<int>(*n);
    } else if (arg == "--block") {
      if (!value(&v)) return fail("--block needs a number of samples");
      const auto n = ParseInteger(v);
      if (!n || *n < static_cast<long long>(analysis::kConvertedEntries) ||
          *n > static_cast<long long>(kMaxBlockSamples))
        return fail("--block must be a whole number of samples from 5025 to " + std::to_string(kMaxBlockSamples) +
                    ", not \"" + v + "\"");
      o.blockSamples = static_cast<std::size_t>(*n);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option \"" + arg + "\"");
    } else {
      if (!haveInput) o.input = arg;
      o.inputs.push_back(arg);
      haveInput = true;
    }
  }
  if (!haveInput && !o.help) return fail("no input file given");
  // One file named as a snapshot is read as one; the files of an archive are
  // told apart one by one.
  if (o.inputs.size() == 1 && IsSnapshotName(o.input)) o.snapshot = true;
  return o;
}

bool Analyse(const AnalyseOptions& o, std::ostream& out, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(o.input, ec)) return Fail(error, o.input + ": is a folder, not a file");
  const std::uintmax_t size = std::filesystem::file_size(o.input, ec);
  if (ec) return Fail(error, o.input + ": " + ec.message());
  std::ifstream in(o.input, std::ios::binary);
  if (!in) return Fail(error, o.input + ": cannot be opened");
  return o.snapshot ? AnalyseSnapshot(o, in, size, out, error) : AnalyseRaw(o, in, size, out, error);
}

int RunAnalyse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string error;
  const auto options = ParseArguments(args, &error);
  if (!options) {
    err << "varnel-analyse: " << error << "\n" << Usage();
    return 2;
  }
  if (options->help) {
    out << Usage();
    return out ? 0 : 1;
  }
  std::error_code ec;
  if (options->inputs.size() > 1 || std::filesystem::is_directory(options->input, ec))
    return RunArchive(*options, out, err);
  // The layout is checked before the first row, so bad input prints no table.
  if (!Analyse(*options, out, &error)) {
    err << "varnel-analyse: " << error << "\n";
    return out ? 2 : 1;
  }
  out.flush();
  return out ? 0 : 1;
}

}  // namespace varnel::tools
