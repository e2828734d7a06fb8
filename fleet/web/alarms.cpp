#include "alarms.h"

#include <algorithm>

namespace varnel::fleet::web {

namespace {
// Records read at a time while following episodes over a range.
constexpr std::size_t kPage = 20000;
}  // namespace

bool AlarmRule::AppliesToSite(const std::string& site) const {
  return sites.empty() || std::find(sites.begin(), sites.end(), site) != sites.end();
}

bool AlarmRule::Applies(const std::string& site, int channel) const {
  return AppliesToSite(site) && std::find(channels.begin(), channels.end(), channel) != channels.end();
}

const AlarmRule::Levels& AlarmRule::LevelsOf(const std::string& site, int channel) const {
  const auto s = insulatorLevels.find(site);
  if (s == insulatorLevels.end()) return levels;
  const auto c = s->second.find(channel);
  return c == s->second.end() ? levels : c->second;
}

double AlarmRule::LowestLevel(const std::string& site, int channel) const {
  std::optional<double> lowest;
  for (const auto& l : LevelsOf(site, channel))
    if (l && (!lowest || *l < *lowest)) lowest = l;
  return lowest.value_or(0);
}

int AlarmRule::StageOf(double value, const std::string& site, int channel) const {
  const Levels& of = LevelsOf(site, channel);
  for (int s = static_cast<int>(of.size()) - 1; s >= 0; --s) {
    const auto& l = of[static_cast<std::size_t>(s)];
    if (l && value >= *l) return s;
  }
  return -1;
}

std::optional<Episode> EpisodeTracker::Feed(const TimedValue& record) {
  if (record.value < level_) return std::nullopt;
  if (open_ && record.time - open_->lastAtOrAbove <= hold_) {
    open_->lastAtOrAbove = record.time;
    if (record.value > open_->largest.value) open_->largest = record;
    return std::nullopt;
  }
  std::optional<Episode> closed = std::move(open_);
  open_ = Episode{rule_, stage_, channel_, record.time, record.time, std::nullopt, record, record};
  return closed;
}

std::optional<Episode> EpisodeTracker::Settle(int64_t latest) {
  if (!open_ || latest - open_->lastAtOrAbove <= hold_) return std::nullopt;
  std::optional<Episode> closed = std::move(open_);
  open_.reset();
  return closed;
}

std::vector<Episode> SiteEpisodes(FleetStore& store, const AlarmSettings& settings, const SiteRow& site,
                                  TimeRange range, int64_t latest) {
  std::vector<Episode> out;
  for (const AlarmRule& rule : settings.rules) {
    if (!rule.AppliesToSite(site.name)) continue;
    for (int channel : rule.channels) {
      std::vector<EpisodeTracker> trackers;
      const AlarmRule::Levels& levels = rule.LevelsOf(site.name, channel);
      for (std::size_t s = 0; s < levels.size(); ++s)
        if (levels[s]) trackers.emplace_back(rule, site.name, static_cast<int>(s), channel);
      // Closed episodes end at the channel's first record after their last
      // one at or above the level; those are looked up all at once below.
      std::vector<Episode> closedEpisodes;
      auto finish = [&](Episode e) { closedEpisodes.push_back(std::move(e)); };
      // Records from the range's start until every episode begun in the
      // range is settled: an episode may run on past the range's end.
      TimeRange window{range.from, std::max(range.to, latest + 1)};
      for (;;) {
        const auto page = AtOrAboveSeries(store, site.id, channel, *rule.quantity, rule.LowestLevel(site.name, channel), window, kPage);
        bool done = page.size() < kPage;
        for (const TimedValue& r : page) {
          bool anyOpen = false;
          for (EpisodeTracker& t : trackers) {
            if (r.time >= range.to) {
              // Past the range only the episodes begun in it go on; a record
              // `hold` after an episode's last one settles it.
              if (!t.Open()) continue;
              if (auto closed = t.Settle(r.time)) finish(std::move(*closed));
              else if (r.value >= t.Level()) t.Feed(r);
            } else if (auto closed = t.Feed(r)) {
              finish(std::move(*closed));
            }
          }
          for (const EpisodeTracker& t : trackers) anyOpen = anyOpen || t.Open();
          if (r.time >= range.to && !anyOpen) {
            done = true;
            break;
          }
        }
        if (done || page.empty()) break;
        window.from = page.back().time + 1;
      }
      for (EpisodeTracker& t : trackers) {
        if (auto closed = t.Settle(latest)) finish(std::move(*closed));
        else if (t.Open()) out.push_back(*t.Open());
      }
      std::vector<int64_t> lasts;
      lasts.reserve(closedEpisodes.size());
      for (const Episode& e : closedEpisodes) lasts.push_back(e.lastAtOrAbove);
      const auto ends = store.NextRecordTimes(site.id, channel, lasts);
      for (std::size_t i = 0; i < closedEpisodes.size(); ++i) {
        closedEpisodes[i].ended = i < ends.size() ? ends[i] : std::nullopt;
        out.push_back(std::move(closedEpisodes[i]));
      }
    }
  }
  std::sort(out.begin(), out.end(), [](const Episode& a, const Episode& b) {
    return std::tie(a.began, a.channel, a.rule, a.stage) < std::tie(b.began, b.channel, b.rule, b.stage);
  });
  return out;
}

std::vector<ChannelStage> CurrentStages(FleetStore& store, const AlarmSettings& settings, const SiteRow& site,
                                        int64_t latest) {
  return CurrentStagesOf(store, settings, {{&site, latest}}).front();
}

std::vector<std::vector<ChannelStage>> CurrentStagesOf(FleetStore& store, const AlarmSettings& settings,
                                                       const std::vector<SiteLatest>& sites) {
  std::vector<std::vector<ChannelStage>> out(sites.size());
  for (const AlarmRule& rule : settings.rules) {
    // A value at or above a level no more than `hold` before the newest
    // record keeps that stage's episode open.
    std::vector<SiteRange> windows;
    std::vector<std::size_t> of;
    for (std::size_t i = 0; i < sites.size(); ++i) {
      if (!rule.AppliesToSite(sites[i].site->name)) continue;
      windows.push_back({sites[i].site->id, {sites[i].latest - rule.holdSeconds, sites[i].latest + 1}});
      of.push_back(i);
    }
    const auto maxima = ChannelMaximaSeries(store, *rule.quantity, windows);
    for (std::size_t w = 0; w < maxima.size(); ++w) {
      std::vector<ChannelStage>& stages = out[of[w]];
      for (const ChannelExtreme& m : maxima[w]) {
        if (std::find(rule.channels.begin(), rule.channels.end(), m.channel) == rule.channels.end()) continue;
        const int stage = rule.StageOf(m.max.value, sites[of[w]].site->name, m.channel);
        if (stage < 0) continue;
        auto it = std::find_if(stages.begin(), stages.end(), [&](const ChannelStage& c) { return c.channel == m.channel; });
        if (it == stages.end()) {
          stages.push_back({m.channel, stage, rule.name, m.max});
        } else if (stage > it->stage) {
          *it = {m.channel, stage, rule.name, m.max};
        }
      }
    }
  }
  for (auto& stages : out)
    std::sort(stages.begin(), stages.end(),
              [](const ChannelStage& a, const ChannelStage& b) { return a.channel < b.channel; });
  return out;
}

}  // namespace varnel::fleet::web
