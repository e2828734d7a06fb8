#include "schema.h"

#include <stdexcept>

#include "database.h"

namespace varnel::fleet::schema {

namespace {

std::string Has(int stored) {
  return "the database has schema version " + std::to_string(stored) +
         (stored == 0 ? " (it was made before schema versions)" : "");
}

std::string Prefix(std::string_view where) { return std::string(where) + ": "; }

}  // namespace

std::vector<const SchemaStep*> PendingSteps(const std::vector<SchemaStep>& steps, int stored, std::string_view where) {
  // The list is this release's own: numbered 1, 2, ... up to the version
  // both programs are built for, or the build is wrong.
  for (std::size_t i = 0; i < steps.size(); ++i)
    if (steps[i].number != static_cast<int>(i) + 1) throw std::logic_error("schema steps out of order");
  if (steps.empty() || steps.back().number != kSchemaVersion)
    throw std::logic_error("the schema steps do not end at version " + std::to_string(kSchemaVersion));
  if (stored > kSchemaVersion)
    throw SchemaVersionError(Prefix(where) + Has(stored) + "; this varnel-collect knows up to " +
                                 std::to_string(kSchemaVersion) + ": upgrade varnel-collect",
                             true);
  std::vector<const SchemaStep*> out;
  for (const SchemaStep& s : steps)
    if (s.number > stored) out.push_back(&s);
  return out;
}

std::string SummaryMergeSql(const std::string& table, const std::string& periodColumn) {
  const std::string t = table + ".";
  const std::string lower = "(excluded.min_value < " + t + "min_value OR (excluded.min_value = " + t +
                            "min_value AND excluded.min_time < " + t + "min_time))";
  const std::string higher = "(excluded.max_value > " + t + "max_value OR (excluded.max_value = " + t +
                             "max_value AND excluded.max_time < " + t + "max_time))";
  auto pick = [&](const std::string& cond, const std::string& col) {
    return col + " = CASE WHEN " + cond + " THEN excluded." + col + " ELSE " + t + col + " END";
  };
  return " ON CONFLICT (site_id, quantity, channel, " + periodColumn + ") DO UPDATE SET n = " + t +
         "n + excluded.n, " + pick(lower, "min_value") + ", " + pick(lower, "min_time") + ", " +
         pick(higher, "max_value") + ", " + pick(higher, "max_time") + ", sum_value = " + t +
         "sum_value + excluded.sum_value";
}

std::string IndicatorMergeSql() {
  const std::string t = "daily_indicators.";
  auto larger = [&](const std::string& col) {
    return col + " = CASE WHEN " + t + col + " IS NULL OR excluded." + col + " > " + t + col + " THEN excluded." +
           col + " ELSE " + t + col + " END";
  };
  const std::string wetHigher = "(" + t + "wet_peak_max IS NULL OR excluded.wet_peak_max > " + t +
                                "wet_peak_max OR (excluded.wet_peak_max = " + t + "wet_peak_max AND excluded.wet_peak_time < " +
                                t + "wet_peak_time))";
  return " ON CONFLICT (site_id, channel, day) DO UPDATE SET n = " + t + "n + excluded.n, wet_n = " + t +
         "wet_n + excluded.wet_n, " + larger("peak_max") + ", wet_peak_time = CASE WHEN excluded.wet_peak_max IS NOT NULL AND " +
         wetHigher + " THEN excluded.wet_peak_time ELSE " + t + "wet_peak_time END, wet_peak_max = CASE WHEN " +
         "excluded.wet_peak_max IS NOT NULL AND " + wetHigher + " THEN excluded.wet_peak_max ELSE " + t +
         "wet_peak_max END, charge_mc = " + t + "charge_mc + excluded.charge_mc, dew_depression_min = CASE WHEN " + t +
         "dew_depression_min IS NULL OR excluded.dew_depression_min < " + t +
         "dew_depression_min THEN excluded.dew_depression_min ELSE " + t + "dew_depression_min END";
}

void CheckReadable(int stored, std::string_view where) {
  if (stored > kSchemaVersion)
    throw SchemaVersionError(Prefix(where) + Has(stored) + "; this varnel-web knows up to " +
                                 std::to_string(kSchemaVersion) + ": upgrade varnel-web",
                             true);
  if (stored < kSchemaVersion)
    throw SchemaVersionError(Prefix(where) + Has(stored) + "; this varnel-web reads version " +
                                 std::to_string(kSchemaVersion) + ": run the new varnel-collect once to upgrade it",
                             false);
}

}  // namespace varnel::fleet::schema
