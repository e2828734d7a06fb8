// The one-off import of existing files (months of old data) through the
// same reader and the same commits as the collector: records keyed by site
// and time, positions per file, so an import that stops (or the database
// that fails) is simply run again and goes on where it stopped; records
// already stored (collected before, or imported twice) are not added again.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "site_zone.h"

namespace varnel::fleet {

struct ImportOptions {
  int binaryChannels = 16;
  double shuntOhm = 330;
  bool storeWaveforms = false;
  std::size_t batchRecords = 5000;
  std::optional<int> powerHz = std::nullopt;  // harmonics of the snapshots; nullopt: none
  double wetHumidityPct = 85;    // daily indicators (indicators.h)
  int64_t recordSeconds = 3600;  // the data save interval, when known
};

struct ImportProgress {
  uint64_t bytesDone = 0;
  uint64_t bytesTotal = 0;
  std::size_t recordsRead = 0;
  std::size_t recordsAdded = 0;
  std::size_t recordsBeforeHorizon = 0;  // left out (retention)
  std::size_t snapshotsAdded = 0;
};

struct ImportSummary {
  ImportProgress totals;
  std::vector<std::string> failures;  // files that could not be imported
};

// Data files in either form and waveform snapshots ("...Wev.dat"); throws
// DbError when the database fails (what was committed stays).
ImportSummary ImportFiles(Database& db, int64_t siteId, const SiteZone& zone, const std::vector<std::string>& files,
                          const ImportOptions& options, const std::function<void(const ImportProgress&)>& progress,
                          const std::function<void(const std::string&)>& log);

}  // namespace varnel::fleet
