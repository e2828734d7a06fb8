#include "texts.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace varnel::fleet::web {

namespace {

constexpr Texts kEnglish{
    .code = "en",
    .navFleet = "Fleet",
    .navWash = "Wash first",
    .washTitle = "Which insulator to wash first",
    .washIntro = "Every insulator of the fleet, the most urgent first: by its stage now under its own limit, then "
                 "by the days until the line of its wet-day peaks reaches its danger level, then by its last "
                 "washing. Marked: danger expected within {0} days.",
    .noInsulators = "No site has records yet.",
    .rank = "rank",
    .site = "site",
    .channel = "channel",
    .insulator = "insulator",
    .stageNow = "stage now",
    .criticalPeak = "critical peak",
    .fromRegister = "register",
    .fromDefault = "default",
    .latestWetPeak = "latest wet-day peak",
    .daysToDanger = "days to danger",
    .lastWashing = "last washing",
    .never = "never",
    .inDays = "in {0} days ({1}–{2})",
    .inDaysOpenEnd = "in {0} days ({1} or later)",
    .notRising = "not rising",
    .tooFewWetDays = "too few wet days ({0} of {1})",
    .atDanger = "at danger",
    .withinLead = "within {0} days",
    .sinceWashing = "wet days from {0}, after a washing",
    .sinceRain = "wet days from {0}, after a heavy rain",
    .stageNone = "none",
    .stageNames = {"caution", "warning", "danger"},
    .kindNames = {"washing", "inspection", "replacement"},
    .conditionTitle = "Insulators: stage, limit and forecast",
    .limitLevels = "stage levels",
    .forecast = "forecast",
    .lastMaintenance = "last maintenance",
    .latestDayTitle = "Indicators of the latest day ({0})",
    .peakMax = "highest peak",
    .wetPeakMax = "highest wet peak",
    .charge = "charge",
    .timePct = "time ≥ threshold",
    .halfCyclePct = "half cycles ≥ threshold",
    .dewDepression = "dew-point depression",
    .ratios = "harmonic ratios",
    .noDays = "No daily indicators yet.",
    .dailyTitle = "Daily indicators of channel {0}",
    .dailyNote = "Wet days are those with records of outside humidity at the collector's wet level or more "
                 "(85 % unless set). Vertical lines mark the maintenance of this insulator (and of the whole site).",
    .lastDays = "last {0} days",
    .eventsTitle = "Maintenance of channel {0}",
    .noEvents = "none entered",
    .allInsulators = "all insulators",
    .formTitle = "Enter maintenance",
    .kind = "kind",
    .localTime = "date and time (site time)",
    .note = "note",
    .enter = "Enter",
    .badSite = "the form names no site of this database: {0}",
    .badChannel = "the channel must be all (0) or 1 to {0}, not {1}",
    .badKind = "the kind must be washing, inspection or replacement, not {0}",
    .badTime = "the time must be a date and time of the site, YYYY-MM-DDTHH:MM, not {0}",
    .futureTime = "the time lies in the future",
    .longNote = "the note may hold at most {0} characters, not {1}",
    .refused = "the database did not take the event: {0}",
    .noForm = "this dashboard takes maintenance only with an access token",
};

constexpr Texts kJapanese{
    .code = "ja",
    .navFleet = "サイト一覧",
    .navWash = "洗浄の優先順位",
    .washTitle = "洗浄する碍子の優先順位",
    .washIntro = "全サイトの碍子を緊急度の高い順に並べています。碍子ごとの限界値に対する現在の段階、湿潤日の"
                 "ピークの傾向線が危険レベルに達するまでの日数、最終洗浄日の順です。印は{0}日以内に危険レベル"
                 "に達する見込みの碍子です。",
    .noInsulators = "記録のあるサイトがまだありません。",
    .rank = "順位",
    .site = "サイト",
    .channel = "チャンネル",
    .insulator = "碍子",
    .stageNow = "現在の段階",
    .criticalPeak = "臨界ピーク",
    .fromRegister = "台帳",
    .fromDefault = "既定値",
    .latestWetPeak = "最新の湿潤日ピーク",
    .daysToDanger = "危険レベルまで",
    .lastWashing = "最終洗浄",
    .never = "なし",
    .inDays = "{0}日後（{1}〜{2}日）",
    .inDaysOpenEnd = "{0}日後（{1}日以降）",
    .notRising = "上昇傾向なし",
    .tooFewWetDays = "湿潤日が不足（{0}/{1}日）",
    .atDanger = "危険レベル到達",
    .withinLead = "{0}日以内",
    .sinceWashing = "{0}以降の湿潤日（洗浄後）",
    .sinceRain = "{0}以降の湿潤日（強い雨の後）",
    .stageNone = "なし",
    .stageNames = {"注意", "警告", "危険"},
    .kindNames = {"洗浄", "点検", "交換"},
    .conditionTitle = "碍子の段階・限界値・予測",
    .limitLevels = "段階の値",
    .forecast = "予測",
    .lastMaintenance = "最終保守",
    .latestDayTitle = "最新日の指標（{0}）",
    .peakMax = "最大ピーク",
    .wetPeakMax = "湿潤時の最大ピーク",
    .charge = "電荷量",
    .timePct = "閾値以上の時間率",
    .halfCyclePct = "閾値以上の半周期率",
    .dewDepression = "露点差",
    .ratios = "高調波比",
    .noDays = "日別指標はまだありません。",
    .dailyTitle = "チャンネル{0}の日別指標",
    .dailyNote = "湿潤日は外気湿度が収集側の湿潤レベル（既定85 %）以上の記録がある日です。縦線はこの碍子（およびサイト全体）の保守の日時です。",
    .lastDays = "直近{0}日",
    .eventsTitle = "チャンネル{0}の保守記録",
    .noEvents = "記録なし",
    .allInsulators = "全碍子",
    .formTitle = "保守の記録",
    .kind = "種別",
    .localTime = "日時（現地時刻）",
    .note = "メモ",
    .enter = "記録する",
    .badSite = "このデータベースにないサイトです: {0}",
    .badChannel = "チャンネルは全碍子（0）または1〜{0}で指定してください（指定値: {1}）",
    .badKind = "種別は洗浄・点検・交換のいずれかです（指定値: {0}）",
    .badTime = "日時はサイトの現地時刻 YYYY-MM-DDTHH:MM で指定してください（指定値: {0}）",
    .futureTime = "日時が未来になっています",
    .longNote = "メモは{0}文字までです（{1}文字）",
    .refused = "データベースが記録を受け付けませんでした: {0}",
    .noForm = "保守の記録にはアクセストークンが必要です",
};

constexpr const char* kStageKeys[3] = {"caution", "warning", "danger"};
constexpr const char* kKindKeys[3] = {"washing", "inspection", "replacement"};

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The weight of one item's parameters (";q=0.8"); 1 when none is given.
double Weight(std::string_view params) {
  const std::size_t q = params.find("q=");
  if (q == std::string_view::npos) return 1;
  return std::strtod(std::string(params.substr(q + 2)).c_str(), nullptr);
}

}  // namespace

const Texts& TextsOf(Language language) { return language == Language::kJapanese ? kJapanese : kEnglish; }

Language PreferredLanguage(std::string_view header) {
  std::string best;
  double bestWeight = 0;
  std::size_t start = 0;
  while (start <= header.size()) {
    const std::size_t comma = std::min(header.find(',', start), header.size());
    const std::string_view item = header.substr(start, comma - start);
    const std::size_t semicolon = std::min(item.find(';'), item.size());
    const std::string_view tag = Trimmed(item.substr(0, semicolon));
    const double weight = Weight(item.substr(semicolon));
    if (!tag.empty() && weight > bestWeight) {
      best = Lower(tag);
      bestWeight = weight;
    }
    start = comma + 1;
  }
  // "ja", "ja-JP": the primary subtag decides.
  return best.substr(0, best.find('-')) == "ja" ? Language::kJapanese : Language::kEnglish;
}

std::optional<Language> LanguageNamed(std::string_view code) {
  if (code == "ja") return Language::kJapanese;
  if (code == "en") return Language::kEnglish;
  return std::nullopt;
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string> args) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::size_t index = i + 2 < pattern.size() && pattern[i] == '{' && pattern[i + 2] == '}'
                                  ? static_cast<std::size_t>(pattern[i + 1] - '0')
                                  : args.size();
    if (index < args.size()) {
      out += *(args.begin() + index);
      i += 2;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string StageText(const Texts& texts, const std::string& stage) {
  for (std::size_t i = 0; i < 3; ++i)
    if (stage == kStageKeys[i]) return texts.stageNames[i];
  return stage;
}

std::string KindText(const Texts& texts, const std::string& kind) {
  for (std::size_t i = 0; i < 3; ++i)
    if (kind == kKindKeys[i]) return texts.kindNames[i];
  return kind;
}

}  // namespace varnel::fleet::web
