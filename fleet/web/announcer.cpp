#include "announcer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <tuple>

#include "site_zone.h"

namespace varnel::fleet::web {

namespace {

constexpr const char* kFormat = "varnel-web alarm state 1";
// How far back the first pass of a site and rule looks for open episodes.
constexpr int64_t kFirstLookSeconds = 24 * 3600;
constexpr std::size_t kPage = 20000;

QJsonObject ToJson(const Announcement& a) {
  return {{"event", QString::fromStdString(a.event)},       {"site", QString::fromStdString(a.site)},
          {"channel", a.channel},                           {"rule", QString::fromStdString(a.rule)},
          {"stage", QString::fromStdString(a.stage)},       {"quantity", QString::fromStdString(a.quantity)},
          {"unit", QString::fromStdString(a.unit)},         {"value", a.value},
          {"time", static_cast<qint64>(a.time)},            {"localTime", QString::fromStdString(a.localTime)}};
}

Announcement AnnouncementOf(const QJsonObject& o) {
  Announcement a;
  a.event = o["event"].toString().toStdString();
  a.site = o["site"].toString().toStdString();
  a.channel = o["channel"].toInt();
  a.rule = o["rule"].toString().toStdString();
  a.stage = o["stage"].toString().toStdString();
  a.quantity = o["quantity"].toString().toStdString();
  a.unit = o["unit"].toString().toStdString();
  a.value = o["value"].toDouble();
  a.time = o["time"].toInteger();
  a.localTime = o["localTime"].toString().toStdString();
  return a;
}

QJsonArray TimedJson(const TimedValue& v) { return {static_cast<qint64>(v.time), v.value}; }
TimedValue TimedOf(const QJsonValue& v) { return {v.toArray().at(0).toInteger(), v.toArray().at(1).toDouble()}; }

}  // namespace

std::string LocalTimeText(int64_t epochSeconds, const std::string& timeZone) {
  const auto zone = SiteZone::Named(timeZone);
  const Instant at = zone ? zone->At(epochSeconds) : Instant{epochSeconds, 0};
  return IsoLocalText(at);
}

Announcer::Announcer(FleetStore& store, const AlarmSettings& settings, std::string statePath, CommandRunner& runner,
                     Log log, const ConditionSettings* condition)
    : store_(store), settings_(settings), condition_(condition), statePath_(std::move(statePath)), runner_(runner),
      log_(std::move(log)) {}

bool Announcer::Load(std::string& why) {
  QFile f(QString::fromStdString(statePath_));
  if (!f.exists()) return true;
  if (!f.open(QIODevice::ReadOnly)) {
    why = "cannot read the alarm state " + statePath_ + ": " + f.errorString().toStdString();
    return false;
  }
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
  if (doc.isNull() || doc.object()["format"].toString() != kFormat) {
    why = "the alarm state " + statePath_ + " is not varnel-web's (" + error.errorString().toStdString() +
          "); move it away to start afresh";
    return false;
  }
  const QJsonObject root = doc.object();
  const QJsonObject sites = root["sites"].toObject();
  for (auto s = sites.begin(); s != sites.end(); ++s) {
    SiteState& site = sites_[s.key().toStdString()];
    const QJsonObject rules = s.value().toObject();
    for (auto r = rules.begin(); r != rules.end(); ++r) {
      RuleState& rule = site[r.key().toStdString()];
      const QJsonObject o = r.value().toObject();
      rule.through = o["through"].toInteger();
      for (const QJsonValue& v : o["open"].toArray()) {
        const QJsonObject e = v.toObject();
        OpenEpisode open;
        open.channel = e["channel"].toInt();
        open.stage = e["stage"].toString().toStdString();
        open.episode.rule = r.key().toStdString();
        open.episode.channel = open.channel;
        open.episode.began = e["began"].toInteger();
        open.episode.lastAtOrAbove = e["last"].toInteger();
        open.episode.first = TimedOf(e["first"]);
        open.episode.largest = TimedOf(e["largest"]);
        rule.open.push_back(std::move(open));
      }
    }
  }
  const QJsonObject forecasts = root["forecasts"].toObject();
  for (auto s = forecasts.begin(); s != forecasts.end(); ++s) {
    const QJsonObject o = s.value().toObject();
    forecastThrough_[s.key().toStdString()] = o["through"].toInteger();
    const QJsonObject within = o["within"].toObject();
    for (auto c = within.begin(); c != within.end(); ++c)
      forecasts_[s.key().toStdString()][c.key().toInt()] = c.value().toDouble();
  }
  for (const QJsonValue& v : root["pending"].toArray()) pending_.push_back(AnnouncementOf(v.toObject()));
  if (!pending_.empty())
    log_(std::to_string(pending_.size()) + " alarm announcements were decided but not started before; starting them");
  Pump();
  return true;
}

bool Announcer::Save() {
  QJsonObject sites;
  for (const auto& [siteName, site] : sites_) {
    QJsonObject rules;
    for (const auto& [ruleName, rule] : site) {
      QJsonArray open;
      for (const OpenEpisode& o : rule.open)
        open.append(QJsonObject{{"channel", o.channel},
                                {"stage", QString::fromStdString(o.stage)},
                                {"began", static_cast<qint64>(o.episode.began)},
                                {"last", static_cast<qint64>(o.episode.lastAtOrAbove)},
                                {"first", TimedJson(o.episode.first)},
                                {"largest", TimedJson(o.episode.largest)}});
      rules[QString::fromStdString(ruleName)] =
          QJsonObject{{"through", static_cast<qint64>(rule.through)}, {"open", open}};
    }
    sites[QString::fromStdString(siteName)] = rules;
  }
  QJsonArray pending;
  for (const Announcement& a : pending_) pending.append(ToJson(a));
  QJsonObject forecasts;
  for (const auto& [siteName, through] : forecastThrough_) {
    QJsonObject within;
    for (const auto& [channel, days] : forecasts_[siteName]) within[QString::number(channel)] = days;
    forecasts[QString::fromStdString(siteName)] =
        QJsonObject{{"through", static_cast<qint64>(through)}, {"within", within}};
  }
  const QJsonObject root{{"format", kFormat}, {"sites", sites}, {"forecasts", forecasts}, {"pending", pending}};

  QSaveFile f(QString::fromStdString(statePath_));
  if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(root).toJson()) < 0 || !f.commit()) {
    if (saved_)
      log_("cannot save the alarm state " + statePath_ + ": " + f.errorString().toStdString() +
           "; alarm commands wait until it can be saved");
    saved_ = false;
    return false;
  }
  if (!saved_) log_("alarm state saved again; the waiting alarm commands start");
  saved_ = true;
  return true;
}

Announcement Announcer::Make(const char* event, const SiteRow& site, const AlarmRule& rule, const Episode& e,
                             int64_t time, double value) const {
  Announcement a;
  a.event = event;
  a.site = site.name;
  a.channel = e.channel;
  a.rule = rule.name;
  a.stage = settings_.stages[static_cast<std::size_t>(e.stage)];
  a.quantity = rule.quantity->name;
  a.unit = rule.quantity->unit;
  a.value = value;
  a.time = time;
  a.localTime = LocalTimeText(time, site.timeZone);
  return a;
}

void Announcer::CheckRule(const SiteRow& site, const AlarmRule& rule, int64_t latest, bool first, RuleState& state,
                          std::vector<Announcement>& out) {
  const TimeRange range{first ? latest - kFirstLookSeconds : state.through + 1, latest + 1};
  std::vector<OpenEpisode> stillOpen;
  for (int channel : rule.channels) {
    std::vector<EpisodeTracker> trackers;
    const AlarmRule::Levels& levels = rule.LevelsOf(site.name, channel);
    for (std::size_t s = 0; s < levels.size(); ++s) {
      if (!levels[s]) continue;
      EpisodeTracker& t = trackers.emplace_back(rule, site.name, static_cast<int>(s), channel);
      for (const OpenEpisode& o : state.open) {
        if (o.channel != channel || o.stage != settings_.stages[s]) continue;
        Episode e = o.episode;
        e.stage = static_cast<int>(s);
        t.Restore(e);
      }
    }
    auto ended = [&](const Episode& e) {
      if (first) return;  // history before the first look is not announced
      const int64_t end = store_.NextRecordTime(site.id, channel, e.lastAtOrAbove).value_or(e.lastAtOrAbove);
      out.push_back(Make("ended", site, rule, e, end, e.largest.value));
    };
    TimeRange window = range;
    for (;;) {
      const auto page = AtOrAboveSeries(store_, site.id, channel, *rule.quantity, rule.LowestLevel(site.name, channel), window, kPage);
      for (const TimedValue& r : page) {
        for (EpisodeTracker& t : trackers) {
          const bool wasOpen = t.Open().has_value();
          const int64_t wasBegun = wasOpen ? t.Open()->began : 0;
          if (auto closed = t.Feed(r)) ended(*closed);
          if (!first && t.Open() && (!wasOpen || t.Open()->began != wasBegun))
            out.push_back(Make("began", site, rule, *t.Open(), t.Open()->began, t.Open()->first.value));
        }
      }
      if (page.size() < kPage) break;
      window.from = page.back().time + 1;
    }
    for (EpisodeTracker& t : trackers) {
      if (auto closed = t.Settle(latest)) ended(*closed);
      if (!t.Open()) continue;
      // The first look announces what is open now.
      if (first) out.push_back(Make("began", site, rule, *t.Open(), t.Open()->began, t.Open()->first.value));
      stillOpen.push_back({channel, settings_.stages[static_cast<std::size_t>(t.Open()->stage)], *t.Open()});
    }
  }
  state.open = std::move(stillOpen);
  state.through = latest;
}

void Announcer::CheckSite(const SiteRow& site, std::vector<Announcement>& out) {
  const std::optional<LatestRecord> latest = store_.Latest(site.id);
  if (!latest) return;
  SiteState& state = sites_[site.name];
  CheckForecasts(site, *latest, out);
  for (const AlarmRule& rule : current_.rules) {
    if (!rule.AppliesToSite(site.name)) continue;
    auto known = state.find(rule.name);
    const bool first = known == state.end();
    if (!first && latest->time <= known->second.through) continue;
    CheckRule(site, rule, latest->time, first, state[rule.name], out);
    changed_ = true;
  }
}

void Announcer::CheckForecasts(const SiteRow& site, const LatestRecord& latest, std::vector<Announcement>& out) {
  if (!condition_ || !condition_->active) return;
  auto through = forecastThrough_.find(site.name);
  if (through != forecastThrough_.end() && latest.time <= through->second) return;
  const ConditionInputs in{condition_, &current_, &insulators_, &maintenance_};
  std::map<int, double>& within = forecasts_[site.name];
  for (const InsulatorCondition& c : AssessSite(store_, in, site, latest)) {
    if (!c.forecastWithinLead) {
      within.erase(c.channel);  // beyond the lead time again: announced anew when it comes back
      continue;
    }
    if (within.count(c.channel)) continue;
    within[c.channel] = *c.forecast.daysToDanger;
    Announcement a;
    a.event = "forecast";
    a.site = site.name;
    a.channel = c.channel;
    a.rule = condition_->ruleName;
    a.stage = settings_.stages.back();
    a.quantity = "wet_peak";
    a.unit = "days";
    a.value = *c.forecast.daysToDanger;
    a.time = latest.time;
    a.localTime = LocalTimeText(latest.time, site.timeZone);
    out.push_back(std::move(a));
  }
  forecastThrough_[site.name] = latest.time;
  changed_ = true;
}

void Announcer::Check() {
  std::vector<Announcement> found;
  const auto before = sites_;
  const auto forecastsBefore = forecasts_;
  const auto throughBefore = forecastThrough_;
  try {
    const std::vector<SiteRow> sites = store_.Sites();
    current_ = settings_;
    if (condition_) {
      insulators_ = store_.Insulators();
      maintenance_ = store_.Maintenance(std::nullopt);
      current_ = WithInsulatorLimits(settings_, *condition_, sites, insulators_);
    }
    for (const SiteRow& site : sites) CheckSite(site, found);
  } catch (...) {
    sites_ = before;  // the pass is looked at again in full next time
    forecasts_ = forecastsBefore;
    forecastThrough_ = throughBefore;
    throw;
  }
  std::stable_sort(found.begin(), found.end(), [](const Announcement& a, const Announcement& b) {
    return std::tie(a.time, a.site, a.channel) < std::tie(b.time, b.site, b.channel);
  });
  for (Announcement& a : found) {
    log_("alarm " + a.event + ": " + a.site + " channel " + std::to_string(a.channel) + " " + a.stage + " (" +
         a.rule + ") at " + a.localTime);
    pending_.push_back(std::move(a));
  }
  // What was looked at is kept even when nothing changed: a restart must
  // not take the history for news, nor the news for history.
  if (changed_ || !saved_) Save();
  changed_ = false;
  Pump();
}

void Announcer::Pump() {
  if (running_ || pending_.empty()) return;
  // Out of the queue and saved before it starts: never started twice.
  Announcement next = pending_.front();
  pending_.pop_front();
  if (!Save()) {
    pending_.push_front(std::move(next));
    return;
  }
  running_ = true;
  runner_.Run(next, [this, next](bool ok, const std::string& detail) {
    running_ = false;
    if (!ok)
      log_("alarm command for " + next.site + " channel " + std::to_string(next.channel) + " " + next.stage + " " +
           next.event + " failed: " + detail);
    Pump();
  });
}

}  // namespace varnel::fleet::web
