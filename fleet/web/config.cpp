#include "config.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

namespace varnel::fleet::web {

namespace {

constexpr int64_t kDefaultHoldSeconds = 30 * 60;

std::string Text(const QVariant& v) {
  // QSettings reads "a, b" as a list; a single value stays a text.
  if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(", ").toStdString();
  return v.toString().trimmed().toStdString();
}

std::vector<std::string> List(const QVariant& v) {
  std::vector<std::string> out;
  for (const QString& s : v.toStringList())
    if (!s.trimmed().isEmpty()) out.push_back(s.trimmed().toStdString());
  return out;
}

std::optional<double> Number(const std::string& text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int64_t> Whole(const std::string& text, int64_t min, int64_t max) {
  int64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty() || v < min || v > max)
    return std::nullopt;
  return v;
}

class Reader {
 public:
  Reader(QSettings& ini, std::string section, std::vector<std::string>& errors)
      : ini_(ini), section_(std::move(section)), errors_(errors) {
    ini_.beginGroup(QString::fromStdString(section_));
    for (const QString& k : ini_.childKeys()) unused_.insert(k.toStdString());
  }
  ~Reader() { ini_.endGroup(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::optional<QVariant> Get(const std::string& key) {
    // Keys match without regard to case (Caution=, caution=).
    for (auto it = unused_.begin(); it != unused_.end(); ++it) {
      if (QString::fromStdString(*it).compare(QString::fromStdString(key), Qt::CaseInsensitive) != 0) continue;
      const QVariant v = ini_.value(QString::fromStdString(*it));
      unused_.erase(it);
      return v;
    }
    return std::nullopt;
  }
  void Text(const std::string& key, std::string& target) {
    if (auto v = Get(key)) target = web::Text(*v);
  }
  void Whole(const std::string& key, int64_t min, int64_t max, int64_t& target, int64_t scale = 1) {
    auto v = Get(key);
    if (!v) return;
    const auto n = web::Whole(web::Text(*v), min, max);
    if (!n)
      Error(key + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not \"" +
            web::Text(*v) + "\"");
    else
      target = *n * scale;
  }
  void Flag(const std::string& key, bool& target) {
    auto v = Get(key);
    if (!v) return;
    const QString text = QString::fromStdString(web::Text(*v));
    if (text.compare("true", Qt::CaseInsensitive) == 0) target = true;
    else if (text.compare("false", Qt::CaseInsensitive) == 0) target = false;
    else Error(key + " must be true or false, not \"" + text.toStdString() + "\"");
  }
  void Error(const std::string& message) { errors_.push_back("[" + section_ + "] " + message); }
  void ReportUnused() {
    for (const std::string& k : unused_) Error("unknown key " + k);
  }

 private:
  QSettings& ini_;
  std::string section_;
  std::vector<std::string>& errors_;
  std::set<std::string> unused_;
};

void ReadRule(QSettings& ini, const std::string& section, WebConfig& config, int64_t defaultHold,
              std::vector<std::string>& errors) {
  Reader r(ini, section, errors);
  AlarmRule rule;
  rule.name = section.substr(5);
  rule.holdSeconds = defaultHold;
  std::string quantity = "peak";
  r.Text("Quantity", quantity);
  rule.quantity = FindChannelQuantity(quantity);
  if (!rule.quantity) r.Error("Quantity \"" + quantity + "\" is no column of channel_records (peak, rms, time_pct_1, ...)");
  if (auto sites = r.Get("Sites")) {
    rule.sites = List(*sites);
    if (rule.sites.size() == 1 && rule.sites[0] == "*") rule.sites.clear();
  }
  rule.channels = *ParseChannelSet({"1-16"});
  if (auto channels = r.Get("Channels")) {
    if (auto set = ParseChannelSet(List(*channels))) rule.channels = *set;
    else r.Error("Channels takes numbers 1 to 16 and ranges such as 1-4, not \"" + Text(*channels) + "\"");
  }
  r.Whole("HoldMinutes", 1, 7 * 24 * 60, rule.holdSeconds, 60);
  std::optional<double> previous;
  for (const std::string& stage : config.alarms.stages) {
    auto& level = rule.levels.emplace_back();
    auto v = r.Get(stage);
    if (!v) continue;
    level = Number(Text(*v));
    if (!level) {
      r.Error(stage + " must be a number (the level in the quantity's unit), not \"" + Text(*v) + "\"");
      continue;
    }
    if (previous && *level <= *previous) r.Error("the level of " + stage + " must lie above the milder stages' levels");
    previous = level;
  }
  if (!previous) {
    std::string names;
    for (const std::string& stage : config.alarms.stages) names += (names.empty() ? "" : ", ") + stage;
    r.Error("no level for any stage (" + names + ")");
  }
  r.ReportUnused();
  config.alarms.rules.push_back(std::move(rule));
}

// A number from `min` to `max` under `key`, if given.
void ReadNumber(Reader& r, const std::string& key, double min, double max, double& target) {
  auto v = r.Get(key);
  if (!v) return;
  const auto n = Number(Text(*v));
  if (!n || *n < min || *n > max)
    r.Error(key + " must be a number from " + std::to_string(min) + " to " + std::to_string(max) + ", not \"" +
            Text(*v) + "\"");
  else
    target = *n;
}

// The stages' fractions: one per stage of [Alarms] Stages; the three
// usual names default to 0.1, 0.3 and 0.6.
void ReadFractions(Reader& r, const std::vector<std::string>& stages, ConditionSettings& c) {
  const std::map<std::string, double> usual{{"caution", 0.1}, {"warning", 0.3}, {"danger", 0.6}};
  c.fractions.clear();
  for (const std::string& stage : stages) {
    std::optional<double> fraction;
    if (auto u = usual.find(stage); u != usual.end()) fraction = u->second;
    if (auto v = r.Get(stage)) {
      const auto n = Number(Text(*v));
      if (!n || *n <= 0 || *n > 10) r.Error(stage + " must be a fraction of the critical peak above 0, not \"" + Text(*v) + "\"");
      else fraction = n;
    }
    c.fractions.push_back(fraction);
  }
}

bool AnyFraction(const ConditionSettings& c) {
  return std::any_of(c.fractions.begin(), c.fractions.end(), [](const auto& f) { return f.has_value(); });
}

void ReadCondition(QSettings& ini, WebConfig& config, int64_t defaultHold, std::vector<std::string>& errors) {
  Reader r(ini, "Condition", errors);
  ConditionSettings& c = config.condition;
  c.holdSeconds = defaultHold;
  r.Flag("Active", c.active);
  ReadNumber(r, "CriticalPeakMa", 0.001, 1e6, c.defaultCriticalPeakMa);
  ReadFractions(r, config.alarms.stages, c);
  if (c.active && !AnyFraction(c))
    r.Error("no stage has a fraction of the critical peak (give one per stage, as caution=0.1)");
  r.Whole("HoldMinutes", 1, 7 * 24 * 60, c.holdSeconds, 60);
  ReadNumber(r, "LeadDays", 0, 3650, c.leadDays);
  r.Whole("ForecastDays", 7, 3650, c.forecastDays);
  int64_t minWet = c.forecast.minWetDays;
  r.Whole("MinWetDays", 2, 1000, minWet);
  c.forecast.minWetDays = static_cast<int>(minWet);
  ReadNumber(r, "Confidence", 0.5, 0.999, c.forecast.confidence);
  ReadNumber(r, "RainDropFraction", 0.05, 0.95, c.forecast.dropFraction);
  r.ReportUnused();
}

}  // namespace

std::optional<std::vector<int>> ParseChannelSet(const std::vector<std::string>& items) {
  std::set<int> out;
  for (const std::string& item : items) {
    const auto dash = item.find('-');
    const auto a = Whole(item.substr(0, dash), 1, 16);
    const auto b = dash == std::string::npos ? a : Whole(item.substr(dash + 1), 1, 16);
    if (!a || !b || *b < *a) return std::nullopt;
    for (int64_t c = *a; c <= *b; ++c) out.insert(static_cast<int>(c));
  }
  if (out.empty()) return std::nullopt;
  return std::vector<int>(out.begin(), out.end());
}

bool LoadConfigFile(const std::string& path, WebConfig& config, std::vector<std::string>& errors) {
  const std::size_t before = errors.size();
  if (!QFileInfo(QString::fromStdString(path)).isReadable()) {
    errors.push_back("cannot read " + path);
    return false;
  }
  QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  if (ini.status() != QSettings::NoError) {
    errors.push_back(path + " is no INI file");
    return false;
  }
  const QStringList groups = ini.childGroups();
  if (!ini.childKeys().isEmpty()) errors.push_back("keys outside a section; put them under [Web] or [Alarms]");
  if (groups.contains("Web")) {
    Reader r(ini, "Web", errors);
    r.Text("Database", config.database);
    r.Text("Listen", config.listen);
    int64_t port = config.port;
    r.Whole("Port", 0, 65535, port);
    config.port = static_cast<int>(port);
    r.Text("TokenFile", config.tokenFile);
    r.Text("TlsCertificate", config.tlsCertificate);
    r.Text("TlsKey", config.tlsKey);
    r.Flag("AllowPlainHttp", config.allowPlainHttp);
    r.Whole("QuietMinutes", 1, 100000, config.quietSeconds, 60);
    r.Text("SnapshotDir", config.snapshotDir);
    r.Text("ChartDir", config.chartDir);
    r.Text("StateFile", config.stateFile);
    r.ReportUnused();
  }
  int64_t defaultHold = kDefaultHoldSeconds;
  if (groups.contains("Alarms")) {
    Reader r(ini, "Alarms", errors);
    if (auto stages = r.Get("Stages")) {
      config.alarms.stages = List(*stages);
      if (config.alarms.stages.empty()) r.Error("Stages names no stage");
    }
    r.Whole("HoldMinutes", 1, 7 * 24 * 60, defaultHold, 60);
    r.Text("Command", config.command);
    int64_t timeout = config.commandTimeout.count() / 1000, check = config.checkInterval.count() / 1000;
    r.Whole("CommandTimeoutSeconds", 1, 3600, timeout);
    r.Whole("CheckSeconds", 1, 3600, check);
    config.commandTimeout = std::chrono::seconds(timeout);
    config.checkInterval = std::chrono::seconds(check);
    r.ReportUnused();
  }
  for (const QString& g : groups) {
    const std::string group = g.toStdString();
    if (group == "Web" || group == "Alarms" || group == "Condition") continue;
    if (group.rfind("Rule ", 0) != 0 || group.size() == 5) {
      errors.push_back("unknown section [" + group + "] (sections: [Web], [Alarms], [Condition], [Rule NAME])");
      continue;
    }
    ReadRule(ini, group, config, defaultHold, errors);
  }
  if (groups.contains("Condition")) {
    ReadCondition(ini, config, defaultHold, errors);
  } else {
    // The usual fractions for the stages as named, the alarms' hold; stages
    // of other names have no fraction to take, and no limits then.
    Reader r(ini, "Condition", errors);
    config.condition.holdSeconds = defaultHold;
    ReadFractions(r, config.alarms.stages, config.condition);
    if (!AnyFraction(config.condition)) config.condition.active = false;
  }
  return errors.size() == before;
}

}  // namespace varnel::fleet::web
