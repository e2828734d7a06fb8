// Staged alarms on the records of a channel.
//
// A rule watches one quantity of `channel_records` (the peak current, the
// share of time at or above a detection threshold, ...) on some sites and
// channels, with a level per stage: for example caution at 2 mA, warning
// at 5 mA, danger at 10 mA.  Stages are ordered from mild to severe, the
// same order for every rule.
//
// Each stage of a rule has its own episodes, from the records alone:
//   - an episode begins with a record whose value is at or above the
//     stage's level, unless such a record came no more than `hold` before
//     it (then that record's episode goes on);
//   - it ends with the first record after its last record at or above the
//     level; that end is certain once the channel has a record more than
//     `hold` after that last record.  Until then the episode is open.
// So a value that dips below a level for a few records and comes back
// within `hold` does not end and begin the stage again.  A site whose
// records stop leaves its episodes open.  The stage of a channel now is
// the most severe stage with an open episode: a value at or above its
// level no more than `hold` before the site's newest record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace varnel::fleet::web {

struct AlarmRule {
  std::string name;
  const Quantity* quantity = nullptr;      // a quantity of ChannelQuantities()
  std::vector<std::string> sites;          // empty: every site
  std::vector<int> channels;               // 1..16
  using Levels = std::vector<std::optional<double>>;
  Levels levels;  // per stage of AlarmSettings::stages
  // Levels of each insulator's own (by site name and channel), where they
  // differ from insulator to insulator: a channel listed takes these
  // instead of `levels`.
  std::map<std::string, std::map<int, Levels>> insulatorLevels;
  int64_t holdSeconds = 0;

  bool Applies(const std::string& site, int channel) const;
  bool AppliesToSite(const std::string& site) const;
  const Levels& LevelsOf(const std::string& site, int channel) const;
  // The smallest level in use on a channel.
  double LowestLevel(const std::string& site, int channel) const;
  // The most severe stage whose level `value` reaches on a channel; -1 for
  // none.
  int StageOf(double value, const std::string& site, int channel) const;
};

struct AlarmSettings {
  std::vector<std::string> stages{"caution", "warning", "danger"};
  std::vector<AlarmRule> rules;
};

struct Episode {
  std::string rule;
  int stage = 0;  // index into AlarmSettings::stages
  int channel = 0;
  int64_t began = 0;
  int64_t lastAtOrAbove = 0;
  std::optional<int64_t> ended;  // nullopt while open
  TimedValue first;              // the record that began it
  TimedValue largest;            // its largest value (earliest on a tie)
};

// The episodes of one stage of one rule on one channel, fed with that
// channel's records at or above the level, in time order.
class EpisodeTracker {
 public:
  EpisodeTracker(const AlarmRule& rule, const std::string& site, int stage, int channel)
      : rule_(rule.name), stage_(stage), channel_(channel),
        level_(rule.LevelsOf(site, channel)[static_cast<std::size_t>(stage)].value()), hold_(rule.holdSeconds) {}

  // A record of the channel whose value may be at or above the level.
  // Returns the episode this record closed (more than `hold` after the
  // last one), without its end time: that is the channel's first
  // record after `lastAtOrAbove`, which the caller looks up.
  std::optional<Episode> Feed(const TimedValue& record);
  // Closes the open episode when the channel's newest record at `latest`
  // lies more than `hold` after its last record at or above the level.
  std::optional<Episode> Settle(int64_t latest);

  const std::optional<Episode>& Open() const { return open_; }
  void Restore(std::optional<Episode> open) { open_ = std::move(open); }
  double Level() const { return level_; }

 private:
  std::string rule_;
  int stage_;
  int channel_;
  double level_;
  int64_t hold_;
  std::optional<Episode> open_;
};

// The episodes of a site's channels under the rules, of those that began in
// `range` (an episode running into the range from before it begins at the
// range's first record at or above the level).  In order of beginning.
std::vector<Episode> SiteEpisodes(FleetStore& store, const AlarmSettings& settings, const SiteRow& site,
                                  TimeRange range, int64_t latest);

struct ChannelStage {
  int channel = 0;
  int stage = -1;  // -1: none
  std::string rule;
  TimedValue value;  // the largest value no more than `hold` before the newest record
};

// The stage of each channel of the site now (only channels with a stage),
// given the time of the site's newest record.
std::vector<ChannelStage> CurrentStages(FleetStore& store, const AlarmSettings& settings, const SiteRow& site,
                                        int64_t latest);

// The same for many sites at once (a statement or three per rule), given
// the time of each one's newest record; in their order.
struct SiteLatest {
  const SiteRow* site = nullptr;
  int64_t latest = 0;
};
std::vector<std::vector<ChannelStage>> CurrentStagesOf(FleetStore& store, const AlarmSettings& settings,
                                                       const std::vector<SiteLatest>& sites);

}  // namespace varnel::fleet::web
