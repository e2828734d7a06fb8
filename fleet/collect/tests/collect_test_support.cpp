#include "collect_test_support.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "database.h"
#include "schema.h"
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

namespace {

// A summary as the test works it out: extremes at their earliest times.
struct Expected {
  long long n = 0;
  float min = 0, max = 0;
  long long minTime = 0, maxTime = 0;
  double sum = 0;
  void Add(float v, long long t) {
    if (n == 0 || v < min || (v == min && t < minTime)) min = v, minTime = t;
    if (n == 0 || v > max || (v == max && t < maxTime)) max = v, maxTime = t;
    sum += v;
    ++n;
  }
};

// Key: site, quantity, channel, period (hour start or local day).
using SummaryKey = std::tuple<std::string, std::string, std::string, std::string>;

std::string Mismatch(const SummaryKey& k, const std::string& what) {
  return std::get<1>(k) + " of channel " + std::get<2>(k) + " at " + std::get<3>(k) + " (site " + std::get<0>(k) +
         "): " + what + "\n";
}

// Raw values: site, channel, epoch, local day, then the columns.
template <std::size_t N>
std::string RawQuery(bool postgres, const std::array<const char*, N>& columns, bool weather) {
  const std::string table = weather ? "records" : "channel_records";
  std::string sql = "SELECT c.site_id, " + std::string(weather ? "0" : "c.channel") + ", ";
  sql += postgres ? "extract(epoch from c.time)::bigint, to_char(c.time AT TIME ZONE s.time_zone, 'YYYY-MM-DD')"
                  : "c.time, substr(r.local_time, 1, 10)";
  for (const char* col : columns) sql += std::string(", c.") + col + (postgres ? "::float8" : "");
  sql += " FROM " + table + " c ";
  sql += postgres ? "JOIN sites s ON s.site_id = c.site_id"
                  : "JOIN records r ON r.site_id = c.site_id AND r.time = c.time";
  return sql;
}

float AsFloat(const std::string& text) {
  if (text == "NaN") return std::nanf("");
  return static_cast<float>(std::stod(text));
}

// A day of a channel's indicators as the test works it out from the raw
// rows (wet: outside humidity of 85 % or more, the collector's default).
struct ExpectedDay {
  long long n = 0, wetN = 0;
  std::optional<float> peakMax, wetPeakMax;
  void Add(const std::string& peak, const std::string& humidity) {
    ++n;
    const bool wet = !humidity.empty() && humidity != "NaN" && AsFloat(humidity) >= 85;
    if (peak.empty() || peak == "NaN") return;
    const float v = AsFloat(peak);
    if (!peakMax || v > *peakMax) peakMax = v;
    if (!wet) return;
    ++wetN;
    if (!wetPeakMax || v > *wetPeakMax) wetPeakMax = v;
  }
};

std::string Text(const std::optional<float>& v) { return v ? std::to_string(*v) : "none"; }

// The channels' daily counts and highest peaks, all and wet, against
// `daily_indicators`: a record counted twice or left out shows in them.
std::string IndicatorMismatches(const std::string& database, bool pg) {
  std::map<std::tuple<std::string, std::string, std::string>, ExpectedDay> expected;
  const std::string raw =
      pg ? "SELECT c.site_id, c.channel, to_char(c.time AT TIME ZONE s.time_zone, 'YYYY-MM-DD'), c.peak::float8, "
           "r.outside_humidity::float8 FROM channel_records c JOIN records r ON r.site_id = c.site_id AND r.time = c.time "
           "JOIN sites s ON s.site_id = c.site_id"
         : "SELECT c.site_id, c.channel, substr(r.local_time, 1, 10), c.peak, r.outside_humidity FROM channel_records c "
           "JOIN records r ON r.site_id = c.site_id AND r.time = c.time";
  for (const auto& row : DatabaseRows(database, raw)) expected[{row[0], row[1], row[2]}].Add(row[3], row[4]);
  std::string out;
  const std::string stored = std::string("SELECT site_id, channel, ") +
                             (pg ? "day::text, n, wet_n, peak_max::float8, wet_peak_max::float8"
                                 : "day, n, wet_n, peak_max, wet_peak_max") +
                             " FROM daily_indicators WHERE channel > 0";
  auto number = [](const std::string& t) { return t.empty() ? std::optional<float>() : std::optional(AsFloat(t)); };
  for (const auto& row : DatabaseRows(database, stored)) {
    const auto it = expected.find({row[0], row[1], row[2]});
    const std::string where = "indicators of channel " + row[1] + " on " + row[2] + " (site " + row[0] + "): ";
    if (it == expected.end()) {
      out += where + "a row the raw rows do not give\n";
      continue;
    }
    const ExpectedDay& x = it->second;
    if (std::stoll(row[3]) != x.n || std::stoll(row[4]) != x.wetN)
      out += where + "n " + row[3] + " wet " + row[4] + ", rows give " + std::to_string(x.n) + " and " +
             std::to_string(x.wetN) + "\n";
    if (number(row[5]) != x.peakMax || number(row[6]) != x.wetPeakMax)
      out += where + "peaks " + row[5] + " / " + row[6] + ", rows give " + Text(x.peakMax) + " / " + Text(x.wetPeakMax) + "\n";
    expected.erase(it);
  }
  for (const auto& [key, x] : expected)
    out += "indicators of channel " + std::get<1>(key) + " on " + std::get<2>(key) + " lack a row of " +
           std::to_string(x.n) + " records\n";
  return out;
}

}  // namespace

std::string SummaryMismatches(const std::string& database) {
  const bool pg = IsPostgresConnection(database);
  std::map<SummaryKey, Expected> hours, days;
  auto addRows = [&](const std::string& sql, const auto& columns) {
    for (const auto& row : DatabaseRows(database, sql)) {
      const long long t = std::stoll(row[2]);
      const std::string hour = std::to_string((t >= 0 ? t : t - 3599) / 3600 * 3600);
      for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::string& text = row[4 + k];
        if (text.empty() || text == "NaN") continue;
        const float v = AsFloat(text);
        hours[{row[0], columns[k], row[1], hour}].Add(v, t);
        days[{row[0], columns[k], row[1], row[3]}].Add(v, t);
      }
    }
  };
  addRows(RawQuery(pg, schema::kChannelColumns, false), schema::kChannelColumns);
  addRows(RawQuery(pg, schema::kWeatherColumns, true), schema::kWeatherColumns);

  std::string out;
  auto compare = [&](const std::string& table, const std::string& period, std::map<SummaryKey, Expected>& expected) {
    const std::string epoch = pg ? "extract(epoch from %s)::bigint" : "%s";
    auto e = [&](const std::string& col) {
      std::string s = epoch;
      return s.replace(s.find("%s"), 2, col);
    };
    const std::string sql = "SELECT site_id, quantity, channel, " + (period == "hour" ? e("hour") : pg ? "day::text" : "day") +
                            ", n, min_value, " + e("min_time") + ", max_value, " + e("max_time") + ", sum_value FROM " +
                            table;
    for (const auto& row : DatabaseRows(database, sql)) {
      const SummaryKey key{row[0], row[1], row[2], row[3]};
      const auto it = expected.find(key);
      if (it == expected.end()) {
        out += Mismatch(key, table + " has a row the raw rows do not give");
        continue;
      }
      const Expected& x = it->second;
      if (std::stoll(row[4]) != x.n) out += Mismatch(key, table + " n " + row[4] + ", rows give " + std::to_string(x.n));
      if (AsFloat(row[5]) != x.min || std::stoll(row[6]) != x.minTime)
        out += Mismatch(key, table + " min " + row[5] + " at " + row[6] + ", rows give " + std::to_string(x.min) +
                                 " at " + std::to_string(x.minTime));
      if (AsFloat(row[7]) != x.max || std::stoll(row[8]) != x.maxTime)
        out += Mismatch(key, table + " max " + row[7] + " at " + row[8] + ", rows give " + std::to_string(x.max) +
                                 " at " + std::to_string(x.maxTime));
      const double sum = std::stod(row[9]);
      if (std::abs(sum - x.sum) > 1e-6 * std::max(1.0, std::abs(x.sum)))
        out += Mismatch(key, table + " sum " + row[9] + ", rows give " + std::to_string(x.sum));
      expected.erase(it);
      if (out.size() > 2000) return;
    }
    for (const auto& [key, x] : expected) out += Mismatch(key, table + " lacks a row of " + std::to_string(x.n) + " values");
  };
  compare("summary_hours", "hour", hours);
  compare("summary_days", "day", days);
  out += IndicatorMismatches(database, pg);
  return out.substr(0, 4000);
}

std::string TestDataFile(const std::string& name) { return std::string(VARNEL_COLLECT_TEST_DATA) + "/" + name; }

std::string SqliteValue(const std::string& dbPath, const std::string& sql) {
  const auto rows = SqliteRows(dbPath, sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

}  // namespace varnel::fleet::testing
