// Table and column names shared by the two engines, and the SQL that makes
// the tables.  The README documents the schema for people writing queries.
#pragma once

#include <array>
#include <string>

namespace varnel::fleet::schema {

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
