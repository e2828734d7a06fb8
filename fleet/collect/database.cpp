#include "database.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace varnel::fleet {

std::string IsoLocalText(const Instant& t) {
  const std::time_t local = static_cast<std::time_t>(t.epochSeconds + t.offsetSeconds);
  std::tm tm{};
  gmtime_r(&local, &tm);
  const int offset = std::abs(t.offsetSeconds) / 60;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, t.offsetSeconds < 0 ? '-' : '+', offset / 60,
                offset % 60);
  return buf;
}

std::string BeforeHorizonNote(const std::string& path, std::size_t records) {
  return std::to_string(records) + " records of " + path +
         " are older than the raw rows the database keeps; not stored (the site's file still holds them)";
}

int64_t MonthStartBefore(int64_t epoch, int months) {
  const std::time_t t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  gmtime_r(&t, &tm);
  const int index = (tm.tm_year + 1900) * 12 + tm.tm_mon - months;
  std::tm start{};
  start.tm_year = index / 12 - 1900;
  start.tm_mon = index % 12;
  start.tm_mday = 1;
  return static_cast<int64_t>(timegm(&start));
}

const char* MaintenanceKindName(MaintenanceKind kind) {
  switch (kind) {
    case MaintenanceKind::kWashing: return "washing";
    case MaintenanceKind::kInspection: return "inspection";
    case MaintenanceKind::kReplacement: return "replacement";
  }
  return "washing";
}

std::optional<MaintenanceKind> ParseMaintenanceKind(const std::string& name) {
  for (MaintenanceKind k : {MaintenanceKind::kWashing, MaintenanceKind::kInspection, MaintenanceKind::kReplacement})
    if (name == MaintenanceKindName(k)) return k;
  return std::nullopt;
}

bool IsPostgresConnection(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
         location.find('=') != std::string::npos;
}

std::unique_ptr<Database> MakeDatabase(const std::string& location) {
  return IsPostgresConnection(location) ? MakePostgresDatabase(location) : MakeSqliteDatabase(location);
}

}  // namespace varnel::fleet
