#include "site_zone.h"

#include <QDateTime>

namespace varnel::fleet {

std::optional<SiteZone> SiteZone::Named(const std::string& id) {
  QTimeZone zone(QByteArray::fromStdString(id));
  if (!zone.isValid()) return std::nullopt;
  return SiteZone(zone);
}

SiteZone SiteZone::System() { return SiteZone(QTimeZone::systemTimeZone()); }

std::string SiteZone::Id() const { return zone_.id().toStdString(); }

namespace {

// Shifts of the clocks at the end of daylight-saving time, 30 min to 2 h.
constexpr int kClockShifts[] = {1800, 3600, 7200};

// The wall time read as UTC: minus an instant, the offset of that instant
// (exact whatever the zone's rules; Qt's own offset of an instant in a
// repeated hour is not always that instant's).
int64_t WallSeconds(const QDate& date, const QTime& time) {
  return QDateTime(date, time, QTimeZone::utc()).toSecsSinceEpoch();
}

}  // namespace

Instant SiteZone::At(int64_t epochSeconds) const {
  const QDateTime local = QDateTime::fromSecsSinceEpoch(epochSeconds, zone_);
  return {epochSeconds, static_cast<int>(WallSeconds(local.date(), local.time()) - epochSeconds)};
}

Instant SiteZone::Resolve(const text::LocalDateTime& t) const {
  const QDate date(t.year, t.month, t.day);
  const QTime time(t.hour, t.minute, t.second);
  // A time in a gap (clocks going forward) counts forward, as Qt moves it.
  int64_t epoch = QDateTime(date, time, zone_).toSecsSinceEpoch();
  // A wall time that comes twice: the first occurrence, whichever Qt chose.
  for (int shift : kClockShifts) {
    const QDateTime earlier = QDateTime::fromSecsSinceEpoch(epoch - shift, zone_);
    if (earlier.date() == date && earlier.time() == time) {
      epoch -= shift;
      break;
    }
  }
  return At(epoch);
}

Instant SiteZone::ResolveAfter(const text::LocalDateTime& t, int64_t previous) const {
  const Instant first = Resolve(t);
  if (first.epochSeconds > previous) return first;
  // A repeated wall time lies one shift of the clocks later (30 min to 2 h).
  const QDate date(t.year, t.month, t.day);
  const QTime time(t.hour, t.minute, t.second);
  for (int shift : kClockShifts) {
    const QDateTime later = QDateTime::fromSecsSinceEpoch(first.epochSeconds + shift, zone_);
    if (later.date() == date && later.time() == time && first.epochSeconds + shift > previous)
      return At(first.epochSeconds + shift);
  }
  return first;
}

}  // namespace varnel::fleet
