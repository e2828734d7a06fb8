// Which insulator to wash, and when: each insulator's stage against its own
// flashover limit, its daily indicators and the forecast of its days to
// danger, for a site and for the whole fleet.
//
// Every insulator has a critical peak current, the peak at which one of its
// kind flashed over in the laboratory: from the site's register
// (insulators.ini, stored by its collector) or the fleet's default.  The
// stages are fractions of it (caution 0.1, warning 0.3, danger 0.6 unless
// configured), and they are alarms like the configured ones, active on
// every site unless switched off: the rule "insulator limit" on the peak
// current, with each insulator's own levels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "condition.h"  // harmonic ratios (fleet/records)
#include "forecast.h"
#include "store.h"

namespace varnel::fleet::web {

struct ConditionSettings {
  bool active = true;
  std::string ruleName = "insulator limit";
  // The default suits the default shunt: 330 ohm measure up to about
  // 15 mA, so the danger stage (0.6) at 12 mA stays within the range.
  double defaultCriticalPeakMa = 20;
  // Per stage of AlarmSettings::stages (mild to severe), a fraction of the
  // critical peak; none: the stage is not used.
  std::vector<std::optional<double>> fractions{0.1, 0.3, 0.6};
  int64_t holdSeconds = 30 * 60;
  // A forecast of fewer days than this to danger is announced.
  double leadDays = 14;
  // The forecast looks back at most this many days.
  int64_t forecastDays = 365;
  ForecastSettings forecast;
};

// An insulator's critical peak and its stage levels in mA.
struct InsulatorLimit {
  double criticalPeakMa = 0;
  bool fromRegister = false;
  AlarmRule::Levels levels;
  // The danger level the forecast aims at: the most severe stage's.
  std::optional<double> DangerMa() const;
};
InsulatorLimit LimitOf(const ConditionSettings& settings, const InsulatorRow* entry);

// The configured rules and, when active, the rule of the insulators' own
// limits on every channel of every site (unless a configured rule has
// its name).
AlarmSettings WithInsulatorLimits(const AlarmSettings& configured, const ConditionSettings& settings,
                                  const std::vector<SiteRow>& sites, const std::vector<InsulatorRow>& insulators);

// The register entry of a site's channel; nullptr when it has none.
const InsulatorRow* FindInsulator(const std::vector<InsulatorRow>& insulators, int64_t site, int channel);

struct InsulatorCondition {
  SiteRow site;
  int channel = 0;
  std::string name;  // from the register; empty: none given
  std::string type;
  InsulatorLimit limit;
  // The stage now under the insulator's own limits (-1: none), with the
  // peak that holds it.
  int stage = -1;
  std::optional<TimedValue> stageValue;
  std::optional<int64_t> lastWashing;  // the last washing or replacement
  std::optional<MaintenanceRow> lastEvent;
  std::optional<DailyIndicatorRow> latestDay;  // the newest day with records
  std::optional<WetDay> latestWetDay;
  Forecast forecast;
  bool forecastWithinLead = false;  // rising, and danger sooner than the lead time
  std::optional<HarmonicRatios> ratios;  // of the newest scheduled snapshot
  std::optional<int64_t> ratiosTime;
};

// Everything the assessment reads for one site, so that the fleet page
// reads the register and the maintenance log once for all sites.
struct ConditionInputs {
  const ConditionSettings* settings = nullptr;
  const AlarmSettings* alarms = nullptr;  // WithInsulatorLimits
  const std::vector<InsulatorRow>* insulators = nullptr;
  const std::vector<MaintenanceRow>* maintenance = nullptr;
};

// The insulators of a site's channels (those of its newest record) as of
// its newest record at `latest` (seconds since the epoch); the forecast
// counts the days from that record's day.
std::vector<InsulatorCondition> AssessSite(FleetStore& store, const ConditionInputs& in, const SiteRow& site,
                                           const LatestRecord& latest);
// The same for every site that has records, the newest records and the
// stages of all sites read at once (not unranked: see RankForWashing).
std::vector<InsulatorCondition> AssessFleet(FleetStore& store, const ConditionInputs& in,
                                            const std::vector<SiteRow>& sites);

// Every insulator of the fleet, the first to wash first: by stage (most
// severe first), then by days to danger (soonest first; an insulator at
// danger counts 0, one not rising after every rising one), then by its
// last washing (longest ago first, never washed before all).
std::vector<InsulatorCondition> RankForWashing(std::vector<InsulatorCondition> all);

// The day number (days since 1970-01-01) of an instant in the site's
// calendar.
int64_t LocalDay(int64_t epochSeconds, const std::string& timeZone);

}  // namespace varnel::fleet::web
