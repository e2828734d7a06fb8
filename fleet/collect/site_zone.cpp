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

Instant SiteZone::Resolve(const text::LocalDateTime& t) const {
  const QDateTime local(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second), zone_);
  Instant out;
  out.epochSeconds = local.toSecsSinceEpoch();
  out.offsetSeconds = local.offsetFromUtc();
  return out;
}

}  // namespace varnel::fleet
