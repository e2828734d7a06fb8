#include "import.h"

#include <filesystem>

#include "collector.h"
#include "file_reader.h"
#include "snapshots.h"

namespace varnel::fleet {

namespace fs = std::filesystem;

ImportSummary ImportFiles(Database& db, int64_t siteId, const SiteZone& zone, const std::vector<std::string>& files,
                          const ImportOptions& options, const std::function<void(const ImportProgress&)>& progress,
                          const std::function<void(const std::string&)>& log) {
  ImportSummary summary;
  ImportProgress& p = summary.totals;
  std::error_code ec;
  for (const std::string& f : files) p.bytesTotal += fs::file_size(f, ec) * (ec ? 0 : 1);

  std::vector<StoredSnapshot> snapshots;
  auto commitSnapshots = [&] {
    if (snapshots.empty()) return;
    Batch b;
    b.snapshots = std::move(snapshots);
    p.snapshotsAdded += db.Commit(siteId, b).snapshotsAdded;
    snapshots.clear();
  };

  for (const std::string& file : files) {
    const std::string path = fs::absolute(file, ec).string();
    if (LooksLikeSnapshot(fs::path(path).filename().string())) {
      std::string why;
      auto snap = LoadSnapshotFile(path, zone, options.shuntOhm, options.powerHz, options.storeWaveforms, &why);
      if (!snap) {
        summary.failures.push_back(why);
        continue;
      }
      p.bytesDone += snap->fileSize;
      snapshots.push_back(std::move(*snap));
      if (snapshots.size() >= 50) commitSnapshots();
      progress(p);
      continue;
    }
    FileReader reader;
    std::string why;
    if (!reader.Open(path, &why)) {
      summary.failures.push_back(why);
      continue;
    }
    const std::string stream = "import:" + path;
    const std::optional<FilePosition> stored = db.LoadPosition(siteId, stream);
    if (stored && reader.Matches(*stored)) reader.ResumeAt(*stored);
    const uint64_t start = reader.Position().offset;
    const std::size_t beforeHorizon = p.recordsBeforeHorizon;
    std::optional<int64_t> lastTime;  // instant of the record before, in this file
    p.bytesDone += start;
    for (;;) {
      FileReader::Chunk chunk = reader.Read(options.batchRecords, options.binaryChannels);
      if (!chunk.any) break;
      for (const std::string& problem : chunk.problems) log(path + ": " + problem);
      Batch batch;
      batch.stream = stream;
      batch.position = chunk.next;
      batch.wetHumidityPct = options.wetHumidityPct;
      batch.recordSeconds = options.recordSeconds;
      std::optional<int64_t> previous = lastTime;
      for (DataRecord& r : chunk.records) {
        const Instant time = previous ? zone.ResolveAfter(r.time, *previous) : zone.Resolve(r.time);
        previous = time.epochSeconds;
        batch.records.push_back({std::move(r), time});
      }
      const CommitResult done = db.Commit(siteId, batch);
      lastTime = previous;
      p.bytesDone += chunk.next.offset - reader.Position().offset;
      p.recordsRead += batch.records.size();
      p.recordsAdded += done.recordsAdded;
      p.recordsBeforeHorizon += done.recordsBeforeHorizon;
      reader.Advance(chunk.next);
      progress(p);
    }
    if (p.recordsBeforeHorizon > beforeHorizon) log(BeforeHorizonNote(path, p.recordsBeforeHorizon - beforeHorizon));
    const uint64_t size = reader.Size();
    if (reader.Position().offset < size) {
      log(path + ": " + std::to_string(size - reader.Position().offset) +
          " bytes at its end are no whole record; left for a later import");
      p.bytesDone += size - reader.Position().offset;
    }
  }
  commitSnapshots();
  progress(p);
  return summary;
}

}  // namespace varnel::fleet
