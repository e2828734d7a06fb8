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

}  // namespace

Instant SiteZone::Resolve(const text::LocalDateTime& t) const {
  const QDate date(t.year, t.month, t.day);
  const QTime time(t.hour, t.minute, t.second);
  const QDateTime local(date, time, zone_);
  Instant out{local.toSecsSinceEpoch(), local.offsetFromUtc()};
  // A wall time that comes twice: the first occurrence, whichever Qt chose.
  for (int shift : kClockShifts) {
    const QDateTime earlier = QDateTime::fromSecsSinceEpoch(out.epochSeconds - shift, zone_);
    if (earlier.date() == date && earlier.time() == time) return {out.epochSeconds - shift, earlier.offsetFromUtc()};
  }
  return out;
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
      return {first.epochSeconds + shift, later.offsetFromUtc()};
  }
  return first;
}

}  // namespace varnel::fleet
