// The site's time zone: record times are the site's local time, stored as
// instants with the zone's offset at that time.
#pragma once

#include <QTimeZone>
#include <optional>
#include <string>

#include "database.h"
#include "text/numforms.h"

namespace varnel::fleet {

class SiteZone {
 public:
  // An IANA zone name ("Asia/Tokyo", "UTC"); nullopt when unknown.
  static std::optional<SiteZone> Named(const std::string& id);
  // The machine's zone.
  static SiteZone System();

  std::string Id() const;
  // The instant of a local time.  A time in a daylight-saving gap counts
  // forward; a repeated hour takes its first occurrence.
  Instant Resolve(const text::LocalDateTime& local) const;
  // The same for records that follow each other: when the clocks went back
  // and the local time comes again, the occurrence after `previous` (the
  // instant of the record before) is taken.
  Instant ResolveAfter(const text::LocalDateTime& local, int64_t previous) const;

 private:
  // An instant with the zone's offset at it.
  Instant At(int64_t epochSeconds) const;
  explicit SiteZone(QTimeZone zone) : zone_(std::move(zone)) {}
  QTimeZone zone_;
};

}  // namespace varnel::fleet
