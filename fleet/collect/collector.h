// varnel-collect's core: follows a site's data file and waveform snapshots
// and writes them into the database, exactly once.
//
// Poll() does one round: it reads the whole records that appeared since the
// stored position and commits them together with the new position, then
// (every snapshot interval) registers new snapshot files.  The program calls
// it on a timer; tests call it directly with their own clock.
//
// What the files may do, and what the collector does then:
//  - the half-hourly close and reopen, a new run's header: nothing special,
//    the file stays the same file;
//  - a torn last record: it waits until the record is whole;
//  - the file renamed, replaced or removed: the open file is read to its end,
//    then the file now under the name is followed from its start;
//  - the file missing for a while: it waits, and says so once;
//  - its own restart: the position stored in the database (path, identity,
//    offset) leads back to the file, also when it was renamed in its folder
//    meanwhile;
//  - the database unreachable: nothing is read further; the records wait in
//    the file and are stored when it is back.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "database.h"
#include "file_reader.h"
#include "site_zone.h"

namespace varnel::fleet {

using SteadyTime = std::chrono::steady_clock::time_point;

// A snapshot file as it is registered: its name read, its samples decoded,
// the peaks of its channels; nullopt with the reason when it is no snapshot.
// `powerHz` (50 or 60, nullopt: unknown) gives the harmonics of its channels.
std::optional<StoredSnapshot> LoadSnapshotFile(const std::filesystem::path& file, const SiteZone& zone,
                                               double shuntOhm, std::optional<int> powerHz, bool keepBytes,
                                               std::string* whyNot);

struct CollectorOptions {
  std::string siteName;
  std::filesystem::path siteDir;          // holds SETDT.DAT
  std::optional<std::string> dataPath;    // fixed; otherwise SETDT.DAT's data path
  std::optional<int> binaryChannels;      // otherwise 4 x SETDT.DAT's group count, else 16
  bool storeWaveforms = false;            // the snapshot files themselves as well
  std::size_t batchRecords = 1000;        // records per transaction
  std::size_t batchesPerPoll = 20;        // then Poll returns, to stay responsive
  std::chrono::milliseconds pollInterval{2000};
  std::chrono::milliseconds snapshotInterval{10000};
  std::chrono::milliseconds retryFirst{1000};  // after a database failure, doubling
  std::chrono::milliseconds retryMax{30000};
  // Retention: raw rows are kept for this many whole months before the
  // current one (0: for ever); the summaries always.  Applied at the first
  // poll and once a day.
  int keepRawMonths = 0;
  // Records whose outside humidity is at least this are wet (the daily
  // indicators' wet peaks).
  double wetHumidityPct = 85;
  // The site's register of insulators; otherwise insulators.ini in the
  // site folder.
  std::optional<std::filesystem::path> registerFile;
};

struct PollReport {
  std::size_t recordsAdded = 0;
  std::size_t snapshotsAdded = 0;
  bool databaseDown = false;
  bool morePending = false;              // a backlog remains: poll again at once
  std::chrono::milliseconds wait{0};    // until the next poll
};

class Collector {
 public:
  Collector(Database& db, SiteZone zone, CollectorOptions options);

  PollReport Poll(SteadyTime now);

  // The time now, seconds since the epoch (retention's horizon).
  std::function<int64_t()> wallClock;

  // Messages for the operator (state changes, problems), one line each.
  std::function<void(const std::string&)> log = [](const std::string&) {};

  // The data file followed now, as resolved at the last poll.
  const std::optional<std::string>& DataPath() const { return dataPath_; }

 private:
  struct SiteSettings {
    std::optional<std::string> dataPath;
    int channels = 16;
    double shuntOhm = 330;
    // The longest time a record stands for: the data save interval, or,
    // when not known, an hour (the longest there is).
    int64_t recordSeconds = 3600;
    std::optional<int> powerHz;
  };
  SiteSettings ReadSettings() const;
  bool EnsureDatabase();
  // After a failure: the connection closed, the file let go; the next round
  // starts from what the database holds.
  void Reset();
  void FollowData(PollReport& report);
  bool Attach(const std::string& path);
  std::optional<FileReader> FindMovedFile(const FilePosition& stored) const;
  // Reads and stores batches from `reader`; false when a batch limit
  // stopped it before the end.
  bool Drain(FileReader& reader, PollReport& report, std::size_t& batches);
  void CommitPosition(const FilePosition& position);
  void ScanSnapshots(PollReport& report);
  void ApplyRetention();
  // Stores the register file when it changed since it was stored last.
  void SyncRegister();
  void Note(const std::string& key, const std::string& message);
  void Clear(const std::string& key);

  Database& db_;
  SiteZone zone_;
  CollectorOptions options_;
  SiteSettings settings_;
  int64_t siteId_ = 0;
  bool dbReady_ = false;
  std::chrono::milliseconds retry_{0};
  std::optional<std::string> dataPath_;
  std::optional<FileReader> reader_;
  std::optional<int64_t> lastInstant_;  // of the last record stored, for the repeated hour
  std::optional<SteadyTime> nextSnapshotScan_;
  std::optional<SteadyTime> nextRetention_;
  std::optional<int64_t> lastHorizon_;
  std::map<std::string, SnapshotStamp> snapshots_;      // registered
  std::map<std::string, SnapshotStamp> badSnapshots_;   // not a snapshot, as of this stamp
  std::map<std::string, std::string> notes_;             // messages said once, by subject
  std::optional<std::pair<int64_t, uint64_t>> registerStamp_;  // mtime and size stored; (-1, 0): no file
};

}  // namespace varnel::fleet
