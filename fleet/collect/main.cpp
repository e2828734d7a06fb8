// varnel-collect: writes a site's records and waveform snapshots into a
// database as they appear, or imports existing files once.
//
//   varnel-collect [OPTIONS]                 follow the site (until SIGINT/SIGTERM)
//   varnel-collect [OPTIONS] --import FILE... import files once, with a progress bar
//   varnel-collect [OPTIONS] --event KIND --channel N|all [--at TIME] [--note TEXT]
//                                            enter a washing, inspection or replacement
//
// Options (each may also stand in collect.ini in the site folder, section
// [Collect]: Site, Database, TimeZone, DataFile, Channels, StoreWaveforms,
// KeepRawMonths, WetHumidity, Insulators):
//   --site-dir DIR       the site folder with SETDT.DAT (default: the current folder)
//   --site NAME          the site's name in the database (SQLite default: the
//                        site folder's name; PostgreSQL: required)
//   --db LOCATION        an SQLite file (default DIR/records.sqlite) or a
//                        PostgreSQL connection string ("postgresql://user@host/db",
//                        "host=... dbname=...")
//   --time-zone ZONE     the site's time zone, such as Asia/Tokyo (default: the machine's)
//   --data FILE          follow this data file instead of SETDT.DAT's
//   --channels 4|8|16    channels of binary records (default: SETDT.DAT's count)
//   --store-waveforms    store the snapshot files themselves as well
//   --interval MS        poll interval (default 2000)
//   --keep-raw-months N  keep the raw rows of N whole months before this one and
//                        drop older ones (PostgreSQL: their monthly partitions,
//                        for every site); the summaries stay (default: keep all)
//   --wet-humidity PCT   records with the outside humidity at or above this are
//                        wet in the daily indicators (default 85)
//   --insulators FILE    the site's register of insulators (default DIR/insulators.ini)
//   --once               one round, then end (exit status 1 when the database failed)
//   --event KIND         washing, inspection or replacement of the insulator on
//   --channel N|all      channel N (1..16) or of all the site's insulators,
//   --at TIME            at the site's local time "2026-12-01 10:30" (default: now),
//   --note TEXT          with what was done or seen
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QSettings>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "collector.h"
#include "import.h"
#include "settings/setdt.h"

namespace {

namespace fs = std::filesystem;
using namespace varnel::fleet;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int g_stopPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], &c, 1);
}

void Log(const std::string& message) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &tm);
  std::cerr << "varnel-collect " << stamp << " " << message << std::endl;
}

struct Options {
  fs::path siteDir = ".";
  std::string site;
  std::string db;
  std::string timeZone;
  std::string dataFile;
  int channels = 0;
  bool storeWaveforms = false;
  int intervalMs = 2000;
  int keepRawMonths = -1;  // -1: not given
  bool once = false;
  std::vector<std::string> imports;
  bool importMode = false;
  double wetHumidity = -1;  // -1: not given
  std::string insulators;
  std::string event;  // a maintenance kind: enter it and end
  std::string eventChannel;
  std::string eventAt;
  std::string eventNote;
};

void Usage(std::ostream& out) {
  out << "usage: varnel-collect [--site-dir DIR] [--site NAME] [--db FILE|CONNINFO] [--time-zone ZONE]\n"
         "                      [--data FILE] [--channels 4|8|16] [--store-waveforms] [--interval MS]\n"
         "                      [--keep-raw-months N] [--wet-humidity PCT] [--insulators FILE] [--once]\n"
         "       varnel-collect [same options] --import FILE...\n"
         "       varnel-collect [same options] --event washing|inspection|replacement --channel N|all\n"
         "                      [--at \"YYYY-MM-DD HH:MM\"] [--note TEXT]\n"
         "Follows the site's data file and waveform snapshots into SQLite (default DIR/records.sqlite)\n"
         "or PostgreSQL (a connection string).  Options may also stand in DIR/collect.ini, [Collect].\n";
}

// A relative humidity of 1 to 100 %.
bool ParseHumidity(const std::string& text, double& pct) {
  try {
    std::size_t used = 0;
    pct = std::stod(text, &used);
    return used == text.size() && pct >= 1 && pct <= 100;
  } catch (...) {
    return false;
  }
}

// A month count of 1 to 1200.
bool ParseMonths(const std::string& text, int& months) {
  try {
    std::size_t used = 0;
    months = std::stoi(text, &used);
    return used == text.size() && months >= 1 && months <= 1200;
  } catch (...) {
    return false;
  }
}

bool ParseArgs(int argc, char** argv, Options& o, bool& helpShown) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        std::cerr << "varnel-collect: " << a << " needs a value\n";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (o.importMode) {
      o.imports.push_back(a);
    } else if (a == "-h" || a == "--help") {
      Usage(std::cout);
      helpShown = true;
      return false;
    } else if (a == "--site-dir") {
      if (!value(v)) return false;
      o.siteDir = v;
    } else if (a == "--site") {
      if (!value(o.site)) return false;
    } else if (a == "--db") {
      if (!value(o.db)) return false;
    } else if (a == "--time-zone") {
      if (!value(o.timeZone)) return false;
    } else if (a == "--data") {
      if (!value(o.dataFile)) return false;
    } else if (a == "--channels") {
      if (!value(v)) return false;
      if (v != "4" && v != "8" && v != "16") {
        std::cerr << "varnel-collect: --channels takes 4, 8 or 16, not \"" << v << "\"\n";
        return false;
      }
      o.channels = std::stoi(v);
    } else if (a == "--store-waveforms") {
      o.storeWaveforms = true;
    } else if (a == "--interval") {
      if (!value(v)) return false;
      try {
        o.intervalMs = std::stoi(v);
      } catch (...) {
        o.intervalMs = 0;
      }
      if (o.intervalMs < 10 || o.intervalMs > 3'600'000) {
        std::cerr << "varnel-collect: --interval takes milliseconds from 10 to 3600000, not \"" << v << "\"\n";
        return false;
      }
    } else if (a == "--keep-raw-months") {
      if (!value(v)) return false;
      if (!ParseMonths(v, o.keepRawMonths)) {
        std::cerr << "varnel-collect: --keep-raw-months takes a number of months from 1 to 1200, not \"" << v
                  << "\"\n";
        return false;
      }
    } else if (a == "--wet-humidity") {
      if (!value(v)) return false;
      if (!ParseHumidity(v, o.wetHumidity)) {
        std::cerr << "varnel-collect: --wet-humidity takes a relative humidity from 1 to 100 %, not \"" << v << "\"\n";
        return false;
      }
    } else if (a == "--insulators") {
      if (!value(o.insulators)) return false;
    } else if (a == "--event") {
      if (!value(o.event)) return false;
      if (!ParseMaintenanceKind(o.event)) {
        std::cerr << "varnel-collect: --event takes washing, inspection or replacement, not \"" << o.event << "\"\n";
        return false;
      }
    } else if (a == "--channel") {
      if (!value(o.eventChannel)) return false;
    } else if (a == "--at") {
      if (!value(o.eventAt)) return false;
    } else if (a == "--note") {
      if (!value(o.eventNote)) return false;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--import") {
      o.importMode = true;
    } else {
      std::cerr << "varnel-collect: unknown option \"" << a << "\"\n";
      return false;
    }
  }
  if (!o.event.empty() && (o.importMode || o.eventChannel.empty())) {
    std::cerr << "varnel-collect: --event needs --channel N|all and goes without --import\n";
    return false;
  }
  if (o.event.empty() && (!o.eventChannel.empty() || !o.eventAt.empty() || !o.eventNote.empty())) {
    std::cerr << "varnel-collect: --channel, --at and --note go with --event\n";
    return false;
  }
  if (o.importMode && o.imports.empty()) {
    std::cerr << "varnel-collect: --import needs at least one file\n";
    return false;
  }
  return true;
}

// Values from DIR/collect.ini where the command line gave none.
void ApplySiteFile(Options& o) {
  const fs::path file = o.siteDir / "collect.ini";
  std::error_code ec;
  if (!fs::exists(file, ec)) return;
  QSettings ini(QString::fromStdString(file.string()), QSettings::IniFormat);
  ini.beginGroup("Collect");
  auto take = [&](const char* key, std::string& target) {
    if (target.empty() && ini.contains(key)) target = ini.value(key).toString().toStdString();
  };
  take("Site", o.site);
  take("Database", o.db);
  take("TimeZone", o.timeZone);
  take("DataFile", o.dataFile);
  if (o.channels == 0 && ini.contains("Channels")) {
    const int channels = ini.value("Channels").toInt();
    if (channels == 4 || channels == 8 || channels == 16)
      o.channels = channels;
    else
      std::cerr << "varnel-collect: Channels=" << ini.value("Channels").toString().toStdString() << " in " << file
                << " is not 4, 8 or 16; left out\n";
  }
  if (!o.storeWaveforms) o.storeWaveforms = ini.value("StoreWaveforms", false).toBool();
  take("Insulators", o.insulators);
  if (o.wetHumidity < 0 && ini.contains("WetHumidity")) {
    const std::string v = ini.value("WetHumidity").toString().toStdString();
    if (!ParseHumidity(v, o.wetHumidity)) {
      o.wetHumidity = -1;
      std::cerr << "varnel-collect: WetHumidity=" << v << " in " << file
                << " is no relative humidity from 1 to 100; 85 is used\n";
    }
  }
  if (o.keepRawMonths < 0 && ini.contains("KeepRawMonths")) {
    const std::string v = ini.value("KeepRawMonths").toString().toStdString();
    if (!ParseMonths(v, o.keepRawMonths)) {
      o.keepRawMonths = -1;
      std::cerr << "varnel-collect: KeepRawMonths=" << v << " in " << file
                << " is no number of months from 1 to 1200; every raw row is kept\n";
    }
  }
}

std::string ProgressLine(const ImportProgress& p, double seconds) {
  const double fraction = p.bytesTotal ? static_cast<double>(p.bytesDone) / static_cast<double>(p.bytesTotal) : 1;
  const int width = 30;
  const int filled = static_cast<int>(fraction * width + 0.5);
  char line[160];
  std::snprintf(line, sizeof line, "\r[%-*s] %3d%%  %zu records (%zu new)  %.0f records/s ", width,
                std::string(static_cast<std::size_t>(std::clamp(filled, 0, width)), '#').c_str(),
                static_cast<int>(fraction * 100 + 0.5), p.recordsRead, p.recordsAdded,
                seconds > 0 ? static_cast<double>(p.recordsRead) / seconds : 0.0);
  return line;
}

int RunImport(Database& db, int64_t siteId, const SiteZone& zone, const Options& o, ImportOptions io) {
  io.storeWaveforms = o.storeWaveforms;
  if (o.wetHumidity > 0) io.wetHumidityPct = o.wetHumidity;
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto last = start - std::chrono::seconds(1);
  auto progress = [&](const ImportProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    if (!terminal || now - last < std::chrono::milliseconds(200)) return;
    last = now;
    std::cerr << ProgressLine(p, std::chrono::duration<double>(now - start).count()) << std::flush;
  };
  ImportSummary s;
  try {
    s = ImportFiles(db, siteId, zone, o.imports, io, progress, [&](const std::string& m) {
      if (terminal) std::cerr << "\n";
      Log(m);
    });
  } catch (const DbError& e) {
    if (terminal) std::cerr << "\n";
    Log(std::string(e.what()) + "; run the import again to go on where it stopped");
    return kExitFailed;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (terminal) std::cerr << ProgressLine(s.totals, seconds) << "\n";
  for (const std::string& f : s.failures) Log(f);
  Log("imported " + std::to_string(s.totals.recordsRead) + " records (" + std::to_string(s.totals.recordsAdded) +
      " new) and " + std::to_string(s.totals.snapshotsAdded) + " snapshots in " + std::to_string(seconds) + " s");
  return s.failures.empty() ? kExitOk : kExitFailed;
}

// "2026-12-01 10:30" (or with seconds, or "2026/12/01 ..."), the site's
// local time.
std::optional<varnel::text::LocalDateTime> ParseEventTime(std::string text) {
  std::replace(text.begin(), text.end(), '-', '/');
  if (text.size() == 16) text += ":00";
  return ParseGeneralDateTime(text);
}

int RunEvent(Database& db, const SiteZone& zone, const Options& o) {
  MaintenanceEvent e;
  e.kind = *ParseMaintenanceKind(o.event);
  e.note = o.eventNote;
  if (o.eventChannel == "all") {
    e.channel = 0;
  } else {
    try {
      std::size_t used = 0;
      e.channel = std::stoi(o.eventChannel, &used);
      if (used != o.eventChannel.size()) e.channel = -1;
    } catch (...) {
      e.channel = -1;
    }
    if (e.channel < 1 || e.channel > 16) {
      std::cerr << "varnel-collect: --channel takes 1 to 16 or all, not \"" << o.eventChannel << "\"\n";
      return kExitUsage;
    }
  }
  if (o.eventAt.empty()) {
    e.time = zone.At(static_cast<int64_t>(std::time(nullptr)));
  } else if (const auto local = ParseEventTime(o.eventAt)) {
    e.time = zone.Resolve(*local);
  } else {
    std::cerr << "varnel-collect: --at takes the site's local time as \"2026-12-01 10:30\", not \"" << o.eventAt
              << "\"\n";
    return kExitUsage;
  }
  try {
    db.Open();
    const bool added = db.AddEvent(db.RegisterSite(o.site, zone.Id()), e);
    std::cout << MaintenanceKindName(e.kind) << " of " << (e.channel ? "channel " + std::to_string(e.channel) : "every insulator")
              << " at " << IsoLocalText(e.time) << (added ? " entered" : " was entered before; left as it is")
              << " for site \"" << o.site << "\"\n";
    return kExitOk;
  } catch (const DbError& e2) {
    Log(e2.what());
    return kExitFailed;
  }
}

int RunFollow(Database& db, const SiteZone& zone, const Options& o) {
  CollectorOptions co;
  co.siteName = o.site;
  co.siteDir = o.siteDir;
  if (!o.dataFile.empty()) co.dataPath = o.dataFile;
  if (o.channels) co.binaryChannels = o.channels;
  co.storeWaveforms = o.storeWaveforms;
  co.keepRawMonths = std::max(0, o.keepRawMonths);
  co.pollInterval = std::chrono::milliseconds(o.intervalMs);
  if (o.wetHumidity > 0) co.wetHumidityPct = o.wetHumidity;
  if (!o.insulators.empty()) co.registerFile = o.insulators;
  co.snapshotInterval = std::max(co.pollInterval, std::chrono::milliseconds(5000));
  Collector collector(db, zone, co);
  collector.log = Log;

  if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kExitFailed;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  Log("collecting site \"" + o.site + "\" (" + zone.Id() + ") from " + fs::absolute(o.siteDir).string() + " into " +
      db.Describe());
  std::size_t total = 0;
  for (;;) {
    const PollReport r = collector.Poll(std::chrono::steady_clock::now());
    total += r.recordsAdded;
    if (r.recordsAdded) Log("stored " + std::to_string(r.recordsAdded) + " records (" + std::to_string(total) + " in this run)");
    if (r.snapshotsAdded) Log("registered " + std::to_string(r.snapshotsAdded) + " snapshots");
    if (o.once && !r.morePending) return r.databaseDown ? kExitFailed : kExitOk;
    pollfd p{g_stopPipe[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(r.wait.count()));
    if (ready > 0) break;
  }
  Log("stopping; " + std::to_string(total) + " records stored in this run");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool helpShown = false;
  if (!ParseArgs(argc, argv, o, helpShown)) {
    if (!helpShown) Usage(std::cerr);
    return helpShown ? kExitOk : kExitUsage;
  }
  std::error_code ec;
  if (!fs::is_directory(o.siteDir, ec)) {
    std::cerr << "varnel-collect: site folder " << o.siteDir << " does not exist\n";
    return kExitUsage;
  }
  ApplySiteFile(o);
  if (o.db.empty()) o.db = (o.siteDir / "records.sqlite").string();
  if (o.site.empty()) {
    if (IsPostgresConnection(o.db)) {
      std::cerr << "varnel-collect: a shared PostgreSQL database needs the site's name: --site NAME or "
                   "Site= in collect.ini\n";
      return kExitUsage;
    }
    o.site = fs::weakly_canonical(fs::absolute(o.siteDir), ec).filename().string();
  }
  std::optional<SiteZone> zone = o.timeZone.empty() ? SiteZone::System() : SiteZone::Named(o.timeZone);
  if (!zone) {
    std::cerr << "varnel-collect: unknown time zone \"" << o.timeZone << "\" (use a name such as Asia/Tokyo)\n";
    return kExitUsage;
  }

  std::unique_ptr<Database> db = MakeDatabase(o.db);
  if (!o.event.empty()) return RunEvent(*db, *zone, o);
  if (!o.importMode) return RunFollow(*db, *zone, o);

  ImportOptions io;
  io.binaryChannels = o.channels;
  if (const auto bytes = varnel::ReadSettingsBytes(o.siteDir / varnel::kSettingsFileName)) {
    const varnel::StoredSettings s = varnel::DecodeSettings(*bytes);
    if (io.binaryChannels == 0 && s.groupCount && (*s.groupCount == 1 || *s.groupCount == 2 || *s.groupCount == 4))
      io.binaryChannels = 4 * *s.groupCount;
    if (s.shuntOhm && *s.shuntOhm >= varnel::kMinShuntOhm && *s.shuntOhm <= varnel::kMaxShuntOhm) io.shuntOhm = *s.shuntOhm;
    if (s.dataInterval && *s.dataInterval >= 1 && *s.dataInterval <= 60) io.recordSeconds = *s.dataInterval * 60;
    if (s.freqIndex == 0 || s.freqIndex == 1) io.powerHz = *s.freqIndex == 0 ? 50 : 60;
  }
  if (io.binaryChannels == 0) io.binaryChannels = 16;
  try {
    db->Open();
    const int64_t siteId = db->RegisterSite(o.site, zone->Id());
    return RunImport(*db, siteId, *zone, o, io);
  } catch (const DbError& e) {
    Log(e.what());
    return kExitFailed;
  }
}
