#include "assessment.h"

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <tuple>

namespace varnel::fleet::web {

namespace {

constexpr int64_t kDaySeconds = 86400;
constexpr int64_t kJulianDayOfEpoch = 2440588;  // 1970-01-01

bool ResetsSurface(const std::string& kind) { return kind == "washing" || kind == "replacement"; }

bool Concerns(const MaintenanceRow& e, int64_t site, int channel) {
  return e.site == site && (e.channel == 0 || e.channel == channel);
}

// The newest scheduled snapshot's ratios of each channel (its time; -1:
// none in the week before `latest`).
std::vector<std::pair<int64_t, HarmonicRatios>> LatestRatios(FleetStore& store, int64_t site, int64_t latest,
                                                             int channels) {
  std::vector<std::pair<int64_t, HarmonicRatios>> out(static_cast<std::size_t>(channels), {0, {}});
  std::vector<bool> found(static_cast<std::size_t>(channels), false);
  const auto snapshots = store.ScheduledSnapshots(site, {latest - 7 * kDaySeconds, latest + 1});
  for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
    for (int ch = 0; ch < channels && ch < it->channels; ++ch) {
      const std::size_t at = static_cast<std::size_t>(ch) * 4;
      if (found[static_cast<std::size_t>(ch)] || it->harmonicsMa.size() < at + 4) continue;
      HarmonicAmplitudes a{it->harmonicsMa[at], it->harmonicsMa[at + 1], it->harmonicsMa[at + 2],
                           it->harmonicsMa[at + 3]};
      out[static_cast<std::size_t>(ch)] = {it->time, RatiosOf(a)};
      found[static_cast<std::size_t>(ch)] = true;
    }
  }
  for (int ch = 0; ch < channels; ++ch)
    if (!found[static_cast<std::size_t>(ch)]) out[static_cast<std::size_t>(ch)].first = -1;
  return out;
}

// The sort key of RankForWashing: smaller first.
std::tuple<int, int, double, int64_t> RankKey(const InsulatorCondition& c) {
  const bool rising = c.forecast.daysToDanger.has_value();
  return {-c.stage, rising ? 0 : 1, rising ? *c.forecast.daysToDanger : 0.0,
          c.lastWashing.value_or(INT64_MIN)};
}

}  // namespace

std::optional<double> InsulatorLimit::DangerMa() const {
  for (auto it = levels.rbegin(); it != levels.rend(); ++it)
    if (*it) return *it;
  return std::nullopt;
}

InsulatorLimit LimitOf(const ConditionSettings& settings, const InsulatorRow* entry) {
  InsulatorLimit l;
  l.fromRegister = entry && entry->criticalPeakMa;
  l.criticalPeakMa = l.fromRegister ? *entry->criticalPeakMa : settings.defaultCriticalPeakMa;
  for (const auto& f : settings.fractions) l.levels.push_back(f ? std::optional(*f * l.criticalPeakMa) : std::nullopt);
  return l;
}

const InsulatorRow* FindInsulator(const std::vector<InsulatorRow>& insulators, int64_t site, int channel) {
  for (const InsulatorRow& r : insulators)
    if (r.site == site && r.channel == channel) return &r;
  return nullptr;
}

AlarmSettings WithInsulatorLimits(const AlarmSettings& configured, const ConditionSettings& settings,
                                  const std::vector<SiteRow>& sites, const std::vector<InsulatorRow>& insulators) {
  AlarmSettings out = configured;
  // A configured rule of that name is the operator's own: it stays alone.
  const bool named = std::any_of(configured.rules.begin(), configured.rules.end(),
                                 [&](const AlarmRule& r) { return r.name == settings.ruleName; });
  if (!settings.active || named) return out;
  AlarmRule rule;
  rule.name = settings.ruleName;
  rule.quantity = FindChannelQuantity("peak");
  for (int ch = 1; ch <= 16; ++ch) rule.channels.push_back(ch);
  rule.levels = LimitOf(settings, nullptr).levels;
  rule.holdSeconds = settings.holdSeconds;
  for (const InsulatorRow& r : insulators) {
    if (!r.criticalPeakMa) continue;
    for (const SiteRow& s : sites)
      if (s.id == r.site) rule.insulatorLevels[s.name][r.channel] = LimitOf(settings, &r).levels;
  }
  out.rules.push_back(std::move(rule));
  return out;
}

int64_t LocalDay(int64_t epochSeconds, const std::string& timeZone) {
  const QTimeZone zone(QByteArray::fromStdString(timeZone));
  const QDateTime t = QDateTime::fromSecsSinceEpoch(epochSeconds, zone.isValid() ? zone : QTimeZone::utc());
  return t.date().toJulianDay() - kJulianDayOfEpoch;
}

namespace {

std::vector<InsulatorCondition> Assess(FleetStore& store, const ConditionInputs& in, const SiteRow& site,
                                       const LatestRecord& latest, const std::vector<ChannelStage>& stages) {
  const ConditionSettings& settings = *in.settings;
  const int64_t today = LocalDay(latest.time, site.timeZone);
  const auto days = store.DailyIndicators(site.id, today - settings.forecastDays, today + 1);
  const auto ratios = LatestRatios(store, site.id, latest.time, latest.channels);
  std::vector<InsulatorCondition> out;
  for (int ch = 1; ch <= latest.channels; ++ch) {
    InsulatorCondition c;
    c.site = site;
    c.channel = ch;
    const InsulatorRow* entry = FindInsulator(*in.insulators, site.id, ch);
    if (entry) {
      c.name = entry->name;
      c.type = entry->type;
    }
    c.limit = LimitOf(settings, entry);
    std::vector<int64_t> resets;
    for (const MaintenanceRow& e : *in.maintenance) {
      if (!Concerns(e, site.id, ch) || e.time > latest.time) continue;
      c.lastEvent = e;
      if (!ResetsSurface(e.kind)) continue;
      c.lastWashing = e.time;
      resets.push_back(LocalDay(e.time, site.timeZone));
    }
    std::vector<WetDay> wet;
    for (const DailyIndicatorRow& d : days) {
      if (d.channel != ch) continue;
      c.latestDay = d;
      if (d.wetPeakMax) wet.push_back({d.day, *d.wetPeakMax});
    }
    if (!wet.empty()) c.latestWetDay = wet.back();
    if (const auto danger = c.limit.DangerMa()) c.forecast = ForecastDanger(wet, resets, *danger, today, settings.forecast);
    c.forecastWithinLead = c.forecast.state == ForecastState::kRising && c.forecast.daysToDanger &&
                           *c.forecast.daysToDanger < settings.leadDays;
    if (settings.active)
      for (const ChannelStage& s : stages)
        if (s.channel == ch && s.rule == settings.ruleName) {
          c.stage = s.stage;
          c.stageValue = s.value;
        }
    const auto& r = ratios[static_cast<std::size_t>(ch - 1)];
    if (r.first >= 0) {
      c.ratios = r.second;
      c.ratiosTime = r.first;
    }
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

std::vector<InsulatorCondition> AssessSite(FleetStore& store, const ConditionInputs& in, const SiteRow& site,
                                           const LatestRecord& latest) {
  return Assess(store, in, site, latest, CurrentStages(store, *in.alarms, site, latest.time));
}

std::vector<InsulatorCondition> AssessFleet(FleetStore& store, const ConditionInputs& in,
                                            const std::vector<SiteRow>& sites) {
  std::vector<int64_t> ids;
  for (const SiteRow& s : sites) ids.push_back(s.id);
  const auto latest = store.LatestOf(ids);
  std::vector<SiteLatest> withRecords;
  std::vector<std::size_t> of;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    if (!latest[i]) continue;
    withRecords.push_back({&sites[i], latest[i]->time});
    of.push_back(i);
  }
  const auto stages = CurrentStagesOf(store, *in.alarms, withRecords);
  std::vector<InsulatorCondition> out;
  for (std::size_t w = 0; w < withRecords.size(); ++w) {
    auto site = Assess(store, in, sites[of[w]], *latest[of[w]], stages[w]);
    std::move(site.begin(), site.end(), std::back_inserter(out));
  }
  return out;
}

std::vector<InsulatorCondition> RankForWashing(std::vector<InsulatorCondition> all) {
  std::stable_sort(all.begin(), all.end(),
                   [](const InsulatorCondition& a, const InsulatorCondition& b) { return RankKey(a) < RankKey(b); });
  return all;
}

}  // namespace varnel::fleet::web
