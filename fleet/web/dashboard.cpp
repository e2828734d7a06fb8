#include "dashboard.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QUrl>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>

#include "announcer.h"
#include "site_zone.h"
#include "snapshots.h"
#include "texts.h"

namespace varnel::fleet::web {

namespace {

constexpr int64_t kDay = 24 * 3600;
constexpr int64_t kLongestRange = 50 * 366 * kDay;
constexpr std::size_t kMaxSnapshots = 1000;
constexpr int kSamplesPerChannel = 1256;
constexpr double kSampleMicroseconds = 80;
const std::vector<std::string> kDefaultWeather{"outside_humidity", "outside_temperature", "rain"};

// A request that cannot be answered as asked: 400 (or 404) with a message
// for the person or tool that sent it.
struct Refusal {
  int status;
  std::string message;
};

[[noreturn]] void Refuse(const std::string& message, int status = 400) { throw Refusal{status, message}; }

// ---- parameters ----------------------------------------------------------

const std::string* Param(const HttpRequest& r, std::string_view name) {
  for (const auto& [k, v] : r.query)
    if (k == name) return &v;
  return nullptr;
}

std::string Quoted(std::string_view v) {
  std::string shown(v.substr(0, 60));
  if (v.size() > 60) shown += "...";
  return "\"" + shown + "\"";
}

std::optional<int64_t> WholeNumber(std::string_view text) {
  int64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty()) return std::nullopt;
  return v;
}

int64_t IntParam(const HttpRequest& r, std::string_view name, int64_t min, int64_t max, int64_t fallback) {
  const std::string* text = Param(r, name);
  if (!text) return fallback;
  const auto v = WholeNumber(*text);
  if (!v || *v < min || *v > max)
    Refuse("parameter '" + std::string(name) + "' must be a whole number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not " + Quoted(*text));
  return *v;
}

std::vector<std::string> SplitList(std::string_view text, char separator = ',') {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(separator, start), text.size());
    if (comma > start) out.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// "1,3,4" or "all" (the site's channels); ascending, each once.
std::vector<int> ChannelsParam(const HttpRequest& r, int siteChannels, std::string_view fallback = "all") {
  const std::string* given = Param(r, "channels");
  const std::string text = given ? *given : std::string(fallback);
  std::set<int> channels;
  if (text == "all") {
    for (int c = 1; c <= std::max(siteChannels, 1); ++c) channels.insert(c);
  } else {
    for (const std::string& item : SplitList(text)) {
      const auto v = WholeNumber(item);
      if (!v || *v < 1 || *v > 16)
        Refuse("parameter 'channels' takes channel numbers 1 to 16 separated by commas, or \"all\"; " + Quoted(item) +
               " is none");
      channels.insert(static_cast<int>(*v));
    }
  }
  if (channels.empty()) Refuse("parameter 'channels' names no channel");
  return {channels.begin(), channels.end()};
}

std::vector<const Quantity*> QuantitiesParam(const HttpRequest& r, const char* name,
                                             const std::vector<std::string>& fallback,
                                             const Quantity* (*find)(std::string_view),
                                             const std::vector<Quantity>& all) {
  const std::string* given = Param(r, name);
  const std::vector<std::string> names = given ? SplitList(*given) : fallback;
  std::vector<const Quantity*> out;
  for (const std::string& n : names) {
    const Quantity* q = find(n);
    if (!q) {
      std::string known;
      for (const Quantity& k : all) known += (known.empty() ? "" : ", ") + std::string(k.name);
      Refuse("parameter '" + std::string(name) + "': unknown quantity " + Quoted(n) + " (known: " + known + ")");
    }
    if (std::find(out.begin(), out.end(), q) == out.end()) out.push_back(q);
  }
  return out;
}

// A site by name; 404 when the database has none of that name.
SiteRow SiteParam(FleetStore& store, const HttpRequest& r) {
  const std::string* name = Param(r, "site");
  if (!name || name->empty()) Refuse("parameter 'site' is missing: give the site's name");
  for (SiteRow& s : store.Sites())
    if (s.name == *name) return s;
  Refuse("no site named " + Quoted(*name) + " in the database", 404);
}

// A local time "2005-06-01", "2005-06-01T15:30" or "2005-06-01 15:30:00";
// nullopt for anything else.  A bare date as the end of a range means the
// end of that day.
std::optional<text::LocalDateTime> LocalTimeOf(const std::string& text, bool isEnd) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sep = 0;
  int n = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &n);
  const bool dateOnly = fields == 3 && text.size() == 10;
  const bool withTime = (fields == 6 || fields == 7) && (sep == 'T' || sep == ' ') &&
                        (fields == 7 ? static_cast<std::size_t>(n) == text.size() : text.size() == 16);
  const QDate date(y, mo, d);
  if ((!dateOnly && !withTime) || !date.isValid() || h > 23 || mi > 59 || s > 59 || y < 1970 || y > 2200)
    return std::nullopt;
  if (dateOnly && isEnd) {
    const QDate next = date.addDays(1);
    return text::LocalDateTime{next.year(), next.month(), next.day(), 0, 0, 0, 0};
  }
  return text::LocalDateTime{y, mo, d, h, mi, s, 0};
}

// A time given as seconds since the epoch, or as the site's local time
// (LocalTimeOf).
int64_t TimeParam(const std::string& text, const std::string& name, const SiteZone& zone, bool isEnd) {
  if (const auto v = WholeNumber(text)) return *v;
  const auto local = LocalTimeOf(text, isEnd);
  if (!local)
    Refuse("parameter '" + name + "' must be a date \"YYYY-MM-DD\", a local time \"YYYY-MM-DDTHH:MM\" or seconds "
           "since 1970, not " + Quoted(text));
  return zone.Resolve(*local).epochSeconds;
}

SiteZone ZoneOf(const SiteRow& site) {
  const auto zone = SiteZone::Named(site.timeZone);
  return zone ? *zone : *SiteZone::Named("UTC");
}

// The range of a request: "range" day, week, month (30 days) or year (365
// days) up to the site's newest record, or "from" and "to".
TimeRange RangeParam(const HttpRequest& r, const SiteRow& site, std::optional<int64_t> latest, int64_t now,
                     std::string_view fallback = "day") {
  const std::string* from = Param(r, "from");
  const std::string* to = Param(r, "to");
  const std::string* range = Param(r, "range");
  const std::string kind = range ? *range : (from || to) ? "custom" : std::string(fallback);
  const int64_t end = latest ? *latest + 1 : now;
  static const std::map<std::string, int64_t> kSpans{
      {"day", kDay}, {"week", 7 * kDay}, {"month", 30 * kDay}, {"year", 365 * kDay}};
  if (auto it = kSpans.find(kind); it != kSpans.end()) return {end - it->second, end};
  if (kind != "custom") Refuse("parameter 'range' takes day, week, month, year or custom, not " + Quoted(kind));
  if (!from || !to) Refuse("a custom range needs both 'from' and 'to'");
  const SiteZone zone = ZoneOf(site);
  const TimeRange out{TimeParam(*from, "from", zone, false), TimeParam(*to, "to", zone, true)};
  if (out.to <= out.from) Refuse("'from' must lie before 'to'");
  if (out.to - out.from > kLongestRange) Refuse("a range may span at most 50 years");
  return out;
}

// ---- texts ---------------------------------------------------------------

std::string Number(double v) {
  char buf[48];
  if (std::fabs(v) >= 10000)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

// "2005-06-01 15:30" in the site's zone.
std::string ShortLocal(int64_t t, const std::string& zone) { return LocalTimeText(t, zone).substr(0, 16); }

std::string Duration(int64_t seconds) {
  if (seconds < 120) return std::to_string(seconds) + " s";
  const int64_t minutes = seconds / 60;
  if (minutes < 120) return std::to_string(minutes) + " min";
  const int64_t hours = minutes / 60;
  if (hours < 48) return std::to_string(hours) + " h" + (minutes % 60 ? " " + std::to_string(minutes % 60) + " min" : "");
  return std::to_string(hours / 24) + " d " + std::to_string(hours % 24) + " h";
}

std::string UrlPart(const std::string& v) { return QUrl::toPercentEncoding(QString::fromStdString(v)).toStdString(); }

std::string Query(const std::vector<std::pair<std::string, std::string>>& params) {
  std::string out;
  for (const auto& [k, v] : params) out += (out.empty() ? "?" : "&") + k + "=" + UrlPart(v);
  return out;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

QJsonValue Json(const std::optional<double>& v) { return v ? QJsonValue(*v) : QJsonValue(); }
QJsonArray Json(const TimedValue& v) { return {static_cast<qint64>(v.time), v.value}; }

HttpResponse JsonResponse(const QJsonObject& o, int status = 200) {
  return {status, "application/json", QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(), {}};
}

// The zone's offset at `from` and at every change within the range, so a
// page can show each time as the site's local time.
QJsonArray ZoneOffsets(const SiteRow& site, TimeRange range) {
  const QTimeZone zone(QByteArray::fromStdString(site.timeZone));
  QJsonArray out;
  const SiteZone sz = ZoneOf(site);
  out.append(QJsonArray{static_cast<qint64>(range.from), sz.At(range.from).offsetSeconds});
  if (!zone.isValid()) return out;
  const auto transitions = zone.transitions(QDateTime::fromSecsSinceEpoch(range.from, QTimeZone::utc()),
                                            QDateTime::fromSecsSinceEpoch(range.to, QTimeZone::utc()));
  for (const QTimeZone::OffsetData& t : transitions)
    out.append(QJsonArray{t.atUtc.toSecsSinceEpoch(), t.offsetFromUtc});
  return out;
}

// ---- the page frame ------------------------------------------------------

// The page's language and whether the address chose it (?lang=): the
// pages' own links then keep it.
struct PageLanguage {
  const Texts* texts;
  bool chosen = false;
};

// `path` with `params`, and the language when the address chose it.
std::string Href(const PageLanguage& lang, const std::string& path,
                 std::vector<std::pair<std::string, std::string>> params = {}) {
  if (lang.chosen) params.emplace_back("lang", lang.texts->code);
  return path + Query(params);
}

std::string Page(const PageLanguage& lang, const std::string& title, const std::string& body, bool withScript) {
  const Texts& t = *lang.texts;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"" + std::string(t.code) + "\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>" + HtmlEscape(title) + " - varnel-web</title>"
      "<link rel=\"icon\" href=\"data:,\">"  // no icon to ask for
      "<link rel=\"stylesheet\" href=\"/static/style.css\">";
  if (withScript)
    out += "<link rel=\"stylesheet\" href=\"/static/dygraph.min.css\">"
           "<script src=\"/static/dygraph.min.js\" defer></script><script src=\"/static/app.js\" defer></script>";
  out += "</head><body><nav><a href=\"" + HtmlEscape(Href(lang, "/")) + "\">" + HtmlEscape(t.navFleet) +
         "</a><a href=\"" + HtmlEscape(Href(lang, "/wash")) + "\">" + HtmlEscape(t.navWash) + "</a></nav>\n" + body +
         "\n</body></html>\n";
  return out;
}

// The page's language: ?lang= when given, else the browser's first
// preference; nullopt when ?lang= names no language of the pages.
std::optional<PageLanguage> LanguageOf(const HttpRequest& r) {
  if (const std::string* code = Param(r, "lang")) {
    const auto chosen = LanguageNamed(*code);
    if (!chosen) return std::nullopt;
    return PageLanguage{&TextsOf(*chosen), true};
  }
  const auto accept = r.headers.find("accept-language");
  return PageLanguage{&TextsOf(accept == r.headers.end() ? Language::kEnglish : PreferredLanguage(accept->second)),
                      false};
}

// A stage coloured by its severity; its name in the page's language when
// one is given.
std::string StageBadge(const AlarmSettings& a, int stage, const Texts* texts = nullptr) {
  if (stage < 0)
    return "<span class=\"stage none\">" + HtmlEscape(texts ? texts->stageNone : "none") + "</span>";
  const std::string& name = a.stages[static_cast<std::size_t>(stage)];
  return "<span class=\"stage stage-" + std::to_string(stage) + "\">" +
         HtmlEscape(texts ? StageText(*texts, name) : name) + "</span>";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool SameToken(std::string_view given, std::string_view expected) {
  // Digests of equal length, compared without an early end.
  const QByteArray a = QCryptographicHash::hash(QByteArray(given.data(), static_cast<qsizetype>(given.size())),
                                                QCryptographicHash::Sha256);
  const QByteArray b = QCryptographicHash::hash(QByteArray(expected.data(), static_cast<qsizetype>(expected.size())),
                                                QCryptographicHash::Sha256);
  unsigned char diff = 0;
  for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

namespace {

// ---- what the endpoints compute ------------------------------------------

struct SiteSummary {
  SiteRow site;
  std::optional<LatestRecord> latest;
  std::optional<ChannelExtreme> highest;
  std::vector<ChannelStage> stages;
  int stage = -1;  // the most severe
};

// Every site's newest record, highest peak of the window before it and
// stages, each asked of all sites at once.
std::vector<SiteSummary> SummariseAll(FleetStore& store, const DashboardOptions& o, const AlarmSettings& alarms,
                                      const std::vector<SiteRow>& sites) {
  std::vector<int64_t> ids;
  for (const SiteRow& s : sites) ids.push_back(s.id);
  const auto latest = store.LatestOf(ids);
  std::vector<SiteSummary> out;
  std::vector<SiteRange> windows;
  std::vector<SiteLatest> recent;
  for (std::size_t i = 0; i < sites.size(); ++i) {
    out.push_back({sites[i], latest[i], std::nullopt, {}, -1});
    if (!latest[i]) continue;
    windows.push_back({sites[i].id, {latest[i]->time - o.peakWindowSeconds + 1, latest[i]->time + 1}});
    recent.push_back({&sites[i], latest[i]->time});
  }
  const auto maxima = ChannelMaximaSeries(store, *FindChannelQuantity("peak"), windows);
  const auto stages = CurrentStagesOf(store, alarms, recent);
  std::size_t w = 0;
  for (SiteSummary& s : out) {
    if (!s.latest) continue;
    for (const ChannelExtreme& m : maxima[w])
      if (!s.highest || m.max.value > s.highest->max.value) s.highest = m;
    s.stages = stages[w];
    for (const ChannelStage& c : s.stages) s.stage = std::max(s.stage, c.stage);
    ++w;
  }
  return out;
}

QJsonObject SummaryJson(const SiteSummary& s, const DashboardOptions& o, int64_t now) {
  QJsonObject out{{"name", Q(s.site.name)}, {"timeZone", Q(s.site.timeZone)}};
  if (!s.latest) {
    out["lastRecord"] = QJsonValue();
    return out;
  }
  out["lastRecord"] = static_cast<qint64>(s.latest->time);
  out["lastRecordLocal"] = Q(LocalTimeText(s.latest->time, s.site.timeZone));
  out["silentSeconds"] = static_cast<qint64>(now - s.latest->time);
  out["quiet"] = now - s.latest->time > o.quietSeconds;
  out["channels"] = s.latest->channels;
  if (s.highest)
    out["highestPeak"] = QJsonObject{{"channel", s.highest->channel}, {"value", s.highest->max.value},
                                     {"time", static_cast<qint64>(s.highest->max.time)}, {"unit", "mA"}};
  out["stage"] = s.stage < 0 ? QJsonValue() : QJsonValue(Q(o.alarms.stages[static_cast<std::size_t>(s.stage)]));
  QJsonArray stages;
  for (const ChannelStage& c : s.stages)
    stages.append(QJsonObject{{"channel", c.channel},
                              {"stage", Q(o.alarms.stages[static_cast<std::size_t>(c.stage)])},
                              {"rule", Q(c.rule)},
                              {"value", c.value.value},
                              {"time", static_cast<qint64>(c.value.time)}});
  out["channelStages"] = stages;
  QJsonObject weather;
  for (std::size_t k = 0; k < WeatherQuantities().size(); ++k)
    weather[WeatherQuantities()[k].name] = Json(s.latest->weather[k]);
  out["weather"] = weather;
  QJsonArray thresholds;
  for (const auto& t : s.latest->thresholds) thresholds.append(Json(t));
  out["thresholds"] = thresholds;
  return out;
}

QJsonArray SeriesPoints(const std::vector<ReducedBucket>& buckets, std::size_t i, bool max) {
  QJsonArray out;
  for (const ReducedBucket& b : buckets) {
    const auto& v = max ? b.values[i].max : b.values[i].min;
    if (v) out.append(Json(*v));
  }
  return out;
}

QJsonObject EpisodeJson(const Episode& e, const SiteRow& site, const AlarmSettings& a) {
  const AlarmRule* rule = nullptr;
  for (const AlarmRule& r : a.rules)
    if (r.name == e.rule) rule = &r;
  QJsonObject out{{"site", Q(site.name)},
                  {"channel", e.channel},
                  {"rule", Q(e.rule)},
                  {"quantity", rule ? rule->quantity->name : ""},
                  {"unit", rule ? rule->quantity->unit : ""},
                  {"stage", Q(a.stages[static_cast<std::size_t>(e.stage)])},
                  {"level", rule ? Json(rule->LevelsOf(site.name, e.channel)[static_cast<std::size_t>(e.stage)])
                                 : QJsonValue()},
                  {"began", static_cast<qint64>(e.began)},
                  {"beganLocal", Q(LocalTimeText(e.began, site.timeZone))},
                  {"first", Json(e.first)},
                  {"largest", Json(e.largest)}};
  out["ended"] = e.ended ? QJsonValue(static_cast<qint64>(*e.ended)) : QJsonValue();
  out["endedLocal"] = e.ended ? QJsonValue(Q(LocalTimeText(*e.ended, site.timeZone))) : QJsonValue();
  return out;
}

// A snapshot's samples in mA (counts when no peak tells the scale), per
// channel; nullopt when the file is neither stored nor in the folder.
struct Waveform {
  std::string unit;
  std::vector<std::vector<double>> channels;
};

std::optional<Waveform> LoadWaveform(FleetStore& store, const DashboardOptions& o, const SiteRow& site,
                                     const SnapshotRow& snap) {
  std::optional<std::string> bytes = store.SnapshotData(site.id, snap.time, snap.name);
  if (!bytes && !o.snapshotDir.empty() && ParseSnapshotName(snap.name) &&
      snap.name.find('/') == std::string::npos) {
    QFile f(QString::fromStdString((o.snapshotDir / snap.name).string()));
    if (f.open(QIODevice::ReadOnly)) bytes = f.read(4 + 2 * kSamplesPerChannel * 16 + 1).toStdString();
  }
  if (!bytes || bytes->size() < 4) return std::nullopt;
  auto word = [&](std::size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>((*bytes)[at])) |
                                static_cast<uint16_t>(static_cast<unsigned char>((*bytes)[at + 1]) << 8));
  };
  const int lastSample = word(0), lastChannel = word(2);
  if (lastSample != kSamplesPerChannel - 1 || lastChannel < 0 || lastChannel > 15 ||
      bytes->size() != 4 + 2u * kSamplesPerChannel * static_cast<std::size_t>(lastChannel + 1))
    return std::nullopt;
  // Counts to mA: every channel shares the shunt, so one channel's stored
  // peak in mA over its peak in counts gives the scale.
  double scale = 0;
  for (std::size_t c = 0; c < snap.peakCounts.size() && c < snap.peaksMa.size(); ++c)
    if (snap.peakCounts[c] > 0) {
      scale = snap.peaksMa[c] / snap.peakCounts[c];
      break;
    }
  Waveform w{scale > 0 ? "mA" : "counts", {}};
  for (int c = 0; c <= lastChannel; ++c) {
    std::vector<double> samples;
    samples.reserve(kSamplesPerChannel);
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      const int16_t count = word(4 + 2 * (static_cast<std::size_t>(c) * kSamplesPerChannel + static_cast<std::size_t>(i)));
      samples.push_back(scale > 0 ? std::round(count * scale * 1e4) / 1e4 : count);
    }
    w.channels.push_back(std::move(samples));
  }
  return w;
}

QJsonObject SnapshotJson(const SnapshotRow& s, const SiteRow& site) {
  QJsonArray counts, peaks;
  for (int c : s.peakCounts) counts.append(c);
  for (double p : s.peaksMa) peaks.append(p);
  QJsonObject out{{"time", static_cast<qint64>(s.time)},
                  {"local", Q(LocalTimeText(s.time, site.timeZone))},
                  {"name", Q(s.name)},
                  {"kind", Q(s.kind)},
                  {"channels", s.channels},
                  {"peakCounts", counts},
                  {"peaksMa", peaks},
                  {"stored", s.hasData}};
  out["triggerChannel"] = s.triggerChannel ? QJsonValue(*s.triggerChannel) : QJsonValue();
  out["triggerPeakMa"] = Json(s.triggerPeakMa);
  return out;
}

// ---- the insulators' condition -------------------------------------------

constexpr int64_t kJulianDayOfEpoch = 2440588;  // 1970-01-01
constexpr int64_t kDefaultIndicatorDays = 90;
constexpr int64_t kLongestIndicatorDays = 10 * 366;
constexpr std::size_t kLongestNote = 500;
constexpr std::size_t kLongestForm = 16 * 1024;
constexpr std::size_t kListedEvents = 100;
// A maintenance time this far after the server's clock is still taken: the
// clocks of the browser's machine and of the server may differ a little.
constexpr int64_t kFutureSlackSeconds = 10 * 60;
// The daily shares of the summaries shown with a day's indicators: time at
// or above each threshold, then half cycles reaching it.
constexpr const char* kShareQuantities[8] = {"time_pct_1",       "time_pct_2",       "time_pct_3",
                                             "time_pct_4",       "half_cycle_pct_1", "half_cycle_pct_2",
                                             "half_cycle_pct_3", "half_cycle_pct_4"};

// The first second of a day (days since 1970-01-01) in the site's calendar.
int64_t DayStart(int64_t day, const SiteZone& zone) {
  const QDate d = QDate::fromJulianDay(day + kJulianDayOfEpoch);
  return zone.Resolve({d.year(), d.month(), d.day(), 0, 0, 0, 0}).epochSeconds;
}

// What a day's indicators take from elsewhere: the weather's dew-point
// depression (channel 0 of the indicators) and the channels' daily shares
// from the summaries.
struct DayDetails {
  std::map<int64_t, double> dewDepression;  // by day
  std::map<std::pair<int, int64_t>, std::array<std::optional<double>, 8>> shares;  // by channel and day

  std::optional<double> Dew(int64_t day) const {
    const auto it = dewDepression.find(day);
    return it == dewDepression.end() ? std::nullopt : std::optional(it->second);
  }
  std::array<std::optional<double>, 8> Shares(int channel, int64_t day) const {
    const auto it = shares.find({channel, day});
    return it == shares.end() ? std::array<std::optional<double>, 8>{} : it->second;
  }
};

DayDetails ReadDayDetails(FleetStore& store, int64_t site, int64_t firstDay, int64_t lastDay) {
  DayDetails out;
  for (const DailyIndicatorRow& d : store.DailyIndicators(site, firstDay, lastDay))
    if (d.channel == 0 && d.dewDepressionMin) out.dewDepression[d.day] = *d.dewDepressionMin;
  for (std::size_t k = 0; k < std::size(kShareQuantities); ++k)
    for (const DayMean& m : store.DayMeans(site, *FindChannelQuantity(kShareQuantities[k]), firstDay, lastDay))
      out.shares[{m.channel, m.day}][k] = m.mean;
  return out;
}

// The details of the latest day of each site's insulators, by site.
std::map<int64_t, DayDetails> LatestDayDetails(FleetStore& store, const std::vector<InsulatorCondition>& all) {
  std::map<int64_t, std::pair<int64_t, int64_t>> days;  // site: first and last latest day
  for (const InsulatorCondition& c : all) {
    if (!c.latestDay) continue;
    const auto it = days.try_emplace(c.site.id, c.latestDay->day, c.latestDay->day).first;
    it->second = {std::min(it->second.first, c.latestDay->day), std::max(it->second.second, c.latestDay->day)};
  }
  std::map<int64_t, DayDetails> out;
  for (const auto& [site, range] : days) out[site] = ReadDayDetails(store, site, range.first, range.second + 1);
  return out;
}

// "in 9 days (6–14)", "not rising", ...: the estimate rounded, its interval
// widened to whole days so that it still holds the estimate.
std::string ForecastText(const Texts& t, const Forecast& f, int minWetDays) {
  switch (f.state) {
    case ForecastState::kRising: {
      const double days = f.daysToDanger.value_or(0);
      const std::string estimate = std::to_string(std::lround(days));
      const std::string earliest = std::to_string(static_cast<long>(std::floor(f.earliestDays.value_or(days))));
      if (!f.latestDays) return Fill(t.inDaysOpenEnd, {estimate, earliest});
      return Fill(t.inDays, {estimate, earliest, std::to_string(static_cast<long>(std::ceil(*f.latestDays)))});
    }
    case ForecastState::kNotRising:
      return t.notRising;
    case ForecastState::kAtDanger:
      return t.atDanger;
    case ForecastState::kTooFewWetDays:
      break;
  }
  return Fill(t.tooFewWetDays, {std::to_string(f.wetDays), std::to_string(minWetDays)});
}

// Where the forecast's wet days begin, when a washing or a heavy rain
// started them.
std::string ForecastSince(const Texts& t, const Forecast& f) {
  if (!f.since || f.reset == ResetReason::kNone) return "";
  return Fill(f.reset == ResetReason::kMaintenance ? t.sinceWashing : t.sinceRain, {DayText(*f.since)});
}

QJsonValue Json(const std::optional<int64_t>& v) { return v ? QJsonValue(static_cast<qint64>(*v)) : QJsonValue(); }
QJsonValue DateJson(const std::optional<int64_t>& day) { return day ? QJsonValue(Q(DayText(*day))) : QJsonValue(); }
template <std::size_t N>
QJsonArray Json(const std::array<std::optional<double>, N>& values, std::size_t from, std::size_t count) {
  QJsonArray out;
  for (std::size_t k = from; k < from + count; ++k) out.append(Json(values[k]));
  return out;
}

QJsonObject ForecastJson(const Forecast& f, bool withinLead) {
  QJsonObject out{{"state", ForecastStateName(f.state)},
                  {"daysToDanger", Json(f.daysToDanger)},
                  {"earliestDays", Json(f.earliestDays)},
                  {"latestDays", Json(f.latestDays)},
                  {"withinLead", withinLead},
                  {"wetDays", f.wetDays},
                  {"since", Json(f.since)},
                  {"sinceDate", DateJson(f.since)},
                  {"reset", ResetReasonName(f.reset)},
                  {"levelNowMa", Json(f.levelNowMa)}};
  out["slopeMaPerDay"] = f.fit ? QJsonValue(f.fit->slope) : QJsonValue();
  out["slopeLowMaPerDay"] = f.fit ? QJsonValue(f.fit->slopeLow) : QJsonValue();
  out["slopeHighMaPerDay"] = f.fit ? QJsonValue(f.fit->slopeHigh) : QJsonValue();
  return out;
}

QJsonObject LatestDayJson(const DailyIndicatorRow& d, const DayDetails& details) {
  const auto shares = details.Shares(d.channel, d.day);
  QJsonObject out{{"day", static_cast<qint64>(d.day)},
                  {"date", Q(DayText(d.day))},
                  {"records", static_cast<qint64>(d.n)},
                  {"wetRecords", static_cast<qint64>(d.wetN)},
                  {"peakMaxMa", Json(d.peakMax)},
                  {"wetPeakMaxMa", Json(d.wetPeakMax)},
                  {"chargeMc", d.chargeMc},
                  {"dewDepressionMinC", Json(details.Dew(d.day))},
                  {"timePct", Json(shares, 0, 4)},
                  {"halfCyclePct", Json(shares, 4, 4)}};
  out["wetPeakTime"] = Json(d.wetPeakTime);
  return out;
}

QJsonObject MaintenanceJson(const MaintenanceRow& e, const SiteRow& site, const Texts& t) {
  return {{"channel", e.channel},
          {"time", static_cast<qint64>(e.time)},
          {"local", Q(LocalTimeText(e.time, site.timeZone))},
          {"offsetSeconds", ZoneOf(site).At(e.time).offsetSeconds},
          {"day", static_cast<qint64>(LocalDay(e.time, site.timeZone))},
          {"kind", Q(e.kind)},
          {"kindText", Q(KindText(t, e.kind))},
          {"note", Q(e.note)}};
}

QJsonObject InsulatorJson(const InsulatorCondition& c, int rank, const AlarmSettings& a, const DayDetails* details,
                          const Texts& t) {
  QJsonArray levels;
  for (const auto& l : c.limit.levels) levels.append(Json(l));
  QJsonObject out{{"rank", rank},
                  {"site", Q(c.site.name)},
                  {"timeZone", Q(c.site.timeZone)},
                  {"channel", c.channel},
                  {"name", Q(c.name)},
                  {"type", Q(c.type)},
                  {"criticalPeakMa", c.limit.criticalPeakMa},
                  {"limitFromRegister", c.limit.fromRegister},
                  {"levelsMa", levels},
                  {"dangerMa", Json(c.limit.DangerMa())},
                  {"forecast", ForecastJson(c.forecast, c.forecastWithinLead)}};
  const bool staged = c.stage >= 0;
  out["stage"] = staged ? QJsonValue(c.stage) : QJsonValue();
  out["stageName"] = staged ? QJsonValue(Q(a.stages[static_cast<std::size_t>(c.stage)])) : QJsonValue();
  out["stageValueMa"] = c.stageValue ? QJsonValue(c.stageValue->value) : QJsonValue();
  out["stageTime"] = c.stageValue ? QJsonValue(static_cast<qint64>(c.stageValue->time)) : QJsonValue();
  out["latestWetDay"] = c.latestWetDay ? QJsonValue(QJsonObject{{"day", static_cast<qint64>(c.latestWetDay->day)},
                                                                {"date", Q(DayText(c.latestWetDay->day))},
                                                                {"peakMa", c.latestWetDay->peakMa}})
                                       : QJsonValue();
  out["lastWashing"] = Json(c.lastWashing);
  out["lastWashingLocal"] =
      c.lastWashing ? QJsonValue(Q(LocalTimeText(*c.lastWashing, c.site.timeZone))) : QJsonValue();
  out["lastEvent"] = c.lastEvent ? QJsonValue(MaintenanceJson(*c.lastEvent, c.site, t)) : QJsonValue();
  out["latestDay"] = c.latestDay && details ? QJsonValue(LatestDayJson(*c.latestDay, *details)) : QJsonValue();
  if (c.ratios)
    out["ratios"] = QJsonObject{{"time", Json(c.ratiosTime)},
                                {"i3OverI1", Json(c.ratios->i3OverI1)},
                                {"i5OverI1", Json(c.ratios->i5OverI1)},
                                {"i57OverI3", Json(c.ratios->i57OverI3)}};
  else
    out["ratios"] = QJsonValue();
  return out;
}

// Each day's mean of the three harmonic ratios of one channel over that
// day's scheduled snapshots, as [day, mean] points.
std::array<QJsonArray, 3> DailyRatioMeans(const std::vector<SnapshotRow>& snapshots, int channel,
                                          const std::string& timeZone) {
  std::map<int64_t, std::array<std::pair<double, int>, 3>> sums;  // by day: sum and count
  const std::size_t at = static_cast<std::size_t>(channel - 1) * 4;
  for (const SnapshotRow& s : snapshots) {
    if (s.harmonicsMa.size() < at + 4) continue;
    const HarmonicRatios r =
        RatiosOf({s.harmonicsMa[at], s.harmonicsMa[at + 1], s.harmonicsMa[at + 2], s.harmonicsMa[at + 3]});
    auto& day = sums[LocalDay(s.time, timeZone)];
    const std::optional<double>* values[] = {&r.i3OverI1, &r.i5OverI1, &r.i57OverI3};
    for (std::size_t k = 0; k < 3; ++k)
      if (*values[k]) {
        day[k].first += **values[k];
        ++day[k].second;
      }
  }
  std::array<QJsonArray, 3> out;
  for (const auto& [day, s] : sums)
    for (std::size_t k = 0; k < 3; ++k)
      if (s[k].second > 0) out[k].append(QJsonArray{static_cast<qint64>(day), s[k].first / s[k].second});
  return out;
}

// The fields of a form sent as application/x-www-form-urlencoded; the
// first of a repeated name counts.
std::map<std::string, std::string> FormFields(const std::string& body) {
  std::map<std::string, std::string> out;
  for (const std::string& item : SplitList(body, '&')) {
    const std::size_t eq = std::min(item.find('='), item.size());
    auto decode = [](std::string part) {
      std::replace(part.begin(), part.end(), '+', ' ');
      return QUrl::fromPercentEncoding(QByteArray::fromStdString(part)).toStdString();
    };
    out.emplace(decode(item.substr(0, eq)), decode(eq < item.size() ? item.substr(eq + 1) : ""));
  }
  return out;
}

// A note as stored: valid UTF-8, line ends as "\n".
std::string NoteOf(const std::string& given) {
  QString note = QString::fromUtf8(given.data(), static_cast<qsizetype>(given.size()));
  note.replace("\r\n", "\n");
  return note.trimmed().toStdString();
}

std::size_t CharacterCount(const std::string& utf8) {
  return static_cast<std::size_t>(QString::fromStdString(utf8).toUcs4().size());
}

// Whether a request's Origin (when the browser sends one) is this server:
// a form of another site posted here is refused even should it carry the
// cookie.
bool FromThisServer(const HttpRequest& r) {
  const auto origin = r.headers.find("origin");
  if (origin == r.headers.end()) return true;
  const auto host = r.headers.find("host");
  const std::size_t scheme = origin->second.find("://");
  return host != r.headers.end() && scheme != std::string::npos && origin->second.substr(scheme + 3) == host->second;
}

// ---- the handlers --------------------------------------------------------

class Handlers {
 public:
  Handlers(FleetStore& store, const DashboardOptions& o, PageLanguage lang)
      : store_(store), o_(o), now_(o.now ? o.now() : 0), lang_(lang), t_(*lang.texts) {}

  HttpResponse FleetJson() {
    QJsonArray sites;
    for (const SiteSummary& s : SummariseAll(store_, o_, Alarms(), store_.Sites()))
      sites.append(SummaryJson(s, o_, now_));
    QJsonArray stages;
    for (const std::string& s : o_.alarms.stages) stages.append(Q(s));
    return JsonResponse({{"now", static_cast<qint64>(now_)},
                         {"quietAfterSeconds", static_cast<qint64>(o_.quietSeconds)},
                         {"stages", stages},
                         {"sites", sites}});
  }

  HttpResponse TrendJson(const HttpRequest& r, bool weather) {
    const SiteRow site = SiteParam(store_, r);
    const auto latest = store_.Latest(site.id);
    const TimeRange range = RangeParam(r, site, latest ? std::optional(latest->time) : std::nullopt, now_);
    const int points = static_cast<int>(IntParam(r, "points", 10, o_.maxPoints, o_.defaultPoints));
    std::vector<int> channels{0};
    std::vector<const Quantity*> qs;
    bool anyChannel = false;
    if (weather) {
      qs = QuantitiesParam(r, "quantities", kDefaultWeather, FindWeatherQuantity, WeatherQuantities());
    } else {
      qs = QuantitiesParam(r, "quantities", {"peak"}, FindChannelQuantity, ChannelQuantities());
      const std::string* c = Param(r, "channels");
      anyChannel = c && *c == "any";
      channels = anyChannel ? std::vector<int>{-1} : ChannelsParam(r, latest ? latest->channels : 16);
    }
    if (qs.empty()) Refuse("parameter 'quantities' names no quantity");
    QJsonArray series;
    const auto perChannel = ReduceSeriesOf(store_, site.id, site.timeZone, channels, qs, range, points);
    for (std::size_t c = 0; c < channels.size(); ++c) {
      const int channel = channels[c];
      const auto& buckets = perChannel[c];
      for (std::size_t i = 0; i < qs.size(); ++i) {
        QJsonObject s{{"quantity", qs[i]->name}, {"unit", qs[i]->unit}, {"label", qs[i]->label},
                      {"min", SeriesPoints(buckets, i, false)}, {"max", SeriesPoints(buckets, i, true)}};
        if (!weather) s["channel"] = anyChannel ? QJsonValue("any") : QJsonValue(channel);
        series.append(s);
      }
    }
    return JsonResponse({{"site", Q(site.name)},
                         {"timeZone", Q(site.timeZone)},
                         {"from", static_cast<qint64>(range.from)},
                         {"to", static_cast<qint64>(range.to)},
                         {"points", points},
                         {"bucketSeconds", static_cast<double>(range.to - range.from) / points},
                         {"offsets", ZoneOffsets(site, range)},
                         {"series", series}});
  }

  HttpResponse AlarmsJson(const HttpRequest& r) {
    std::vector<SiteRow> sites;
    if (Param(r, "site")) sites.push_back(SiteParam(store_, r));
    else sites = store_.Sites();
    // channels=3,5 narrows the rules to those channels (default: all).
    AlarmSettings settings = Alarms();
    if (Param(r, "channels")) {
      const std::vector<int> wanted = ChannelsParam(r, 16);
      for (AlarmRule& rule : settings.rules)
        std::erase_if(rule.channels, [&](int c) { return !std::binary_search(wanted.begin(), wanted.end(), c); });
    }
    QJsonArray alarms;
    for (const SiteRow& site : sites) {
      const auto latest = store_.Latest(site.id);
      if (!latest) continue;
      const TimeRange range = RangeParam(r, site, latest->time, now_, "week");
      for (const Episode& e : SiteEpisodes(store_, settings, site, range, latest->time))
        alarms.append(EpisodeJson(e, site, Alarms()));
    }
    QJsonArray stages;
    for (const std::string& s : o_.alarms.stages) stages.append(Q(s));
    return JsonResponse({{"stages", stages}, {"alarms", alarms}});
  }

  HttpResponse SnapshotsJson(const HttpRequest& r) {
    const SiteRow site = SiteParam(store_, r);
    const auto latest = store_.Latest(site.id);
    const TimeRange range = RangeParam(r, site, latest ? std::optional(latest->time) : std::nullopt, now_, "week");
    const auto limit = static_cast<std::size_t>(IntParam(r, "limit", 1, kMaxSnapshots, 200));
    QJsonArray list;
    for (const SnapshotRow& s : store_.Snapshots(site.id, range, limit)) list.append(SnapshotJson(s, site));
    return JsonResponse({{"site", Q(site.name)}, {"snapshots", list}});
  }

  HttpResponse SnapshotDataJson(const HttpRequest& r) {
    const SiteRow site = SiteParam(store_, r);
    const SnapshotRow snap = SnapshotParam(r, site);
    const auto wave = LoadWaveform(store_, o_, site, snap);
    if (!wave)
      Refuse("the samples of " + Quoted(snap.name) +
                 " are neither stored in the database (varnel-collect --store-waveforms) nor in the snapshot folder",
             404);
    QJsonObject out = SnapshotJson(snap, site);
    QJsonArray samples;
    for (const auto& channel : wave->channels) {
      QJsonArray a;
      for (double v : channel) a.append(v);
      samples.append(a);
    }
    out["site"] = Q(site.name);
    out["unit"] = Q(wave->unit);
    out["sampleMicroseconds"] = kSampleMicroseconds;
    out["samples"] = samples;
    return JsonResponse(out);
  }

  HttpResponse FleetPage() {
    std::string rows;
    for (const SiteSummary& s : SummariseAll(store_, o_, Alarms(), store_.Sites())) rows += FleetRow(s);
    const std::string body =
        "<header><h1>Insulator fleet</h1><p class=\"meta\">" + HtmlEscape(store_.Describe()) + " &middot; " +
        HtmlEscape(LocalTimeText(now_, "UTC").substr(0, 16)) + " UTC</p></header>\n"
        "<table class=\"fleet\"><thead><tr><th>site</th><th>last record (site time)</th>"
        "<th>highest peak, last " + Duration(o_.peakWindowSeconds) + "</th><th>alarm now</th>"
        "<th>peak, last day</th><th>temperature</th><th>humidity</th><th>rain</th><th>wind</th></tr></thead>\n"
        "<tbody>\n" + (rows.empty() ? "<tr><td colspan=\"9\">No site has records yet.</td></tr>\n" : rows) +
        "</tbody></table>\n";
    return {200, "text/html; charset=utf-8", Page(lang_, t_.navFleet, body, true), {}};
  }

  HttpResponse SitePage(const HttpRequest& r) {
    const SiteRow site = SiteParam(store_, r);
    const auto latest = store_.Latest(site.id);
    const int siteChannels = latest ? latest->channels : 16;
    const TimeRange range = RangeParam(r, site, latest ? std::optional(latest->time) : std::nullopt, now_);
    const std::vector<int> channels = ChannelsParam(r, siteChannels);
    const auto quantity = QuantitiesParam(r, "quantity", {"peak"}, FindChannelQuantity, ChannelQuantities());
    if (quantity.size() != 1) Refuse("parameter 'quantity' takes one quantity");
    const auto weather = QuantitiesParam(r, "weather", kDefaultWeather, FindWeatherQuantity, WeatherQuantities());
    const std::string* rangeParam = Param(r, "range");
    const std::string rangeKind = rangeParam ? *rangeParam : (Param(r, "from") ? "custom" : "day");

    std::string channelList;
    for (int c : channels) channelList += (channelList.empty() ? "" : ",") + std::to_string(c);
    std::string weatherList;
    for (const Quantity* q : weather) weatherList += (weatherList.empty() ? "" : ",") + std::string(q->name);
    const std::string from = std::to_string(range.from), to = std::to_string(range.to);
    const std::string trendUrl = "/api/trend" + Query({{"site", site.name}, {"channels", channelList},
                                                      {"quantities", quantity[0]->name}, {"from", from}, {"to", to}});
    const std::string weatherUrl =
        weather.empty() ? "" : "/api/weather" + Query({{"site", site.name}, {"quantities", weatherList},
                                                      {"from", from}, {"to", to}});

    std::string body = "<header><h1>" + HtmlEscape(site.name) + "</h1><p class=\"meta\">time zone " +
                       HtmlEscape(site.timeZone) + " &middot; ";
    if (latest)
      body += "newest record " + HtmlEscape(ShortLocal(latest->time, site.timeZone)) + " &middot; " +
              std::to_string(latest->channels) + " channels";
    else
      body += "no records yet";
    body += " &middot; showing " + HtmlEscape(ShortLocal(range.from, site.timeZone)) + " to " +
            HtmlEscape(ShortLocal(range.to, site.timeZone)) + "</p></header>\n";
    body += SiteForm(site, rangeKind, r, channels, siteChannels, quantity[0], weather);
    body += "<section><h2>" + HtmlEscape(quantity[0]->label) + " (" + HtmlEscape(quantity[0]->unit) +
            ") with the weather</h2>"
            "<div id=\"trend\" class=\"chart\" data-trend=\"" + HtmlEscape(trendUrl) + "\" data-weather=\"" +
            HtmlEscape(weatherUrl) + "\"></div><div id=\"trend-legend\" class=\"legend\"></div>"
            "<p class=\"note\">Each point of a long range is the smallest or the largest record of its stretch of "
            "time, so no spike is left out.</p></section>\n";
    if (latest) body += ConditionSections(r, site, *latest);
    body += AlarmSection(site, range, latest);
    body += SnapshotSection(site, range);
    return {200, "text/html; charset=utf-8", Page(lang_, site.name, body, true), {}};
  }

  HttpResponse SnapshotPage(const HttpRequest& r) {
    const SiteRow site = SiteParam(store_, r);
    const SnapshotRow snap = SnapshotParam(r, site);
    std::string peaks;
    for (std::size_t c = 0; c < snap.peaksMa.size(); ++c)
      peaks += "<li>ch" + std::to_string(c + 1) + ": " + Number(snap.peaksMa[c]) + " mA</li>";
    const std::string api = "/api/snapshot" + Query({{"site", site.name}, {"time", std::to_string(snap.time)},
                                                     {"name", snap.name}});
    const std::string body =
        "<header><h1>" + HtmlEscape(snap.name) + "</h1><p class=\"meta\"><a href=\"/site" +
        HtmlEscape(Query({{"site", site.name}})) + "\">" + HtmlEscape(site.name) + "</a> &middot; " +
        HtmlEscape(LocalTimeText(snap.time, site.timeZone)) + " &middot; " + HtmlEscape(snap.kind) +
        (snap.triggerChannel ? " &middot; triggered by ch" + std::to_string(*snap.triggerChannel) : "") +
        "</p></header>\n<section><div id=\"wave\" class=\"chart\" data-wave=\"" + HtmlEscape(api) +
        "\"></div><div id=\"wave-legend\" class=\"legend\"></div><h2>Peaks</h2><ul class=\"peaks\">" + peaks +
        "</ul></section>\n";
    return {200, "text/html; charset=utf-8", Page(lang_, snap.name, body, true), {}};
  }

  // The insulators of the fleet, the first to wash first.
  HttpResponse WashPage() {
    const auto ranked = RankForWashing(Assess(store_.Sites(), std::nullopt));
    std::string rows;
    int rank = 0;
    for (const InsulatorCondition& c : ranked) rows += WashRow(c, ++rank);
    const std::string head = "<th>" + HtmlEscape(t_.rank) + "</th><th>" + HtmlEscape(t_.site) + "</th><th>" +
                             HtmlEscape(t_.channel) + "</th><th>" + HtmlEscape(t_.insulator) + "</th><th>" +
                             HtmlEscape(t_.stageNow) + "</th><th>" + HtmlEscape(t_.criticalPeak) + "</th><th>" +
                             HtmlEscape(t_.latestWetPeak) + "</th><th>" + HtmlEscape(t_.daysToDanger) + "</th><th>" +
                             HtmlEscape(t_.lastWashing) + "</th>";
    const std::string body =
        "<header><h1>" + HtmlEscape(t_.washTitle) + "</h1><p class=\"meta\">" +
        HtmlEscape(Fill(t_.washIntro, {Number(o_.condition.leadDays)})) + "</p></header>\n"
        "<table class=\"wash\"><thead><tr>" + head + "</tr></thead>\n<tbody>\n" +
        (rows.empty() ? "<tr><td colspan=\"9\">" + HtmlEscape(t_.noInsulators) + "</td></tr>\n" : rows) +
        "</tbody></table>\n";
    return {200, "text/html; charset=utf-8", Page(lang_, t_.navWash, body, false), {}};
  }

  // The same ranking as JSON, of the fleet or of one site.
  HttpResponse ConditionJson(const HttpRequest& r) {
    std::vector<SiteRow> sites;
    std::optional<int64_t> only;
    if (Param(r, "site")) {
      sites.push_back(SiteParam(store_, r));
      only = sites.front().id;
    } else {
      sites = store_.Sites();
    }
    const auto ranked = RankForWashing(Assess(sites, only));
    const auto details = LatestDayDetails(store_, ranked);
    QJsonArray list;
    int rank = 0;
    for (const InsulatorCondition& c : ranked) {
      const auto d = details.find(c.site.id);
      list.append(InsulatorJson(c, ++rank, Alarms(), d == details.end() ? nullptr : &d->second, t_));
    }
    QJsonArray stages;
    for (const std::string& s : o_.alarms.stages) stages.append(Q(s));
    QJsonObject out{{"now", static_cast<qint64>(now_)},
                    {"leadDays", o_.condition.leadDays},
                    {"minWetDays", o_.condition.forecast.minWetDays},
                    {"stages", stages},
                    {"insulators", list}};
    if (only) out["site"] = Q(sites.front().name);
    return JsonResponse(out);
  }

  // One insulator's daily indicators of the last `days` days up to its
  // site's newest record, and its maintenance in that time.
  HttpResponse IndicatorsJson(const HttpRequest& r) {
    const SiteRow site = SiteParam(store_, r);
    const auto latest = store_.Latest(site.id);
    if (!Param(r, "channel")) Refuse("parameter 'channel' is missing: give the insulator's channel");
    const int channel = static_cast<int>(IntParam(r, "channel", 1, latest ? latest->channels : 16, 1));
    const int64_t days = IntParam(r, "days", 1, kLongestIndicatorDays, kDefaultIndicatorDays);
    const int64_t today = LocalDay(latest ? latest->time : now_, site.timeZone);
    const int64_t first = today - days + 1;
    const SiteZone zone = ZoneOf(site);
    const TimeRange range{DayStart(first, zone), DayStart(today + 1, zone)};

    QJsonArray peak, wetPeak, charge, dew;
    for (const DailyIndicatorRow& d : store_.DailyIndicators(site.id, first, today + 1)) {
      const qint64 day = d.day;
      if (d.channel == 0 && d.dewDepressionMin) dew.append(QJsonArray{day, *d.dewDepressionMin});
      if (d.channel != channel) continue;
      if (d.peakMax) peak.append(QJsonArray{day, *d.peakMax});
      if (d.wetPeakMax) wetPeak.append(QJsonArray{day, *d.wetPeakMax});
      if (d.n > 0) charge.append(QJsonArray{day, d.chargeMc});
    }
    const auto ratios = DailyRatioMeans(store_.ScheduledSnapshots(site.id, range), channel, site.timeZone);
    auto series = [](const char* name, const std::string& label, const char* unit, const QJsonArray& points) {
      return QJsonObject{{"name", name}, {"label", Q(label)}, {"unit", unit}, {"points", points}};
    };
    QJsonArray all{series("peak_max", t_.peakMax, "mA", peak),
                   series("wet_peak_max", t_.wetPeakMax, "mA", wetPeak),
                   series("charge_mc", t_.charge, "mC", charge),
                   series("dew_depression_min", t_.dewDepression, "°C", dew),
                   series("i3_over_i1", "I3/I1", "", ratios[0]),
                   series("i5_over_i1", "I5/I1", "", ratios[1]),
                   series("i57_over_i3", "(I5+I7)/I3", "", ratios[2])};
    // The pulse activity: the day's shares of time and of half cycles at
    // or above each threshold, from the daily summaries.
    for (std::size_t k = 0; k < std::size(kShareQuantities); ++k) {
      QJsonArray points;
      for (const DayMean& m : store_.DayMeans(site.id, *FindChannelQuantity(kShareQuantities[k]), first, today + 1))
        if (m.channel == channel) points.append(QJsonArray{static_cast<qint64>(m.day), m.mean});
      const std::string label = std::string(k < 4 ? t_.timePct : t_.halfCyclePct) + " " + std::to_string(k % 4 + 1);
      all.append(series(kShareQuantities[k], label, "%", points));
    }
    QJsonArray events;
    for (const MaintenanceRow& e : store_.Maintenance(site.id))
      if ((e.channel == 0 || e.channel == channel) && e.time >= range.from && e.time < range.to)
        events.append(MaintenanceJson(e, site, t_));
    return JsonResponse({{"site", Q(site.name)},
                         {"timeZone", Q(site.timeZone)},
                         {"channel", channel},
                         {"days", static_cast<qint64>(days)},
                         {"firstDay", static_cast<qint64>(first)},
                         {"lastDay", static_cast<qint64>(today)},
                         {"firstDate", Q(DayText(first))},
                         {"lastDate", Q(DayText(today))},
                         {"series", all},
                         {"events", events}});
  }

  // A maintenance event from the site page's form; back to the site page.
  HttpResponse EnterEvent(const HttpRequest& r) {
    if (o_.token.empty() || !o_.addEvent) Refuse(t_.noForm, 403);
    if (!FromThisServer(r)) Refuse("a form of another site may not enter maintenance here", 403);
    const auto type = r.headers.find("content-type");
    if (type == r.headers.end() || type->second.rfind("application/x-www-form-urlencoded", 0) != 0)
      Refuse("send the form as application/x-www-form-urlencoded", 415);
    if (r.body.size() > kLongestForm) Refuse("the form is longer than " + std::to_string(kLongestForm) + " bytes", 413);
    const auto fields = FormFields(r.body);
    auto field = [&](const char* name) {
      const auto it = fields.find(name);
      return it == fields.end() ? std::string() : it->second;
    };
    const SiteRow site = FormSite(field("site"));
    const auto latest = store_.Latest(site.id);
    MaintenanceEvent event;
    event.channel = FormChannel(field("channel"), latest ? latest->channels : 16);
    const auto kind = ParseMaintenanceKind(field("kind"));
    if (!kind) Refuse(Fill(t_.badKind, {Quoted(field("kind"))}));
    event.kind = *kind;
    const auto local = LocalTimeOf(field("time"), false);
    if (!local) Refuse(Fill(t_.badTime, {Quoted(field("time"))}));
    event.time = ZoneOf(site).Resolve(*local);
    if (event.time.epochSeconds > now_ + kFutureSlackSeconds) Refuse(t_.futureTime);
    event.note = NoteOf(field("note"));
    if (const std::size_t n = CharacterCount(event.note); n > kLongestNote)
      Refuse(Fill(t_.longNote, {std::to_string(kLongestNote), std::to_string(n)}));
    std::string why;
    if (!o_.addEvent(site.id, event, why)) Refuse(Fill(t_.refused, {why}), 409);
    if (o_.log)
      o_.log("maintenance entered: " + site.name + " channel " + std::to_string(event.channel) + " " +
             MaintenanceKindName(event.kind) + " at " + IsoLocalText(event.time));
    std::vector<std::pair<std::string, std::string>> back{{"site", site.name}};
    if (event.channel > 0) back.emplace_back("ichannel", std::to_string(event.channel));
    HttpResponse out{303, "text/plain; charset=utf-8", "", {}};
    out.headers.emplace_back("Location", Href(lang_, "/site", back) + "#daily");
    return out;
  }

 private:
  SnapshotRow SnapshotParam(const HttpRequest& r, const SiteRow& site) {
    const std::string* time = Param(r, "time");
    const std::string* name = Param(r, "name");
    if (!time || !name) Refuse("a snapshot is named by 'time' (seconds since 1970) and 'name'");
    const auto t = WholeNumber(*time);
    if (!t) Refuse("parameter 'time' must be seconds since 1970, not " + Quoted(*time));
    auto snap = store_.Snapshot(site.id, *t, *name);
    if (!snap) Refuse("no snapshot " + Quoted(*name) + " at that time for this site", 404);
    return *snap;
  }

  std::string FleetRow(const SiteSummary& s) {
    const std::string link = Href(lang_, "/site", {{"site", s.site.name}});
    std::string row = "<tr class=\"" + std::string(s.stage >= 0 ? "alarm stage-row-" + std::to_string(s.stage) : "") +
                      "\"><td><a href=\"" + HtmlEscape(link) + "\">" + HtmlEscape(s.site.name) + "</a></td>";
    if (!s.latest) return row + "<td colspan=\"8\">no records yet</td></tr>\n";
    const int64_t silent = now_ - s.latest->time;
    row += "<td>" + HtmlEscape(ShortLocal(s.latest->time, s.site.timeZone));
    if (silent > o_.quietSeconds) row += " <span class=\"quiet\">quiet for " + Duration(silent) + "</span>";
    row += "</td><td>";
    if (s.highest)
      row += Number(s.highest->max.value) + " mA <small>ch" + std::to_string(s.highest->channel) + ", " +
             HtmlEscape(ShortLocal(s.highest->max.time, s.site.timeZone).substr(11)) + "</small>";
    row += "</td><td>" + StageBadge(o_.alarms, s.stage);
    for (const ChannelStage& c : s.stages)
      if (c.stage == s.stage)
        row += " <small>ch" + std::to_string(c.channel) + " " + Number(c.value.value) + "</small>";
    const std::string spark = "/api/trend" + Query({{"site", s.site.name}, {"channels", "any"},
                                                    {"quantities", "peak"}, {"range", "day"}, {"points", "120"}});
    row += "</td><td><div class=\"spark\" data-trend=\"" + HtmlEscape(spark) + "\"></div></td>";
    auto weather = [&](std::size_t k, const char* unit) {
      const auto& v = s.latest->weather[k];
      return "<td>" + (v ? Number(*v) + " " + unit : std::string("-")) + "</td>";
    };
    row += weather(2, "°C") + weather(3, "%") + weather(6, "mm") + weather(0, "m/s") + "</tr>\n";
    return row;
  }

  std::string SiteForm(const SiteRow& site, const std::string& rangeKind, const HttpRequest& r,
                       const std::vector<int>& channels, int siteChannels, const Quantity* quantity,
                       const std::vector<const Quantity*>& weather) {
    std::string f = "<form class=\"controls\" method=\"get\" action=\"/site\"><input type=\"hidden\" name=\"site\" "
                    "value=\"" + HtmlEscape(site.name) + "\"><label>range <select name=\"range\">";
    for (const char* k : {"day", "week", "month", "year", "custom"})
      f += "<option" + std::string(rangeKind == k ? " selected" : "") + ">" + k + "</option>";
    const std::string* from = Param(r, "from");
    const std::string* to = Param(r, "to");
    f += "</select></label> <label>from <input type=\"datetime-local\" name=\"from\" value=\"" +
         HtmlEscape(from ? *from : "") + "\"></label> <label>to <input type=\"datetime-local\" name=\"to\" value=\"" +
         HtmlEscape(to ? *to : "") + "\"></label> <label>quantity <select name=\"quantity\">";
    for (const Quantity& q : ChannelQuantities())
      f += "<option value=\"" + std::string(q.name) + "\"" + (&q == quantity ? " selected" : "") + ">" +
           HtmlEscape(q.label) + "</option>";
    f += "</select></label><fieldset><legend>channels</legend>";
    for (int c = 1; c <= std::max(siteChannels, 1); ++c) {
      const bool on = std::find(channels.begin(), channels.end(), c) != channels.end();
      f += "<label><input type=\"checkbox\" name=\"ch\" value=\"" + std::to_string(c) + "\"" +
           (on ? " checked" : "") + ">" + std::to_string(c) + "</label>";
    }
    f += "</fieldset><fieldset><legend>weather (right axis)</legend>";
    for (const Quantity& q : WeatherQuantities()) {
      const bool on = std::find(weather.begin(), weather.end(), &q) != weather.end();
      f += "<label><input type=\"checkbox\" name=\"w\" value=\"" + std::string(q.name) + "\"" +
           (on ? " checked" : "") + ">" + HtmlEscape(q.label) + "</label>";
    }
    f += "</fieldset><input type=\"hidden\" name=\"form\" value=\"1\"><input type=\"hidden\" name=\"channels\" "
         "value=\"\"><input type=\"hidden\" name=\"weather\" value=\"\"><button type=\"submit\">Show</button></form>\n";
    return f;
  }

  std::string AlarmSection(const SiteRow& site, TimeRange range, const std::optional<LatestRecord>& latest) {
    std::string s = "<section><h2>Alarms</h2>";
    if (Alarms().rules.empty()) return s + "<p>No alarm rules are configured.</p></section>\n";
    if (!latest) return s + "<p>No records yet.</p></section>\n";
    std::string now;
    for (const ChannelStage& c : CurrentStages(store_, Alarms(), site, latest->time))
      now += "<li>ch" + std::to_string(c.channel) + " " + StageBadge(o_.alarms, c.stage) + " " +
             HtmlEscape(c.rule) + " " + Number(c.value.value) + "</li>";
    s += "<p>Now: " + (now.empty() ? std::string("no stage reached") : "</p><ul class=\"now\">" + now + "</ul><p>") +
         "</p><table class=\"alarms\"><thead><tr><th>channel</th><th>rule</th><th>stage</th><th>began</th>"
         "<th>ended</th><th>largest</th></tr></thead><tbody>";
    const auto episodes = SiteEpisodes(store_, Alarms(), site, range, latest->time);
    for (auto it = episodes.rbegin(); it != episodes.rend(); ++it) {
      const AlarmRule* rule = nullptr;
      for (const AlarmRule& r : Alarms().rules)
        if (r.name == it->rule) rule = &r;
      s += "<tr><td>" + std::to_string(it->channel) + "</td><td>" + HtmlEscape(it->rule) + "</td><td>" +
           StageBadge(o_.alarms, it->stage) + "</td><td>" + HtmlEscape(ShortLocal(it->began, site.timeZone)) +
           "</td><td>" + (it->ended ? HtmlEscape(ShortLocal(*it->ended, site.timeZone)) : "open") + "</td><td>" +
           Number(it->largest.value) + " " + (rule ? HtmlEscape(rule->quantity->unit) : "") + "</td></tr>";
    }
    if (episodes.empty()) s += "<tr><td colspan=\"6\">none in this range</td></tr>";
    return s + "</tbody></table></section>\n";
  }

  std::string SnapshotSection(const SiteRow& site, TimeRange range) {
    std::string s = "<section><h2>Waveform snapshots</h2><table class=\"snapshots\"><thead><tr><th>time</th>"
                    "<th>kind</th><th>trigger</th><th>largest peak</th></tr></thead><tbody>";
    const auto snaps = store_.Snapshots(site.id, range, 200);
    for (const SnapshotRow& snap : snaps) {
      const std::string link = "/snapshot" + Query({{"site", site.name}, {"time", std::to_string(snap.time)},
                                                    {"name", snap.name}});
      const auto largest = std::max_element(snap.peaksMa.begin(), snap.peaksMa.end());
      s += "<tr><td><a href=\"" + HtmlEscape(link) + "\">" + HtmlEscape(ShortLocal(snap.time, site.timeZone)) +
           "</a></td><td>" + HtmlEscape(snap.kind) + "</td><td>" +
           (snap.triggerChannel ? "ch" + std::to_string(*snap.triggerChannel) +
                                      (snap.triggerPeakMa ? " " + Number(*snap.triggerPeakMa) + " mA" : "")
                                : std::string("-")) +
           "</td><td>" +
           (largest != snap.peaksMa.end()
                ? Number(*largest) + " mA (ch" + std::to_string(largest - snap.peaksMa.begin() + 1) + ")"
                : std::string("-")) +
           "</td></tr>";
    }
    if (snaps.empty()) s += "<tr><td colspan=\"4\">none in this range</td></tr>";
    if (snaps.size() == 200) s += "<tr><td colspan=\"4\">the newest 200 are shown</td></tr>";
    return s + "</tbody></table></section>\n";
  }

  // The configured rules and the insulators' own limits.
  const AlarmSettings& Alarms() {
    if (!alarms_) alarms_ = WithInsulatorLimits(o_.alarms, o_.condition, store_.Sites(), Insulators());
    return *alarms_;
  }

  const std::vector<InsulatorRow>& Insulators() {
    if (!insulators_) insulators_ = store_.Insulators();
    return *insulators_;
  }

  // The insulators of the sites that have records, site after site in
  // channel order; `only`: the one site whose maintenance to read.
  std::vector<InsulatorCondition> Assess(const std::vector<SiteRow>& sites, std::optional<int64_t> only) {
    const auto maintenance = store_.Maintenance(only);
    const ConditionInputs in{&o_.condition, &Alarms(), &Insulators(), &maintenance};
    return AssessFleet(store_, in, sites);
  }

  std::string InsulatorText(const InsulatorCondition& c) {
    if (c.name.empty() && c.type.empty()) return "-";
    return HtmlEscape(c.name) + (c.type.empty() ? "" : " <small>" + HtmlEscape(c.type) + "</small>");
  }

  std::string LimitText(const InsulatorCondition& c) {
    return Number(c.limit.criticalPeakMa) + " mA <small>" +
           HtmlEscape(c.limit.fromRegister ? t_.fromRegister : t_.fromDefault) + "</small>";
  }

  std::string StageCell(const InsulatorCondition& c) {
    return StageBadge(Alarms(), c.stage, &t_) +
           (c.stageValue ? " <small>" + Number(c.stageValue->value) + " mA</small>" : "");
  }

  std::string ForecastCell(const InsulatorCondition& c) {
    std::string cell = HtmlEscape(ForecastText(t_, c.forecast, o_.condition.forecast.minWetDays));
    if (c.forecastWithinLead)
      cell += " <span class=\"lead\">" + HtmlEscape(Fill(t_.withinLead, {Number(o_.condition.leadDays)})) + "</span>";
    return cell;
  }

  std::string WashRow(const InsulatorCondition& c, int rank) {
    const std::string channel = std::to_string(c.channel);
    const std::string link = Href(lang_, "/site", {{"site", c.site.name}, {"ichannel", channel}}) + "#daily";
    std::string row = "<tr" + std::string(c.forecastWithinLead ? " class=\"soon\"" : "") + " data-site=\"" +
                      HtmlEscape(c.site.name) + "\" data-channel=\"" + channel + "\"><td class=\"rank\">" +
                      std::to_string(rank) + "</td><td><a href=\"" + HtmlEscape(link) + "\">" +
                      HtmlEscape(c.site.name) + "</a></td><td>" + channel + "</td><td>" + InsulatorText(c) +
                      "</td><td class=\"stage-cell\">" + StageCell(c) + "</td><td>" + LimitText(c) + "</td><td>";
    if (c.latestWetDay)
      row += Number(c.latestWetDay->peakMa) + " mA <small>" + DayText(c.latestWetDay->day) + "</small>";
    else
      row += "-";
    row += "</td><td class=\"days\">" + ForecastCell(c) + "</td><td>" +
           (c.lastWashing ? HtmlEscape(DayText(LocalDay(*c.lastWashing, c.site.timeZone))) : HtmlEscape(t_.never)) +
           "</td></tr>\n";
    return row;
  }

  // The site page's sections on its insulators: their stage, limit and
  // forecast, one insulator's daily chart with its maintenance, the latest
  // day's indicators, and the form to enter maintenance.
  std::string ConditionSections(const HttpRequest& r, const SiteRow& site, const LatestRecord& latest) {
    const auto conditions = Assess({site}, site.id);
    if (conditions.empty()) return "";
    const int first = RankForWashing(conditions).front().channel;
    const int chosen = static_cast<int>(IntParam(r, "ichannel", 1, latest.channels, first));
    const int64_t days = IntParam(r, "idays", 1, kLongestIndicatorDays, kDefaultIndicatorDays);
    const auto details = LatestDayDetails(store_, conditions);
    const auto it = details.find(site.id);
    return ConditionTable(conditions) + DailySection(r, site, latest.channels, chosen, days) +
           LatestDayTable(site, latest, conditions, it == details.end() ? DayDetails{} : it->second) +
           MaintenanceForm(site, latest.channels, chosen);
  }

  std::string ConditionTable(const std::vector<InsulatorCondition>& conditions) {
    std::string s = "<section id=\"condition\"><h2>" + HtmlEscape(t_.conditionTitle) +
                    "</h2><table class=\"condition\"><thead><tr><th>" + HtmlEscape(t_.channel) + "</th><th>" +
                    HtmlEscape(t_.insulator) + "</th><th>" + HtmlEscape(t_.stageNow) + "</th><th>" +
                    HtmlEscape(t_.criticalPeak) + "</th><th>" + HtmlEscape(t_.limitLevels) + "</th><th>" +
                    HtmlEscape(t_.forecast) + "</th><th>" + HtmlEscape(t_.lastMaintenance) +
                    "</th></tr></thead><tbody>";
    for (const InsulatorCondition& c : conditions) {
      std::string levels;
      for (std::size_t k = 0; k < c.limit.levels.size() && k < Alarms().stages.size(); ++k)
        if (c.limit.levels[k])
          levels += (levels.empty() ? "" : " &middot; ") + HtmlEscape(StageText(t_, Alarms().stages[k])) + " " +
                    Number(*c.limit.levels[k]);
      const std::string since = ForecastSince(t_, c.forecast);
      s += "<tr data-channel=\"" + std::to_string(c.channel) + "\"><td>" + std::to_string(c.channel) + "</td><td>" +
           InsulatorText(c) + "</td><td class=\"stage-cell\">" + StageCell(c) + "</td><td>" + LimitText(c) +
           "</td><td>" + levels +
           " mA</td><td class=\"days\">" + ForecastCell(c) +
           (since.empty() ? "" : "<br><small>" + HtmlEscape(since) + "</small>") + "</td><td>" + LastEventText(c) +
           "</td></tr>";
    }
    return s + "</tbody></table></section>\n";
  }

  std::string LastEventText(const InsulatorCondition& c) {
    if (!c.lastEvent) return HtmlEscape(t_.never);
    const MaintenanceRow& e = *c.lastEvent;
    return HtmlEscape(ShortLocal(e.time, c.site.timeZone)) + " " + HtmlEscape(KindText(t_, e.kind)) +
           (e.note.empty() ? "" : "<br><small>" + HtmlEscape(e.note) + "</small>");
  }

  std::string LatestDayTable(const SiteRow& site, const LatestRecord& latest,
                             const std::vector<InsulatorCondition>& conditions, const DayDetails& details) {
    const int64_t today = LocalDay(latest.time, site.timeZone);
    const auto dew = details.Dew(today);
    std::string s = "<section id=\"latest-day\"><h2>" + HtmlEscape(Fill(t_.latestDayTitle, {DayText(today)})) +
                    "</h2><p class=\"meta\">" + HtmlEscape(t_.dewDepression) + ": " +
                    (dew ? Number(*dew) + " °C" : std::string("-")) + "</p>";
    s += "<table class=\"indicators\"><thead><tr><th rowspan=\"2\">" + HtmlEscape(t_.channel) +
         "</th><th rowspan=\"2\">" + HtmlEscape(t_.peakMax) + " (mA)</th><th rowspan=\"2\">" +
         HtmlEscape(t_.wetPeakMax) + " (mA)</th><th rowspan=\"2\">" + HtmlEscape(t_.charge) +
         " (mC)</th><th colspan=\"4\">" + HtmlEscape(t_.timePct) + " (%)</th><th colspan=\"4\">" +
         HtmlEscape(t_.halfCyclePct) + " (%)</th><th colspan=\"3\">" + HtmlEscape(t_.ratios) + "</th></tr><tr>";
    for (int k = 0; k < 2; ++k)
      for (int threshold = 1; threshold <= 4; ++threshold) s += "<th>" + std::to_string(threshold) + "</th>";
    s += "<th>I3/I1</th><th>I5/I1</th><th>(I5+I7)/I3</th></tr></thead><tbody>";
    auto cell = [](const std::optional<double>& v) { return "<td>" + (v ? Number(*v) : std::string("-")) + "</td>"; };
    for (const InsulatorCondition& c : conditions) {
      s += "<tr data-channel=\"" + std::to_string(c.channel) + "\"><td>" + std::to_string(c.channel) + "</td>";
      if (!c.latestDay) {
        s += "<td colspan=\"14\">" + HtmlEscape(t_.noDays) + "</td></tr>";
        continue;
      }
      const DailyIndicatorRow& d = *c.latestDay;
      s += cell(d.peakMax) + cell(d.wetPeakMax) + cell(d.chargeMc);
      for (const auto& share : details.Shares(c.channel, d.day)) s += cell(share);
      const HarmonicRatios none;
      const HarmonicRatios& ratios = c.ratios ? *c.ratios : none;
      s += cell(ratios.i3OverI1) + cell(ratios.i5OverI1) + cell(ratios.i57OverI3) + "</tr>";
    }
    return s + "</tbody></table></section>\n";
  }

  // The page's address with some parameters replaced, for the links that
  // choose the chart's insulator and days and keep the rest of the page.
  std::string WithParams(const HttpRequest& r, const std::vector<std::pair<std::string, std::string>>& replaced) {
    std::vector<std::pair<std::string, std::string>> params;
    for (const auto& p : r.query)
      if (std::none_of(replaced.begin(), replaced.end(), [&](const auto& q) { return q.first == p.first; }))
        params.push_back(p);
    params.insert(params.end(), replaced.begin(), replaced.end());
    return "/site" + Query(params) + "#daily";
  }

  std::string DailySection(const HttpRequest& r, const SiteRow& site, int channels, int chosen, int64_t days) {
    std::string choose = HtmlEscape(t_.channel) + ":";
    for (int c = 1; c <= channels; ++c)
      choose += c == chosen ? " <strong>" + std::to_string(c) + "</strong>"
                            : " <a href=\"" + HtmlEscape(WithParams(r, {{"ichannel", std::to_string(c)}})) + "\">" +
                                  std::to_string(c) + "</a>";
    choose += " &middot;";
    for (const int64_t d : {30, 90, 365}) {
      const std::string text = HtmlEscape(Fill(t_.lastDays, {std::to_string(d)}));
      choose += d == days ? " <strong>" + text + "</strong>"
                          : " <a href=\"" + HtmlEscape(WithParams(r, {{"idays", std::to_string(d)}})) + "\">" + text +
                                "</a>";
    }
    const std::string api = "/api/indicators" + Query({{"site", site.name}, {"channel", std::to_string(chosen)},
                                                       {"days", std::to_string(days)}, {"lang", t_.code}});
    return "<section id=\"daily\"><h2>" + HtmlEscape(Fill(t_.dailyTitle, {std::to_string(chosen)})) +
           "</h2><p class=\"choose\">" + choose + "</p><div id=\"indicators\" class=\"indicators\" data-indicators=\"" +
           HtmlEscape(api) + "\" data-empty=\"" + HtmlEscape(t_.noDays) + "\"></div><p class=\"note\">" +
           HtmlEscape(t_.dailyNote) + "</p>" +
           EventList(site, chosen) + "</section>\n";
  }

  // The maintenance of one insulator and of the whole site, newest first.
  std::string EventList(const SiteRow& site, int channel) {
    std::string items;
    std::size_t listed = 0;
    const auto events = store_.Maintenance(site.id);
    for (auto it = events.rbegin(); it != events.rend() && listed < kListedEvents; ++it) {
      if (it->channel != 0 && it->channel != channel) continue;
      ++listed;
      items += "<li><time>" + HtmlEscape(ShortLocal(it->time, site.timeZone)) + "</time> " +
               HtmlEscape(KindText(t_, it->kind)) + " <small>" +
               (it->channel == 0 ? HtmlEscape(t_.allInsulators) : "ch" + std::to_string(it->channel)) + "</small>" +
               (it->note.empty() ? "" : " &middot; <span class=\"event-note\">" + HtmlEscape(it->note) + "</span>") +
               "</li>";
    }
    return "<h3>" + HtmlEscape(Fill(t_.eventsTitle, {std::to_string(channel)})) + "</h3>" +
           (items.empty() ? "<p>" + HtmlEscape(t_.noEvents) + "</p>" : "<ul class=\"events\">" + items + "</ul>");
  }

  // Offered only where entering is possible: with an access token (so
  // that only those who hold it may write) and a way into the database.
  std::string MaintenanceForm(const SiteRow& site, int channels, int chosen) {
    if (o_.token.empty() || !o_.addEvent) return "";
    std::string channelOptions = "<option value=\"0\">" + HtmlEscape(t_.allInsulators) + "</option>";
    for (int c = 1; c <= channels; ++c) {
      const InsulatorRow* entry = FindInsulator(Insulators(), site.id, c);
      channelOptions += "<option value=\"" + std::to_string(c) + "\"" + (c == chosen ? " selected" : "") + ">" +
                        std::to_string(c) + (entry && !entry->name.empty() ? " " + HtmlEscape(entry->name) : "") +
                        "</option>";
    }
    std::string kinds;
    for (const char* k : {"washing", "inspection", "replacement"})
      kinds += "<option value=\"" + std::string(k) + "\">" + HtmlEscape(KindText(t_, k)) + "</option>";
    std::string now = ShortLocal(now_, site.timeZone);
    now[10] = 'T';  // the value a datetime-local field takes
    return "<section id=\"maintenance\"><h2>" + HtmlEscape(t_.formTitle) +
           "</h2><form class=\"maintenance\" method=\"post\" action=\"" + HtmlEscape(Href(lang_, "/event")) +
           "\"><input type=\"hidden\" name=\"site\" value=\"" + HtmlEscape(site.name) + "\"><label>" +
           HtmlEscape(t_.channel) + " <select name=\"channel\">" + channelOptions + "</select></label> <label>" +
           HtmlEscape(t_.kind) + " <select name=\"kind\">" + kinds + "</select></label> <label>" +
           HtmlEscape(t_.localTime) + " <input type=\"datetime-local\" name=\"time\" required value=\"" +
           HtmlEscape(now) + "\"></label> <label>" + HtmlEscape(t_.note) +
           " <input type=\"text\" name=\"note\" size=\"40\" maxlength=\"" + std::to_string(kLongestNote) +
           "\"></label> <button type=\"submit\">" + HtmlEscape(t_.enter) + "</button></form></section>\n";
  }

  SiteRow FormSite(const std::string& name) {
    for (SiteRow& s : store_.Sites())
      if (s.name == name) return s;
    Refuse(Fill(t_.badSite, {Quoted(name)}));
  }

  // "0" or "all": every insulator of the site; else 1 to the site's channels.
  int FormChannel(const std::string& text, int channels) {
    if (text == "all") return 0;
    const auto v = WholeNumber(text);
    if (!v || *v < 0 || *v > channels) Refuse(Fill(t_.badChannel, {std::to_string(channels), Quoted(text)}));
    return static_cast<int>(*v);
  }

  FleetStore& store_;
  const DashboardOptions& o_;
  int64_t now_;
  PageLanguage lang_;
  const Texts& t_;
  std::optional<std::vector<InsulatorRow>> insulators_;
  std::optional<AlarmSettings> alarms_;
};

// The pages' own script and style, built in; the chart library from
// Debian's folder.
std::optional<std::pair<std::string, std::string>> StaticFile(const DashboardOptions& o, const std::string& path) {
  static const std::map<std::string, std::pair<std::string, const char*>> kFiles{
      {"/static/app.js", {":/varnel-web/app.js", "text/javascript; charset=utf-8"}},
      {"/static/style.css", {":/varnel-web/style.css", "text/css; charset=utf-8"}},
      {"/static/dygraph.min.js", {"dygraph.min.js", "text/javascript; charset=utf-8"}},
      {"/static/dygraph.min.css", {"dygraph.min.css", "text/css; charset=utf-8"}},
  };
  const auto it = kFiles.find(path);
  if (it == kFiles.end()) return std::nullopt;
  const std::string file =
      it->second.first.front() == ':' ? it->second.first : (o.chartDir / it->second.first).string();
  QFile f(QString::fromStdString(file));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  return std::pair{f.readAll().toStdString(), std::string(it->second.second)};
}

bool IsLoopbackHost(std::string host) {
  // Without the port: "localhost:8080", "[::1]:8080".
  if (!host.empty() && host.front() == '[') host = host.substr(0, host.find(']') + 1);
  else if (const auto colon = host.rfind(':'); colon != std::string::npos) host = host.substr(0, colon);
  return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

std::string CookieToken(const std::string& cookies) {
  std::size_t start = 0;
  while (start < cookies.size()) {
    std::size_t end = cookies.find(';', start);
    if (end == std::string::npos) end = cookies.size();
    std::string item = cookies.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    if (item.rfind("varnel_token=", 0) == 0) return item.substr(13);
    start = end + 1;
  }
  return {};
}

}  // namespace

Dashboard::Dashboard(FleetStore& store, DashboardOptions options) : store_(store), options_(std::move(options)) {
  if (!options_.now) options_.now = [] { return QDateTime::currentSecsSinceEpoch(); };
}

HttpResponse Dashboard::Handle(const HttpRequest& request) {
  const bool api = request.path.rfind("/api/", 0) == 0;
  const PageLanguage lang = LanguageOf(request).value_or(PageLanguage{&TextsOf(Language::kEnglish), false});
  auto refusal = [&](int status, const std::string& message) -> HttpResponse {
    if (api) return JsonResponse({{"error", Q(message)}}, status);
    return {status, "text/html; charset=utf-8",
            Page(lang, "Error",
                 "<h1>" + std::to_string(status) + "</h1><p class=\"error\">" + HtmlEscape(message) + "</p>", false),
            {}};
  };
  HttpResponse response;
  try {
    response = Route(request);
  } catch (const Refusal& r) {
    response = refusal(r.status, r.message);
  } catch (const SchemaVersionError& e) {
    // Only an upgrade cures it: the message says which program to upgrade.
    if (options_.log) options_.log(std::string("database: ") + e.what());
    store_.Close();  // opened again by the next request
    response = refusal(503, e.what());
  } catch (const DbError& e) {
    if (options_.log) options_.log(std::string("database: ") + e.what());
    store_.Close();  // opened again by the next request
    response = refusal(503, "the database cannot be read just now; try again shortly");
  } catch (const std::exception& e) {
    if (options_.log) options_.log(std::string("request ") + request.path + " failed: " + e.what());
    response = refusal(500, "the request failed; see varnel-web's log");
  }
  // No script, style or frame from elsewhere; no address (which may hold
  // the token) handed on to another site.
  response.headers.emplace_back("Content-Security-Policy",
                                "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                                "img-src 'self' data:; object-src 'none'; frame-ancestors 'none'; base-uri 'none'");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Cache-Control", request.path.rfind("/static/", 0) == 0 ? "max-age=3600" : "no-store");
  return response;
}

HttpResponse Dashboard::Route(const HttpRequest& r) {
  // Only the maintenance form writes; everything else reads.
  const bool reads = r.method == "GET" || r.method == "HEAD";
  const bool entersEvent = r.path == "/event";
  if (entersEvent != (r.method == "POST") || (!entersEvent && !reads)) {
    HttpResponse out{405, "text/plain; charset=utf-8",
                     entersEvent ? "maintenance is entered with POST\n" : "varnel-web only reads here: use GET\n", {}};
    out.headers.emplace_back("Allow", entersEvent ? "POST" : "GET, HEAD");
    return out;
  }
  // Access: the token when one is set; without one only loopback names,
  // so that a web page elsewhere cannot reach the dashboard through a
  // name that points at this machine.
  if (options_.token.empty()) {
    const auto host = r.headers.find("host");
    if (host != r.headers.end() && !IsLoopbackHost(host->second))
      Refuse("this dashboard answers only at localhost; set an access token to serve other addresses", 403);
  } else {
    std::string given;
    bool fromQuery = false;
    if (auto a = r.headers.find("authorization"); a != r.headers.end() && a->second.rfind("Bearer ", 0) == 0)
      given = a->second.substr(7);
    else if (auto t = r.headers.find("x-access-token"); t != r.headers.end())
      given = t->second;
    else if (const std::string* q = Param(r, "token"); q) {
      given = *q;
      fromQuery = true;
    } else if (auto c = r.headers.find("cookie"); c != r.headers.end())
      given = CookieToken(c->second);
    if (given.empty() || !SameToken(given, options_.token))
      Refuse(given.empty() ? "an access token is required (header \"Authorization: Bearer TOKEN\" or "
                             "\"X-Access-Token\", or ?token=TOKEN)"
                           : "the access token is wrong",
             401);
    if (fromQuery && reads && r.path.rfind("/api/", 0) != 0 && r.path.rfind("/static/", 0) != 0) {
      // A page opened with ?token=: the browser keeps it in a cookie of this
      // server only, and the address without it is shown.
      std::vector<std::pair<std::string, std::string>> rest;
      for (const auto& p : r.query)
        if (p.first != "token") rest.push_back(p);
      HttpResponse out{303, "text/plain; charset=utf-8", "", {}};
      out.headers.emplace_back("Location", r.path + Query(rest));
      out.headers.emplace_back("Set-Cookie", "varnel_token=" + UrlPart(given) + "; Path=/; HttpOnly; SameSite=Strict" +
                                                 (options_.servedOverTls ? "; Secure" : ""));
      return out;
    }
  }

  if (r.path.rfind("/static/", 0) == 0) {
    auto file = StaticFile(options_, r.path);
    if (!file) Refuse("no such file", 404);
    return {200, file->second, std::move(file->first), {}};
  }
  const auto lang = LanguageOf(r);
  if (!lang) Refuse("parameter 'lang' takes ja or en, not " + Quoted(*Param(r, "lang")));
  if (!store_.IsOpen()) store_.Open();
  Handlers h(store_, options_, *lang);
  if (entersEvent) return h.EnterEvent(r);
  if (r.path == "/" || r.path == "/index.html") return h.FleetPage();
  if (r.path == "/wash") return h.WashPage();
  if (r.path == "/site") {
    // The form's check boxes (ch=1&ch=3, w=rain) become the lists; a form
    // sent with no weather box ticked asks for no weather.
    HttpRequest merged = r;
    std::string ch, w;
    for (const auto& [k, v] : r.query) {
      if (k == "ch") ch += (ch.empty() ? "" : ",") + v;
      if (k == "w") w += (w.empty() ? "" : ",") + v;
    }
    const bool form = Param(r, "form") != nullptr;
    auto take = [&](const char* key, const std::string& ticked, const char* none) {
      std::erase_if(merged.query, [&](const auto& p) { return p.first == key && p.second.empty(); });
      if (!ticked.empty()) {
        std::erase_if(merged.query, [&](const auto& p) { return p.first == key; });
        merged.query.emplace_back(key, ticked);
      } else if (form && !Param(merged, key)) {
        merged.query.emplace_back(key, none);
      }
    };
    take("channels", ch, "all");
    take("weather", w, "");
    if (Param(merged, "range") && *Param(merged, "range") != "custom")
      std::erase_if(merged.query, [](const auto& p) { return p.first == "from" || p.first == "to"; });
    return h.SitePage(merged);
  }
  if (r.path == "/snapshot") return h.SnapshotPage(r);
  if (r.path == "/api/fleet") return h.FleetJson();
  if (r.path == "/api/trend") return h.TrendJson(r, false);
  if (r.path == "/api/weather") return h.TrendJson(r, true);
  if (r.path == "/api/alarms") return h.AlarmsJson(r);
  if (r.path == "/api/snapshots") return h.SnapshotsJson(r);
  if (r.path == "/api/snapshot") return h.SnapshotDataJson(r);
  if (r.path == "/api/condition") return h.ConditionJson(r);
  if (r.path == "/api/indicators") return h.IndicatorsJson(r);
  Refuse("no page " + Quoted(r.path) + " here; the fleet is at /", 404);
}

}  // namespace varnel::fleet::web
