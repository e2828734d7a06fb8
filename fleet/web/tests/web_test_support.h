// Databases with known rows for varnel-web's tests, written through the
// collector's own engines (so the rows are exactly what varnel-collect
// stores), in SQLite or in a PostgreSQL server the test starts itself;
// and for HTTPS, a certificate made by openssl and requests by curl.
#pragma once

#include <chrono>
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

 private:
  std::string database_;
  std::unique_ptr<Database> db_;
};

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
