#include "collector.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "condition.h"
#include "register_file.h"
#include "settings/setdt.h"
#include "store/file_io.h"
#include "store/waveform_file.h"

namespace varnel::fleet {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDataStream = "data";
constexpr std::size_t kSnapshotsPerBatch = 50;
constexpr double kDefaultShuntOhm = 330;

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

Collector::Collector(Database& db, SiteZone zone, CollectorOptions options)
    : db_(db), zone_(std::move(zone)), options_(std::move(options)) {}

Collector::SiteSettings Collector::ReadSettings() const {
  SiteSettings out;
  const auto bytes = ReadSettingsBytes(options_.siteDir / kSettingsFileName);
  if (bytes) {
    const StoredSettings s = DecodeSettings(*bytes);
    if (s.dataPath && !s.dataPath->empty()) out.dataPath = *s.dataPath;
    if (s.groupCount && (*s.groupCount == 1 || *s.groupCount == 2 || *s.groupCount == 4))
      out.channels = 4 * *s.groupCount;
    if (s.shuntOhm && *s.shuntOhm >= kMinShuntOhm && *s.shuntOhm <= kMaxShuntOhm) out.shuntOhm = *s.shuntOhm;
    if (s.dataInterval && *s.dataInterval >= 1 && *s.dataInterval <= 60) out.recordSeconds = *s.dataInterval * 60;
    if (s.freqIndex == 0 || s.freqIndex == 1) out.powerHz = *s.freqIndex == 0 ? 50 : 60;
  }
  if (options_.dataPath) out.dataPath = *options_.dataPath;
  if (options_.binaryChannels) out.channels = *options_.binaryChannels;
  // The programs run in the site folder: a relative path is relative to it.
  if (out.dataPath && fs::path(*out.dataPath).is_relative()) out.dataPath = (options_.siteDir / *out.dataPath).string();
  if (out.shuntOhm <= 0) out.shuntOhm = kDefaultShuntOhm;
  return out;
}

void Collector::Note(const std::string& key, const std::string& message) {
  auto it = notes_.find(key);
  if (it != notes_.end() && it->second == message) return;
  notes_[key] = message;
  log(message);
}

void Collector::Clear(const std::string& key) { notes_.erase(key); }

bool Collector::EnsureDatabase() {
  if (dbReady_) return true;
  try {
    db_.Open();
    siteId_ = db_.RegisterSite(options_.siteName, zone_.Id());
    snapshots_ = db_.LoadSnapshotStamps(siteId_);
    dbReady_ = true;
    if (notes_.count("db")) log("database reachable again: " + db_.Describe());
    Clear("db");
    retry_ = std::chrono::milliseconds(0);
    return true;
  } catch (const DbError& e) {
    db_.Close();
    Note("db", std::string(e.what()) + "; the records wait in the site's files");
    retry_ = retry_.count() == 0 ? options_.retryFirst : std::min(2 * retry_, options_.retryMax);
    return false;
  }
}

PollReport Collector::Poll(SteadyTime now) {
  PollReport report;
  if (!EnsureDatabase()) {
    report.databaseDown = true;
    report.wait = retry_;
    return report;
  }
  try {
    settings_ = ReadSettings();
    FollowData(report);
    SyncRegister();
    if (!nextSnapshotScan_ || now >= *nextSnapshotScan_) {
      ScanSnapshots(report);
      nextSnapshotScan_ = now + options_.snapshotInterval;
    }
    if (options_.keepRawMonths > 0 && (!nextRetention_ || now >= *nextRetention_)) {
      ApplyRetention();
      nextRetention_ = now + std::chrono::hours(24);
    }
    report.wait = report.morePending ? std::chrono::milliseconds(0) : options_.pollInterval;
  } catch (const DbError& e) {
    // Whatever the last commit did, the database knows: the position is
    // loaded again from there once it is back.
    Reset();
    Note("db", std::string(e.what()) + "; the records wait in the site's files");
    report.databaseDown = true;
    report.wait = retry_;
  } catch (const std::exception& e) {
    // Anything else (out of memory, a file-system error): start the round
    // afresh from the database's position after a pause.
    Reset();
    Note("fault", std::string("collecting failed: ") + e.what() + "; trying again");
    report.wait = retry_;
  }
  return report;
}

void Collector::ApplyRetention() {
  const int64_t now = wallClock ? wallClock() : static_cast<int64_t>(std::time(nullptr));
  const int64_t wanted = MonthStartBefore(now, options_.keepRawMonths);
  const int64_t horizon = db_.DropRawBefore(wanted);
  if (horizon != lastHorizon_) {
    const Instant at = zone_.At(horizon);
    const int months = options_.keepRawMonths;
    log("raw rows before " + IsoLocalText(at) + " dropped (" + std::to_string(months) +
        (months == 1 ? " month" : " months") + " kept); the summaries stay");
    lastHorizon_ = horizon;
  }
}

void Collector::Reset() {
  db_.Close();
  dbReady_ = false;
  reader_.reset();
  lastInstant_.reset();
  nextSnapshotScan_.reset();
  retry_ = options_.retryFirst;
}

void Collector::CommitPosition(const FilePosition& position) {
  Batch batch;
  batch.stream = kDataStream;
  batch.position = position;
  db_.Commit(siteId_, batch);
}

bool Collector::Drain(FileReader& reader, PollReport& report, std::size_t& batches) {
  for (;;) {
    if (batches >= options_.batchesPerPoll) return false;
    FileReader::Chunk chunk = reader.Read(options_.batchRecords, settings_.channels);
    if (!chunk.any) return true;
    for (const std::string& p : chunk.problems) log(reader.Position().path + ": " + p);
    Batch batch;
    batch.stream = kDataStream;
    batch.position = chunk.next;
    batch.records.reserve(chunk.records.size());
    batch.wetHumidityPct = options_.wetHumidityPct;
    batch.recordSeconds = settings_.recordSeconds;
    std::optional<int64_t> previous = lastInstant_;
    for (DataRecord& r : chunk.records) {
      const Instant time = previous ? zone_.ResolveAfter(r.time, *previous) : zone_.Resolve(r.time);
      previous = time.epochSeconds;
      batch.records.push_back({std::move(r), time});
    }
    const CommitResult done = db_.Commit(siteId_, batch);
    reader.Advance(chunk.next);
    lastInstant_ = previous;
    report.recordsAdded += done.recordsAdded;
    if (done.recordsBeforeHorizon > 0) log(BeforeHorizonNote(reader.Position().path, done.recordsBeforeHorizon));
    ++batches;
  }
}

std::optional<FileReader> Collector::FindMovedFile(const FilePosition& stored) const {
  std::error_code ec;
  const fs::path folder = fs::path(stored.path).parent_path();
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (static_cast<uint64_t>(st.st_dev) != stored.device || static_cast<uint64_t>(st.st_ino) != stored.inode)
      continue;
    FileReader reader;
    if (reader.Open(it->path().string(), nullptr) && reader.Matches(stored)) {
      reader.ResumeAt(stored);
      return reader;
    }
  }
  return std::nullopt;
}

bool Collector::Attach(const std::string& path) {
  const std::optional<FilePosition> stored = db_.LoadPosition(siteId_, kDataStream);
  FileReader reader;
  std::string why;
  const bool opened = reader.Open(path, &why);
  if (stored && stored->offset > 0) {
    if (opened && reader.Matches(*stored)) {
      reader.ResumeAt(*stored);
      reader_ = std::move(reader);
      log("following " + path + " from byte " + std::to_string(stored->offset) + ", where the last run stopped");
      return true;
    }
    // The file of the last run is not under the name any more: read its
    // rest where it went, then take the file under the name from its start.
    if (std::optional<FileReader> moved = FindMovedFile(*stored)) {
      log("reading " + moved->Position().path + " (followed as " + stored->path + ") on from byte " +
          std::to_string(stored->offset));
      reader_ = std::move(moved);
      return true;  // FollowData reads it to its end and then switches
    }
    Note("lost", "the file followed before (" + stored->path + ", " + std::to_string(stored->offset) +
                     " bytes stored) is not to be found; records it received later are not collected");
  }
  if (!opened) {
    Note("missing", "data file " + path + " is missing; waiting for it");
    return false;
  }
  Clear("missing");
  reader_ = std::move(reader);
  if (!stored || !(stored->path == path && stored->offset == 0 && stored->inode == reader_->Position().inode))
    CommitPosition(reader_->Position());
  log("following " + path + " from its start");
  return true;
}

void Collector::FollowData(PollReport& report) {
  const std::optional<std::string> path = settings_.dataPath;
  if (!path) {
    Note("path", "no data file named (SETDT.DAT in " + options_.siteDir.string() + " holds none); waiting");
    return;
  }
  Clear("path");
  dataPath_ = path;
  if (!reader_ && !Attach(*path)) return;

  std::size_t batches = 0;
  if (reader_->CutBelowPosition()) {
    log(reader_->Position().path + " was cut below the " + std::to_string(reader_->Position().offset) +
        " bytes stored; reading it again from its start (records stored before are not added twice)");
    reader_->Restart();
    CommitPosition(reader_->Position());
  }
  if (!Drain(*reader_, report, batches)) {
    report.morePending = true;
    return;
  }
  if (reader_->StillAt(*path)) {
    Clear("missing");
    return;
  }
  std::error_code ec;
  if (!fs::exists(*path, ec)) {
    // Removed or renamed with no new file yet: the open file is still read.
    Note("missing", "data file " + *path + " is missing; waiting for it");
    return;
  }
  Clear("missing");
  // A new file under the name.  The writer opens it only after it stopped
  // writing the old one, so one more read takes the old file's last records.
  if (!Drain(*reader_, report, batches)) {
    report.morePending = true;
    return;
  }
  FileReader next;
  std::string why;
  if (!next.Open(*path, &why)) {
    Note("open", why);
    return;
  }
  Clear("open");
  log("data file " + *path + " is a new file; the previous one was read to its end (" +
      std::to_string(reader_->Position().offset) + " bytes)");
  reader_ = std::move(next);
  CommitPosition(reader_->Position());
  if (!Drain(*reader_, report, batches)) report.morePending = true;
}

std::optional<StoredSnapshot> LoadSnapshotFile(const fs::path& file, const SiteZone& zone, double shuntOhm,
                                               std::optional<int> powerHz, bool keepBytes, std::string* whyNot) {
  auto fail = [&](std::string why) -> std::optional<StoredSnapshot> {
    if (whyNot) *whyNot = file.string() + ": " + why;
    return std::nullopt;
  };
  const std::string name = file.filename().string();
  const std::optional<SnapshotName> parsed = ParseSnapshotName(name);
  if (!parsed) return fail("not a snapshot name (yyyymmdd-hhmmWev.dat or chNPeakX.XXmAyyyymmdd-hhmmWev.dat)");
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return fail("cannot be examined");
  std::string bytes, why;
  if (!store::ReadWholeFile(file.string(), &bytes, &why)) return fail(why);
  const std::optional<WaveStore> waves = store::DecodeWaveform(bytes, &why);
  if (!waves) return fail("not a waveform snapshot: " + why);
  StoredSnapshot s;
  s.name = name;
  s.parsed = *parsed;
  s.time = zone.Resolve(parsed->time);
  s.channels = waves->Channels();
  s.peakCounts = ChannelPeakCounts(*waves);
  for (int c : s.peakCounts) s.peaksMa.push_back(PeakMilliamps(c, shuntOhm));
  if (powerHz) s.harmonicsMa = SnapshotHarmonicsMa(*waves, *powerHz, shuntOhm);
  s.fileSize = static_cast<uint64_t>(st.st_size);
  s.fileMtimeNs = MtimeNs(st);
  if (keepBytes) s.bytes = std::move(bytes);
  return s;
}

void Collector::SyncRegister() {
  const fs::path file = options_.registerFile.value_or(options_.siteDir / kRegisterFileName);
  struct stat st {};
  const std::pair<int64_t, uint64_t> stamp =
      ::stat(file.c_str(), &st) == 0 ? std::pair{MtimeNs(st), static_cast<uint64_t>(st.st_size)} : std::pair{int64_t{-1}, uint64_t{0}};
  if (registerStamp_ == stamp) return;
  Batch batch;
  if (stamp.first < 0) {
    batch.insulators.emplace();  // no file: no register
  } else {
    std::vector<std::string> errors;
    batch.insulators = LoadRegisterFile(file.string(), errors);
    if (!batch.insulators) {
      std::string all;
      for (const std::string& e : errors) all += (all.empty() ? "" : "; ") + e;
      Note("register", file.string() + ": " + all + "; the register stored before stays");
      registerStamp_ = stamp;  // said once; read again when the file changes
      return;
    }
  }
  db_.Commit(siteId_, batch);
  registerStamp_ = stamp;
  Clear("register");
  if (stamp.first >= 0) log(file.string() + ": register of " + std::to_string(batch.insulators->size()) + " insulators stored");
}

void Collector::ScanSnapshots(PollReport& report) {
  const fs::path folder = dataPath_ ? fs::path(*dataPath_).parent_path() : options_.siteDir;
  std::vector<StoredSnapshot> batch;
  auto commit = [&] {
    if (batch.empty()) return;
    Batch b;
    b.snapshots = std::move(batch);
    report.snapshotsAdded += db_.Commit(siteId_, b).snapshotsAdded;
    for (const StoredSnapshot& s : b.snapshots) snapshots_[s.name] = {s.fileSize, s.fileMtimeNs};
    batch.clear();
  };
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!LooksLikeSnapshot(name)) continue;
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const SnapshotStamp stamp{static_cast<uint64_t>(st.st_size), MtimeNs(st)};
    if (auto known = snapshots_.find(name); known != snapshots_.end() && known->second == stamp) continue;
    if (auto bad = badSnapshots_.find(name); bad != badSnapshots_.end() && bad->second == stamp) continue;
    std::string why;
    std::optional<StoredSnapshot> snap =
        LoadSnapshotFile(it->path(), zone_, settings_.shuntOhm, settings_.powerHz, options_.storeWaveforms, &why);
    if (!snap) {
      log(why + "; left out");
      badSnapshots_[name] = stamp;
      continue;
    }
    // Registered under the stamp it was seen with, so that a file replaced
    // while it was read is read again.
    snap->fileSize = stamp.size;
    snap->fileMtimeNs = stamp.mtimeNs;
    batch.push_back(std::move(*snap));
    if (batch.size() >= kSnapshotsPerBatch) commit();
  }
  commit();
}

}  // namespace varnel::fleet
