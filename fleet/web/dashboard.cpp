#include "dashboard.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <QUrl>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <set>

#include "announcer.h"
#include "site_zone.h"
#include "snapshots.h"

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

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
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

// A time given as seconds since the epoch, or as the site's local time
// "2005-06-01", "2005-06-01T15:30" or "2005-06-01 15:30:00".  A bare date
// as the end of a range means the end of that day.
int64_t TimeParam(const std::string& text, const std::string& name, const SiteZone& zone, bool isEnd) {
  if (const auto v = WholeNumber(text)) return *v;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  char sep = 0;
  int n = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &n);
  const bool dateOnly = fields == 3 && text.size() == 10;
  const bool withTime = (fields == 6 || fields == 7) && (sep == 'T' || sep == ' ') &&
                        (fields == 7 ? static_cast<std::size_t>(n) == text.size() : text.size() == 16);
  const QDate date(y, mo, d);
  if ((!dateOnly && !withTime) || !date.isValid() || h > 23 || mi > 59 || s > 59 || y < 1970 || y > 2200)
    Refuse("parameter '" + name + "' must be a date \"YYYY-MM-DD\", a local time \"YYYY-MM-DDTHH:MM\" or seconds "
           "since 1970, not " + Quoted(text));
  text::LocalDateTime local{y, mo, d, h, mi, s, 0};
  if (dateOnly && isEnd) {
    const QDate next = date.addDays(1);
    local = {next.year(), next.month(), next.day(), 0, 0, 0, 0};
  }
  return zone.Resolve(local).epochSeconds;
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

std::string Page(const std::string& title, const std::string& body, bool withScript) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>" + HtmlEscape(title) + " - varnel-web</title>"
      "<link rel=\"icon\" href=\"data:,\">"  // no icon to ask for
      "<link rel=\"stylesheet\" href=\"/static/style.css\">";
  if (withScript)
    out += "<link rel=\"stylesheet\" href=\"/static/dygraph.min.css\">"
           "<script src=\"/static/dygraph.min.js\" defer></script><script src=\"/static/app.js\" defer></script>";
  out += "</head><body><nav><a href=\"/\">Fleet</a></nav>\n" + body + "\n</body></html>\n";
  return out;
}

std::string StageBadge(const AlarmSettings& a, int stage) {
  if (stage < 0) return "<span class=\"stage none\">none</span>";
  const std::string& name = a.stages[static_cast<std::size_t>(stage)];
  return "<span class=\"stage stage-" + std::to_string(stage) + "\">" + HtmlEscape(name) + "</span>";
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
std::vector<SiteSummary> SummariseAll(FleetStore& store, const DashboardOptions& o, const std::vector<SiteRow>& sites) {
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
  const auto stages = CurrentStagesOf(store, o.alarms, recent);
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
                  {"level", rule ? Json(rule->levels[static_cast<std::size_t>(e.stage)]) : QJsonValue()},
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

// ---- the handlers --------------------------------------------------------

class Handlers {
 public:
  Handlers(FleetStore& store, const DashboardOptions& o) : store_(store), o_(o), now_(o.now ? o.now() : 0) {}

  HttpResponse FleetJson() {
    QJsonArray sites;
    for (const SiteSummary& s : SummariseAll(store_, o_, store_.Sites())) sites.append(SummaryJson(s, o_, now_));
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
    AlarmSettings settings = o_.alarms;
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
        alarms.append(EpisodeJson(e, site, o_.alarms));
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
    for (const SiteSummary& s : SummariseAll(store_, o_, store_.Sites())) rows += FleetRow(s);
    const std::string body =
        "<header><h1>Insulator fleet</h1><p class=\"meta\">" + HtmlEscape(store_.Describe()) + " &middot; " +
        HtmlEscape(LocalTimeText(now_, "UTC").substr(0, 16)) + " UTC</p></header>\n"
        "<table class=\"fleet\"><thead><tr><th>site</th><th>last record (site time)</th>"
        "<th>highest peak, last " + Duration(o_.peakWindowSeconds) + "</th><th>alarm now</th>"
        "<th>peak, last day</th><th>temperature</th><th>humidity</th><th>rain</th><th>wind</th></tr></thead>\n"
        "<tbody>\n" + (rows.empty() ? "<tr><td colspan=\"9\">No site has records yet.</td></tr>\n" : rows) +
        "</tbody></table>\n";
    return {200, "text/html; charset=utf-8", Page("Fleet", body, true), {}};
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
    body += AlarmSection(site, range, latest);
    body += SnapshotSection(site, range);
    return {200, "text/html; charset=utf-8", Page(site.name, body, true), {}};
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
    return {200, "text/html; charset=utf-8", Page(snap.name, body, true), {}};
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
    const std::string link = "/site" + Query({{"site", s.site.name}});
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
    if (o_.alarms.rules.empty()) return s + "<p>No alarm rules are configured.</p></section>\n";
    if (!latest) return s + "<p>No records yet.</p></section>\n";
    std::string now;
    for (const ChannelStage& c : CurrentStages(store_, o_.alarms, site, latest->time))
      now += "<li>ch" + std::to_string(c.channel) + " " + StageBadge(o_.alarms, c.stage) + " " +
             HtmlEscape(c.rule) + " " + Number(c.value.value) + "</li>";
    s += "<p>Now: " + (now.empty() ? std::string("no stage reached") : "</p><ul class=\"now\">" + now + "</ul><p>") +
         "</p><table class=\"alarms\"><thead><tr><th>channel</th><th>rule</th><th>stage</th><th>began</th>"
         "<th>ended</th><th>largest</th></tr></thead><tbody>";
    const auto episodes = SiteEpisodes(store_, o_.alarms, site, range, latest->time);
    for (auto it = episodes.rbegin(); it != episodes.rend(); ++it) {
      const AlarmRule* rule = nullptr;
      for (const AlarmRule& r : o_.alarms.rules)
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

  FleetStore& store_;
  const DashboardOptions& o_;
  int64_t now_;
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
  auto refusal = [&](int status, const std::string& message) -> HttpResponse {
    if (api) return JsonResponse({{"error", Q(message)}}, status);
    return {status, "text/html; charset=utf-8",
            Page("Error", "<h1>" + std::to_string(status) + "</h1><p class=\"error\">" + HtmlEscape(message) + "</p>",
                 false),
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
  if (r.method != "GET" && r.method != "HEAD") {
    HttpResponse out{405, "text/plain; charset=utf-8", "varnel-web only reads: use GET\n", {}};
    out.headers.emplace_back("Allow", "GET, HEAD");
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
    if (fromQuery && r.path.rfind("/api/", 0) != 0 && r.path.rfind("/static/", 0) != 0) {
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
  if (!store_.IsOpen()) store_.Open();
  Handlers h(store_, options_);
  if (r.path == "/" || r.path == "/index.html") return h.FleetPage();
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
  Refuse("no page " + Quoted(r.path) + " here; the fleet is at /", 404);
}

}  // namespace varnel::fleet::web
