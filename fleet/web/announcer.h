// The alarm command: run once for every begin and every end of an episode
// (alarms.h), also across restarts of varnel-web.
//
// varnel-web runs it, not the collector: the rules and their stages live in
// varnel-web's configuration, where the pages show the same episodes; one
// varnel-web watches every site of a shared database while each site has
// its own collector; and the collector, whose work is to store every
// record exactly once, never waits on a mail gateway.  Since varnel-web
// opens the database read-only, what it has announced is kept in a small
// state file of its own, written whole (a new file renamed over the old):
//   - per site and rule, the newest record time already looked at, and the
//     episodes announced as begun and not yet as ended;
//   - the announcements decided but not yet started.
// A pass looks only at records newer than the last one looked at, decides
// the changes, saves the state, and only then starts the commands, one
// after the other; each leaves the queue, saved, before it starts.  So a
// change is announced once: a restart neither repeats a started command
// nor forgets a decided one.  (A crash in the instant between saving and
// starting leaves that one command unrun; it is never run twice.)
//
// On the first pass for a site and rule (no state yet, or a new rule), the
// last day is looked at without announcing its history: only the episodes
// open now are announced as begun.
//
// With the insulators' own limits (assessment.h), their rule is watched
// like the configured ones, and each insulator's forecast too: "forecast"
// is announced once when its days to danger fall below the lead time (the
// value is those days, the unit "days", the stage the most severe), and
// again only after the forecast has been beyond the lead time (a washing,
// a rain) in between.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "alarms.h"
#include "assessment.h"

namespace varnel::fleet::web {

struct Announcement {
  std::string event;  // "began", "ended" or "forecast"
  std::string site;
  int channel = 0;
  std::string rule;
  std::string stage;
  std::string quantity;  // "peak", "time_pct_2", ...
  std::string unit;
  double value = 0;  // began: the value that began it; ended: the episode's largest
  int64_t time = 0;  // when it began or ended (a record's time)
  std::string localTime;  // the site's local time with its offset
  friend bool operator==(const Announcement&, const Announcement&) = default;
};

// Runs the configured command for one announcement; `done` follows when it
// has ended (or could not start), on the same event thread.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  virtual void Run(const Announcement& a, std::function<void(bool ok, const std::string& detail)> done) = 0;
};

class Announcer {
 public:
  using Log = std::function<void(const std::string&)>;
  // `condition`: the insulators' limits and forecasts to watch as well
  // (nullptr: only the configured rules).
  Announcer(FleetStore& store, const AlarmSettings& settings, std::string statePath, CommandRunner& runner, Log log,
            const ConditionSettings* condition = nullptr);

  // Reads the state file; a missing file is a first start.  False with the
  // reason when the file is there but unreadable (nothing is overwritten).
  bool Load(std::string& why);
  // One pass over every site; throws DbError when the database fails
  // (nothing of that pass is kept then).  Starts the commands.
  void Check();
  std::size_t Pending() const { return pending_.size(); }
  bool Running() const { return running_; }

 private:
  struct OpenEpisode {
    int channel = 0;
    std::string stage;
    Episode episode;
  };
  struct RuleState {
    int64_t through = 0;
    std::vector<OpenEpisode> open;
  };
  using SiteState = std::map<std::string, RuleState>;  // by rule name

  void CheckSite(const SiteRow& site, std::vector<Announcement>& out);
  void CheckForecasts(const SiteRow& site, const LatestRecord& latest, std::vector<Announcement>& out);
  void CheckRule(const SiteRow& site, const AlarmRule& rule, int64_t latest, bool first, RuleState& state,
                 std::vector<Announcement>& out);
  Announcement Make(const char* event, const SiteRow& site, const AlarmRule& rule, const Episode& e, int64_t time,
                    double value) const;
  bool Save();
  void Pump();

  FleetStore& store_;
  const AlarmSettings& settings_;
  const ConditionSettings* condition_;
  AlarmSettings current_;  // the configured rules and the insulators' limits, as of this pass
  std::vector<InsulatorRow> insulators_;
  std::vector<MaintenanceRow> maintenance_;
  // Per site: the newest record whose forecasts were looked at, and the
  // channels announced as within the lead time (with their days then).
  std::map<std::string, int64_t> forecastThrough_;
  std::map<std::string, std::map<int, double>> forecasts_;
  std::string statePath_;
  CommandRunner& runner_;
  Log log_;
  std::map<std::string, SiteState> sites_;  // by site name
  std::deque<Announcement> pending_;
  bool running_ = false;
  bool saved_ = true;
  bool changed_ = false;  // state moved on since the last save
};

// The local time text of an instant in a zone ("2005-06-01 15:30:00+09:00").
std::string LocalTimeText(int64_t epochSeconds, const std::string& timeZone);

}  // namespace varnel::fleet::web
