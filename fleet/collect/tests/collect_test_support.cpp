#include "collect_test_support.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fstream>
#include <stdexcept>

#include "database.h"
#include "settings/setdt.h"
#include "text/numforms.h"

namespace varnel::fleet::testing {

text::LocalDateTime RecordTime(int r) {
  const double first = text::ToOleDate({2005, 6, 1, 12, 0, 0, 0});
  return text::FromOleDate(first + r / 1440.0);
}

SyntheticSite::SyntheticSite(bool binary, int channels, std::string dataName)
    : temp_("lw-fleet"), binary_(binary), channels_(channels) {
  dir_ = temp_.Path().string();
  if (dataName.empty()) dataName = binary ? "気象・電流data.bdt" : "気象・電流data.csv";
  dataPath_ = dir_ + "/" + dataName;
  MeasureSettings s;
  s.dataInterval = 1;
  s.waveInterval = 1;
  s.groupCount = static_cast<int16_t>(channels / 4);
  s.shuntOhm = 330;
  s.dataPath = dataPath_;
  s.peakThresholds = {0.5f, 1, 2, 5, 10};
  s.binaryFormat = binary ? 1 : 0;
  const auto bytes = EncodeSettings(s);
  std::ofstream(dir_ + "/" + kSettingsFileName, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
}

void SyntheticSite::StartRun() {
  std::string why;
  if (!file_.OpenForRun(dataPath_, binary_, channels_ / 4, store::DesignThresholdTexts(), &why))
    throw std::runtime_error(why);
}

bool SyntheticSite::Append(int r) {
  std::string why;
  if (binary_) {
    store::BinaryRecord b;
    b.oleTime = text::ToOleDate(RecordTime(r));
    b.values = RecordValuesOf(r, channels_);
    return file_.AppendBinaryRecord(store::EncodeBinaryRecord(b), &why);
  }
  return file_.AppendTextLine(
      store::DataRecordLine(RecordTime(r), RecordValuesOf(r, channels_), channels_) + std::string(store::kLineEnd),
      &why);
}

void SyntheticSite::AppendBacklog(int from, int to) {
  std::string bytes;
  for (int r = from; r < to; ++r) {
    store::BinaryRecord b;
    b.oleTime = text::ToOleDate(RecordTime(r));
    b.values = RecordValuesOf(r, channels_);
    bytes += store::EncodeBinaryRecord(b);
  }
  AppendRaw(bytes);
}

void SyntheticSite::Reopen() {
  std::string why;
  file_.Reopen(dataPath_, &why);
}

void SyntheticSite::StopRun() { file_.Close(); }

void SyntheticSite::AppendRaw(const std::string& bytes) {
  std::ofstream(dataPath_, std::ios::binary | std::ios::app) << bytes;
}

namespace {

std::vector<std::vector<std::string>> SqliteRun(const std::string& dbPath, const std::string& sql, int flags) {
  sqlite3* db = nullptr;
  std::vector<std::vector<std::string>> rows;
  if (sqlite3_open_v2(dbPath.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + dbPath);
  }
  sqlite3_busy_timeout(db, 10000);
  char* err = nullptr;
  const int rc = sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int n, char** values, char**) {
        auto& r = *static_cast<std::vector<std::vector<std::string>>*>(out);
        r.emplace_back();
        for (int i = 0; i < n; ++i) r.back().emplace_back(values[i] ? values[i] : "");
        return 0;
      },
      &rows, &err);
  const std::string why = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("SQLite: " + why + " in " + sql);
  return rows;
}

std::vector<std::vector<std::string>> PostgresRun(const std::string& connection, const std::string& sql) {
  PGconn* conn = PQconnectdb(connection.c_str());
  PGresult* r = PQstatus(conn) == CONNECTION_OK ? PQexec(conn, sql.c_str()) : nullptr;
  const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; status == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
    rows.emplace_back();
    for (int j = 0; j < PQnfields(r); ++j) rows.back().emplace_back(PQgetvalue(r, i, j));
  }
  const std::string why = r ? PQresultErrorMessage(r) : PQerrorMessage(conn);
  PQclear(r);
  PQfinish(conn);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
    throw std::runtime_error("PostgreSQL: " + why + " in " + sql.substr(0, 200));
  return rows;
}

}  // namespace

std::vector<std::vector<std::string>> SqliteRows(const std::string& dbPath, const std::string& sql) {
  return SqliteRun(dbPath, sql, SQLITE_OPEN_READONLY);
}

std::vector<std::vector<std::string>> DatabaseRows(const std::string& database, const std::string& sql) {
  return IsPostgresConnection(database) ? PostgresRun(database, sql) : SqliteRows(database, sql);
}

void DatabaseExec(const std::string& database, const std::string& sql) {
  if (IsPostgresConnection(database))
    PostgresRun(database, sql);
  else
    SqliteRun(database, sql, SQLITE_OPEN_READWRITE);
}

void StampSchemaVersion(const std::string& database, int version) {
  const std::string n = std::to_string(version);
  DatabaseExec(database, "INSERT INTO schema_version (version, description) VALUES (" + n + ", 'a later release')");
  if (!IsPostgresConnection(database)) DatabaseExec(database, "PRAGMA user_version = " + n);
}

std::string TestDataFile(const std::string& name) { return std::string(VARNEL_COLLECT_TEST_DATA) + "/" + name; }

std::string SqliteValue(const std::string& dbPath, const std::string& sql) {
  const auto rows = SqliteRows(dbPath, sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

}  // namespace varnel::fleet::testing
