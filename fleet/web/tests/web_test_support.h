// Databases with known rows for varnel-web's tests, written through the
// collector's own engines (so the rows are exactly what varnel-collect
// stores), in SQLite or in a PostgreSQL server the test starts itself;
// and for HTTPS, a certificate made by openssl and requests by curl.
#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "database.h"
#include "postgres_server.h"

namespace varnel::fleet::web::testing {

// 2005-06-01 12:00:00 in Tokyo (+09:00): the tests' first record.
inline constexpr int64_t kBase = 1117594800;
inline constexpr int kTokyoOffset = 9 * 3600;
inline constexpr int64_t kMinute = 60;

// A record at `epoch` with every value 0.
StoredRecord Record(int64_t epoch, int channels = 4);
// Column c of channel ch (1-based) in the order of `channel_records`:
// 0..5 the components fhc..rms, 6 the peak, 7..10 time_pct_1..4,
// 11..14 half_cycle_pct_1..4.
void SetChannel(StoredRecord& r, int ch, int column, float value);
void SetPeak(StoredRecord& r, int ch, float value);
// Weather value k in the order of `records` (0 wind speed .. 7 maximum wind).
void SetWeather(StoredRecord& r, int k, float value);

// The collector's engine on a database, for writing the test's rows.
class TestDb {
 public:
  explicit TestDb(std::string database);
  int64_t Site(const std::string& name, const std::string& zone = "Asia/Tokyo");
  void Add(int64_t site, const std::vector<StoredRecord>& records);
  void AddSnapshot(int64_t site, const StoredSnapshot& snapshot);
  // The site's register of insulators, as its collector stores it.
  void SetRegister(int64_t site, const std::vector<InsulatorEntry>& entries);
  // False when the same event is there already.
  bool AddEvent(int64_t site, const MaintenanceEvent& event);

 private:
  std::string database_;
  std::unique_ptr<Database> db_;
};

// A fleet of known trends for the condition pages.  Every day d = 0..29
// from kBase (2005-06-01) has two dry records (12:00 and 13:00 in Tokyo:
// humidity 50 %, peak 0.3 mA, no time at the thresholds) and two wet ones
// (14:00 and 15:00: humidity 92 %, the insulator's line, the shares of
// kWetShares), all at 20 °C with a mean absolute current of 0.5 mA.
//   east  (4 channels) ch1..ch3 rise on lines of known slope; ch2 has its
//         own critical peak of 10 mA in the register; ch4 rises, is washed
//         on day 14 at 16:00 and rises again from a lower level; an
//         inspection of every insulator on day 25 at 10:00; two scheduled
//         snapshots on day 29 (12:30, 13:30) whose harmonics (I1, I3, I5,
//         I7) are kCh1Harmonics on channel 1 and kOtherHarmonics on the
//         others.
//   west  (2 channels) flat at 1 mA; ch2 washed on day 5.
//   idle  no records.
// The wet peaks carry a small fixed scatter (up to 0.2 mA) so that the
// forecast has an error and its interval a width; the flat lines carry none.
struct TrendLine {
  std::string site;
  int channel = 0;
  int from = 0;          // the first day of this line
  double intercept = 0;  // mA on day `from`
  double slope = 0;      // mA per day
  bool jitter = true;
  double Level(int day) const { return intercept + slope * (day - from); }
  // The day's highest wet peak as written.
  double WetPeak(int day) const;
  // Days from `day` until the line itself reaches `dangerMa`.
  double DaysToDanger(double dangerMa, int day) const { return (dangerMa - Level(day)) / slope; }
};

struct ConditionFleet {
  static constexpr int kDays = 30;
  static constexpr double kDryPeakMa = 0.3;
  static constexpr double kMeanAbsoluteMa = 0.5;
  static constexpr double kTemperatureC = 20;
  static constexpr double kWetHumidityPct = 92;
  // time_pct_1..4 and half_cycle_pct_1..4 of a wet record.
  static constexpr std::array<float, 8> kWetShares{40, 10, 0, 0, 30, 6, 0, 0};
  static constexpr double kEastCh2CriticalMa = 10;
  static constexpr const char* kEastCh2Name = "E2 <line 2> & \"T\"";
  static constexpr std::array<std::array<double, 4>, 2> kCh1Harmonics{{{1, 0.2, 0.1, 0.05}, {1, 0.4, 0.1, 0.1}}};
  static constexpr std::array<std::array<double, 4>, 2> kOtherHarmonics{{{2, 0.2, 0.1, 0.1}, {2, 0.6, 0.2, 0.1}}};
  int64_t east = 0, west = 0, idle = 0;
  std::vector<TrendLine> lines;  // in the order of their days; ch4's two
  int64_t eastWashing = 0;       // east ch4
  int64_t eastInspection = 0;    // east, every insulator
  int64_t westWashing = 0;       // west ch2
  int64_t lastRecord = 0;
  // The line of an insulator on `day` (the newest that began by then).
  const TrendLine& Line(const std::string& site, int channel, int day = kDays - 1) const;
};
ConditionFleet WriteConditionFleet(TestDb& db);

// Where the browser tests put their screenshots: LW_SCREENSHOT_DIR, else
// the build folder's screenshots/.
std::filesystem::path ScreenshotDir();
// A JavaScript expression: the drawn pixels (not fully transparent) of
// every canvas under `selector`.
std::string DrawnPixelsScript(const std::string& selector);

// The address a varnel-web program says it serves ("http://127.0.0.1:PORT/",
// or https), waited for up to 20 s; "" when it says none.
std::string ServedAddress(const lw::testing::ChildProcess& web);

// Polls `condition` every 50 ms until it holds; false at the deadline (for
// programs and servers of the test's, which run on their own).
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

// A GET through Qt's HTTP client, bounded by a deadline.
struct HttpResult {
  int status = 0;  // 0: no answer
  std::string body;
  std::string contentType;
};
HttpResult HttpGet(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers = {},
                   std::chrono::milliseconds deadline = std::chrono::seconds(30));

// A self-signed certificate for the IP address 127.0.0.1 and its private
// key, made by the openssl program as NAME.crt and NAME.key in `dir`;
// nullopt (with a failure reported) when openssl cannot make them.
struct TestCertificate {
  std::string certificate;  // the files' paths
  std::string key;
};
std::optional<TestCertificate> MakeTestCertificate(const lw::testing::TempDir& dir, const std::string& name);

// A request by the curl program (without ~/.curlrc, bounded by its own
// --max-time).  exitStatus is curl's: 0 an answer, 60 a certificate it
// does not trust, 52 or 56 no HTTP answer at all.
struct CurlResult {
  int exitStatus = -1;
  int httpStatus = 0;    // 0: no answer
  std::string response;  // the answer's headers and body
  std::string message;   // what curl wrote to its standard error
};
CurlResult Curl(const std::vector<std::string>& args);

}  // namespace varnel::fleet::web::testing
