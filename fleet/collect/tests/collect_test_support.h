// Synthetic sites for the collector's tests: SETDT.DAT and a data file
// written by the measurement program's own writer, records with values
// that tell them apart, and the SQLite file read back.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "postgres_server.h"
#include "record_values.h"
#include "store/data_file.h"
#include "store/record_format.h"
#include "text/numforms.h"

namespace varnel::fleet::testing {

// Record r's time: 2005-06-01 12:00 plus r minutes (site local time).
text::LocalDateTime RecordTime(int r);

class SyntheticSite {
 public:
  SyntheticSite(bool binary, int channels, std::string dataName = "");
  const std::string& Dir() const { return dir_; }
  const std::string& DataPath() const { return dataPath_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

  // The writer's run: opens the data file (text: writes the header).
  void StartRun();
  // Appends record r through the writer (false: the write failed).
  bool Append(int r);
  // Appends records [from, to) at once, encoded as the writer encodes them
  // (binary form; a backlog that a stopped collector finds).
  void AppendBacklog(int from, int to);
  // The half-hourly close and reopen.
  void Reopen();
  void StopRun();
  // Raw bytes at the end of the data file (a torn record).
  void AppendRaw(const std::string& bytes);

 private:
  lw::testing::TempDir temp_;
  std::string dir_;
  std::string dataPath_;
  bool binary_;
  int channels_;
  store::DataFile file_;
};

// Rows of an SQLite query as texts (NULL as "").
std::vector<std::vector<std::string>> SqliteRows(const std::string& dbPath, const std::string& sql);
std::string SqliteValue(const std::string& dbPath, const std::string& sql);

// The same of either engine: an SQLite file, or a PostgreSQL connection
// string (as varnel-collect tells them apart); throws std::runtime_error.
std::vector<std::vector<std::string>> DatabaseRows(const std::string& database, const std::string& sql);
// Runs statements that change the database (several, separated by ";").
void DatabaseExec(const std::string& database, const std::string& sql);
// Marks the database as upgraded to `version` by a later release.
void StampSchemaVersion(const std::string& database, int version);

// Works out every hourly and daily summary again from the raw rows of the
// database (either engine) and compares them with the stored ones: ""
// when they agree (counts, extremes and their times exactly, sums to
// rounding), else the first differences.  The channels' daily indicators
// too: their counts of records and of wet ones and their highest peaks.
std::string SummaryMismatches(const std::string& database);

// A file of fleet/collect/tests/data (see the README there).
std::string TestDataFile(const std::string& name);

}  // namespace varnel::fleet::testing
