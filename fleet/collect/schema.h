// Table and column names shared by the two engines, the schema version
// both programs are built for, and the numbered steps that take a database
// there.  The README documents the schema for people writing queries.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::fleet::schema {

// The version of the tables this release writes and reads: the number of
// the last step of each engine's list (sqlite_database.cpp,
// postgres_database.cpp).  A release that changes the tables adds one step
// to each list and raises this number; varnel-web, built from the same
// tree, reads databases of exactly this version.
inline constexpr int kSchemaVersion = 3;

// One step of an engine's schema: its SQL takes a database of version
// `number - 1` to version `number`, inside the collector's transaction.
struct SchemaStep {
  int number;
  std::string description;  // one line, kept in `schema_version`
  std::string sql;
};

// The steps of `steps` that a database of version `stored` still needs, in
// order.  Throws SchemaVersionError (database.h) when `stored` is above
// kSchemaVersion: this varnel-collect must not write to it.  `where`
// describes the database for the message.
std::vector<const SchemaStep*> PendingSteps(const std::vector<SchemaStep>& steps, int stored, std::string_view where);

// Throws SchemaVersionError unless a database of version `stored` is one
// varnel-web reads: newer ("upgrade varnel-web") or older ("run the new
// varnel-collect once to upgrade it").
void CheckReadable(int stored, std::string_view where);

// Weather columns of `records`, in the order of the record's elements 0..7.
inline constexpr std::array<const char*, 8> kWeatherColumns{
    "wind_speed",         "wind_direction",  "outside_temperature", "outside_humidity",
    "inside_temperature", "inside_humidity", "rain",                "max_wind_speed"};
// Columns of `channel_records` after (site_id, channel, time), in the order
// of a channel's six components and then its nine peak values.
inline constexpr std::array<const char*, 15> kChannelColumns{
    "fhc",        "f1c",        "flc",        "dcc",        "allc",
    "rms",        "peak",       "time_pct_1", "time_pct_2", "time_pct_3",
    "time_pct_4", "half_cycle_pct_1", "half_cycle_pct_2", "half_cycle_pct_3", "half_cycle_pct_4"};
inline constexpr std::array<const char*, 4> kThresholdColumns{"threshold_1", "threshold_2", "threshold_3",
                                                              "threshold_4"};

// Summaries, kept with the rows they summarise (in the same transaction):
// `summary_hours` per UTC hour (`hour`, its start) and `summary_days` per
// calendar day of the site's zone (`day`), one row per site, quantity,
// channel and period that has a value.  `quantity` is a column name of
// kChannelColumns (channels 1..16) or of kWeatherColumns (channel 0, the
// weather).  Each row holds the number of values, the smallest and the
// largest with the time of each (the earliest on a tie) and their sum:
// the extremes of any run of periods and its exact mean follow from them.
inline constexpr const char* kSummaryHours = "summary_hours";
inline constexpr const char* kSummaryDays = "summary_days";
inline constexpr const char* kSummaryValues = "n, min_value, min_time, max_value, max_time, sum_value";

// Condition of the insulators (indicators.h): `daily_indicators` per
// site, channel and local day; `insulators`, each site's register as its
// collector last read it; `maintenance`, the washings, inspections and
// replacements entered; and the harmonics of every snapshot channel in
// `snapshots.harmonics_ma` (I1, I3, I5, I7 in mA, channel after channel).
inline constexpr const char* kDailyIndicators = "daily_indicators";
inline constexpr const char* kIndicatorValues = "n, wet_n, peak_max, wet_peak_max, wet_peak_time, charge_mc, dew_depression_min";
// The upsert clause that merges a day's new cell into the stored one, as
// IndicatorCell::Merge does.  Both engines' syntax.
std::string IndicatorMergeSql();

// The upsert clause that merges a new row of `table`'s key into the stored
// one: counts and sums add, an extreme is replaced by a more extreme one or
// by an equal one of an earlier time.  Both engines' syntax.
std::string SummaryMergeSql(const std::string& table, const std::string& periodColumn);

// "a, b, c" of the given columns, each with an optional prefix.
template <std::size_t N>
std::string Join(const std::array<const char*, N>& columns, const std::string& prefix = "") {
  std::string out;
  for (const char* c : columns) {
    if (!out.empty()) out += ", ";
    out += prefix + c;
  }
  return out;
}

// Column definitions "a REAL, b REAL".
template <std::size_t N>
std::string Defs(const std::array<const char*, N>& columns, const char* type) {
  std::string out;
  for (const char* c : columns) {
    if (!out.empty()) out += ", ";
    out += std::string(c) + " " + type;
  }
  return out;
}

}  // namespace varnel::fleet::schema
