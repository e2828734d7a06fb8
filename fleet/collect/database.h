// The database behind varnel-collect: one interface, two engines.
//
//   SQLite      a file (by default records.sqlite in the site folder);
//               nothing to install or start.
//   PostgreSQL  a server shared by many sites, named by a connection string
//               ("postgresql://collector@db.example/fleet" or
//               "host=... dbname=..."); tables partitioned by month.
//
// Every write is one Commit of a Batch: the rows of some records, the
// snapshots registered, and the collector's new position in the file they
// came from, in one transaction.  Either all of it lands or none of it, so a
// record is stored exactly once whatever fails in between: after a failure
// the collector reloads its position from the database and reads again from
// there.  Rows are keyed by (site, record time); a row whose key is already
// there is left as it is (an import of a file collected before adds nothing).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "data_records.h"
#include "snapshots.h"

namespace varnel::fleet {

// A failure of the database: unreachable, refused, or a statement failed.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A database whose schema version is not the one this program is built
// for (schema.h): newer (made by a later varnel-collect) or, for
// varnel-web, older (its collector not yet upgraded).  Waiting does not
// cure it; an upgrade does.
class SchemaVersionError : public DbError {
 public:
  SchemaVersionError(const std::string& message, bool databaseIsNewer)
      : DbError(message), databaseIsNewer_(databaseIsNewer) {}
  bool DatabaseIsNewer() const { return databaseIsNewer_; }

 private:
  bool databaseIsNewer_;
};

// A point in time as the database keeps it: seconds since the epoch, with
// the site's UTC offset at that time (for the local time text).
struct Instant {
  int64_t epochSeconds = 0;
  int offsetSeconds = 0;
  friend bool operator==(const Instant&, const Instant&) = default;
};

// "2005-06-01 15:30:00+09:00"
std::string IsoLocalText(const Instant& t);

// The start of the UTC month `months` months before the one that holds
// `epoch` (seconds since the epoch).
int64_t MonthStartBefore(int64_t epoch, int months);

// Where the collector stands in one file: the bytes before `offset` are
// stored.  The file is recognised again by its identity (device and inode,
// which a rename keeps) and by hashes of its first bytes and of the bytes
// just before the offset (which a replacement or rewrite changes).
struct FilePosition {
  std::string path;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t headHash = 0;
  uint64_t tailHash = 0;
  uint64_t offset = 0;
  std::string header;  // text form: the header line in force at offset
  friend bool operator==(const FilePosition&, const FilePosition&) = default;
};

struct StoredRecord {
  DataRecord record;
  Instant time;
};

struct StoredSnapshot {
  std::string name;
  SnapshotName parsed;
  Instant time;
  int channels = 0;
  std::vector<int> peakCounts;
  std::vector<double> peaksMa;
  uint64_t fileSize = 0;
  int64_t fileMtimeNs = 0;
  std::optional<std::string> bytes;  // the file itself, when stored
  // I1, I3, I5, I7 of each channel in mA (condition.h); empty when the
  // power frequency is unknown.
  std::vector<double> harmonicsMa;
};

// One insulator of a site's register: what hangs on a channel and the peak
// current at which it flashed over in the laboratory.
struct InsulatorEntry {
  int channel = 0;  // 1..16
  std::string name;
  std::string type;
  std::optional<double> criticalPeakMa;  // nullopt: the fleet's default
  friend bool operator==(const InsulatorEntry&, const InsulatorEntry&) = default;
};

// Work done on a site's insulators: a washing or a replacement resets the
// surface, an inspection only notes what was seen.
enum class MaintenanceKind { kWashing, kInspection, kReplacement };
const char* MaintenanceKindName(MaintenanceKind kind);  // "washing", "inspection", "replacement"
std::optional<MaintenanceKind> ParseMaintenanceKind(const std::string& name);

struct MaintenanceEvent {
  int channel = 0;  // 1..16; 0: every insulator of the site
  Instant time;
  MaintenanceKind kind = MaintenanceKind::kWashing;
  std::string note;
};

// A file as the collector last registered it, to notice replacements.
struct SnapshotStamp {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  friend bool operator==(const SnapshotStamp&, const SnapshotStamp&) = default;
};

struct Batch {
  std::string stream;                   // the position's key: "data", "import:<path>"
  std::optional<FilePosition> position;  // written with the rows
  std::vector<StoredRecord> records;
  std::vector<StoredSnapshot> snapshots;
  // How the batch's records count in the daily indicators (indicators.h).
  double wetHumidityPct = 85;
  int64_t recordSeconds = 60;
  // The site's register as its file reads now: replaces the stored one.
  std::optional<std::vector<InsulatorEntry>> insulators;
};

struct CommitResult {
  std::size_t recordsAdded = 0;    // new record rows (duplicates left out)
  std::size_t snapshotsAdded = 0;  // new or replaced snapshot rows
  // Records older than the raw-row horizon (DropRawBefore): not stored,
  // since their rows were dropped and their summaries are kept already.
  std::size_t recordsBeforeHorizon = 0;
};

// The operator's line for records of `path` left out before the horizon.
std::string BeforeHorizonNote(const std::string& path, std::size_t records);

class Database {
 public:
  virtual ~Database() = default;
  // "SQLite /path/records.sqlite" or "PostgreSQL host=... dbname=..."
  // (without a password).
  virtual std::string Describe() const = 0;
  // Connects (again) and brings the tables to this release's schema
  // version, applying the steps the database lacks in one transaction;
  // throws SchemaVersionError for a database of a later release.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The site's id, registering the site (with its time zone) when new.
  virtual int64_t RegisterSite(const std::string& name, const std::string& timeZone) = 0;
  virtual std::optional<FilePosition> LoadPosition(int64_t site, const std::string& stream) = 0;
  virtual std::map<std::string, SnapshotStamp> LoadSnapshotStamps(int64_t site) = 0;
  // One transaction; throws DbError and then nothing of the batch is stored
  // (or, when the connection broke during the commit, possibly all of it:
  // the position tells).
  virtual CommitResult Commit(int64_t site, const Batch& batch) = 0;
  // Retention: drops the raw rows (`records`, `channel_records`) of every
  // site before `horizon` (seconds since the epoch; PostgreSQL drops whole
  // monthly partitions, so give a month's start) and keeps the summaries.
  // The horizon only moves forward, and later commits store nothing before
  // it, so that a record offered again cannot be counted twice in the
  // summaries.  Returns the horizon now in force.
  virtual int64_t DropRawBefore(int64_t horizon) = 0;
  // Enters a maintenance event; false when the same event (site, channel,
  // time and kind) is there already, which is then left as it is.
  virtual bool AddEvent(int64_t site, const MaintenanceEvent& event) = 0;
};

// A connection string of PostgreSQL ("postgresql://...", "postgres://...",
// or key=value pairs such as "host=/run/postgresql dbname=fleet").
bool IsPostgresConnection(const std::string& location);
// The engine for `location`: PostgreSQL for a connection string, else an SQLite
// file of that path.  Not yet opened.
std::unique_ptr<Database> MakeDatabase(const std::string& location);
std::unique_ptr<Database> MakeSqliteDatabase(const std::string& path);
std::unique_ptr<Database> MakePostgresDatabase(const std::string& connection);

}  // namespace varnel::fleet
