// The words of varnel-web's condition pages and of every page's navigation,
// in English and Japanese: one table per language, so that a text is added
// to both at once and none is left in one language only.
//
// The language follows the browser: Japanese when the first language the
// browser prefers (Accept-Language) is Japanese, English otherwise; a page
// asked with ?lang=ja or ?lang=en is shown in that language.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::fleet::web {

enum class Language { kEnglish, kJapanese };

// Texts with "{0}", "{1}", ... are patterns for Fill.
struct Texts {
  const char* code;  // the <html lang> value: "en", "ja"

  // Navigation.
  const char* navFleet;
  const char* navWash;

  // The washing ranking.
  const char* washTitle;
  const char* washIntro;     // {0}: the lead time in days
  const char* noInsulators;
  const char* rank;
  const char* site;
  const char* channel;
  const char* insulator;
  const char* stageNow;
  const char* criticalPeak;
  const char* fromRegister;
  const char* fromDefault;
  const char* latestWetPeak;
  const char* daysToDanger;
  const char* lastWashing;
  const char* never;
  const char* inDays;         // {0} estimate, {1} earliest, {2} latest
  const char* inDaysOpenEnd;  // {0} estimate, {1} earliest
  const char* notRising;
  const char* tooFewWetDays;  // {0} wet days since the reset, {1} needed
  const char* atDanger;
  const char* withinLead;     // {0}: the lead time in days
  const char* sinceWashing;   // {0}: the day after the washing
  const char* sinceRain;      // {0}: the first day after the heavy rain
  const char* stageNone;
  const char* stageNames[3];  // the default stages: caution, warning, danger

  // Maintenance kinds: washing, inspection, replacement.
  const char* kindNames[3];

  // The site page's sections.
  const char* conditionTitle;
  const char* limitLevels;
  const char* forecast;
  const char* lastMaintenance;
  const char* latestDayTitle;  // {0}: the day
  const char* peakMax;
  const char* wetPeakMax;
  const char* charge;
  const char* timePct;       // over the thresholds' numbers
  const char* halfCyclePct;
  const char* dewDepression;
  const char* ratios;
  const char* noDays;
  const char* dailyTitle;  // {0}: the channel
  const char* dailyNote;
  const char* lastDays;    // {0}: how many
  const char* eventsTitle;  // {0}: the channel
  const char* noEvents;
  const char* allInsulators;

  // The maintenance form.
  const char* formTitle;
  const char* kind;
  const char* localTime;
  const char* note;
  const char* enter;

  // The form's refusals.
  const char* badSite;     // {0}: the name given
  const char* badChannel;  // {0}: the highest channel, {1}: what was given
  const char* badKind;     // {0}: what was given
  const char* badTime;     // {0}: what was given
  const char* futureTime;
  const char* longNote;    // {0}: the longest, {1}: the length given
  const char* refused;     // {0}: the database's reason
  const char* noForm;
};

const Texts& TextsOf(Language language);

// The language of a browser's Accept-Language header ("ja,en-US;q=0.9"):
// its first preference by weight (the earlier on a tie).
Language PreferredLanguage(std::string_view acceptLanguage);
// "ja" or "en"; nullopt for anything else.
std::optional<Language> LanguageNamed(std::string_view code);

// `pattern` with "{0}", "{1}", ... replaced by the arguments.
std::string Fill(std::string_view pattern, std::initializer_list<std::string> args);

// A stage's name as shown: the default stages in the page's language, a
// configured name as it is.
std::string StageText(const Texts& texts, const std::string& stage);
// "washing", "inspection", "replacement" in the page's language.
std::string KindText(const Texts& texts, const std::string& kind);

}  // namespace varnel::fleet::web
