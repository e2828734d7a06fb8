#include "web_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <thread>

#include "store/record_format.h"

namespace varnel::fleet::web::testing {

StoredRecord Record(int64_t epoch, int channels) {
  StoredRecord r;
  r.record.channels = channels;
  r.time = {epoch, kTokyoOffset};
  return r;
}

void SetChannel(StoredRecord& r, int ch, int column, float value) {
  const std::size_t at = column < store::kComponentsPerChannel ? store::ComponentIndex(ch - 1, column)
                                                               : store::PeakIndex(ch - 1, column - 6);
  r.record.values[at] = value;
}

void SetPeak(StoredRecord& r, int ch, float value) { SetChannel(r, ch, 6, value); }

void SetWeather(StoredRecord& r, int k, float value) { r.record.values[store::WeatherIndex(k)] = value; }

TestDb::TestDb(std::string database) : database_(std::move(database)), db_(MakeDatabase(database_)) { db_->Open(); }

int64_t TestDb::Site(const std::string& name, const std::string& zone) { return db_->RegisterSite(name, zone); }

void TestDb::Add(int64_t site, const std::vector<StoredRecord>& records) {
  for (std::size_t start = 0; start < records.size(); start += 2000) {
    Batch b;
    b.stream = "test";
    b.records.assign(records.begin() + static_cast<std::ptrdiff_t>(start),
                     records.begin() + static_cast<std::ptrdiff_t>(std::min(records.size(), start + 2000)));
    db_->Commit(site, b);
  }
}

void TestDb::AddSnapshot(int64_t site, const StoredSnapshot& snapshot) {
  Batch b;
  b.stream = "test";
  b.snapshots.push_back(snapshot);
  db_->Commit(site, b);
}

void TestDb::SetRegister(int64_t site, const std::vector<InsulatorEntry>& entries) {
  Batch b;
  b.stream = "test";
  b.insulators = entries;
  db_->Commit(site, b);
}

bool TestDb::AddEvent(int64_t site, const MaintenanceEvent& event) { return db_->AddEvent(site, event); }

double TrendLine::WetPeak(int day) const {
  if (!jitter) return Level(day);
  // A fixed scatter of day and channel (the fraction of a large sine),
  // within +-0.2 mA and without a period that a robust fit would see
  // through; one whose forecasts' intervals hold the lines' days, as about
  // nine scatters in ten do at 90 %.
  const double h = std::sin(day * 12.9898 + channel * 11.135) * 43758.5453;
  return Level(day) + 0.4 * (h - std::floor(h) - 0.5);
}

const TrendLine& ConditionFleet::Line(const std::string& site, int channel, int day) const {
  const TrendLine* found = nullptr;
  for (const TrendLine& l : lines)
    if (l.site == site && l.channel == channel && l.from <= day) found = &l;
  if (!found) throw std::logic_error("no line for " + site + " channel " + std::to_string(channel));
  return *found;
}

namespace {

void WriteDays(TestDb& db, int64_t site, const ConditionFleet& fleet, const std::string& name, int channels) {
  std::vector<StoredRecord> records;
  for (int day = 0; day < ConditionFleet::kDays; ++day)
    for (int hour = 0; hour < 4; ++hour) {
      const bool wet = hour >= 2;
      StoredRecord r = Record(kBase + day * 86400 + hour * 3600, channels);
      SetWeather(r, 2, ConditionFleet::kTemperatureC);
      SetWeather(r, 3, wet ? ConditionFleet::kWetHumidityPct : 50);
      for (int ch = 1; ch <= channels; ++ch) {
        SetPeak(r, ch, static_cast<float>(wet ? fleet.Line(name, ch, day).WetPeak(day) : ConditionFleet::kDryPeakMa));
        SetChannel(r, ch, 4, ConditionFleet::kMeanAbsoluteMa);
        for (std::size_t k = 0; k < ConditionFleet::kWetShares.size(); ++k)
          SetChannel(r, ch, 7 + static_cast<int>(k), wet ? ConditionFleet::kWetShares[k] : 0);
      }
      records.push_back(r);
    }
  db.Add(site, records);
}

}  // namespace

ConditionFleet WriteConditionFleet(TestDb& db) {
  ConditionFleet f;
  f.lines = {{"east", 1, 0, 1.0, 0.2, true},   {"east", 2, 0, 0.5, 0.06, true}, {"east", 3, 0, 0.8, 0.35, true},
             {"east", 4, 0, 1.0, 0.3, true},   {"east", 4, 15, 0.5, 0.25, true}, {"west", 1, 0, 1.0, 0, false},
             {"west", 2, 0, 1.0, 0, false}};
  f.east = db.Site("east");
  f.west = db.Site("west");
  f.idle = db.Site("idle");
  WriteDays(db, f.east, f, "east", 4);
  WriteDays(db, f.west, f, "west", 2);
  db.SetRegister(f.east, {{1, "E1", "glass", std::nullopt},
                          {2, ConditionFleet::kEastCh2Name, "porcelain", ConditionFleet::kEastCh2CriticalMa}});
  const int64_t day = 86400;
  f.eastWashing = kBase + 14 * day + 4 * 3600;
  f.eastInspection = kBase + 25 * day - 2 * 3600;
  f.westWashing = kBase + 5 * day + 4 * 3600;
  f.lastRecord = kBase + (ConditionFleet::kDays - 1) * day + 3 * 3600;
  db.AddEvent(f.east, {4, {f.eastWashing, kTokyoOffset}, MaintenanceKind::kWashing, "crew 2"});
  db.AddEvent(f.east, {0, {f.eastInspection, kTokyoOffset}, MaintenanceKind::kInspection, ""});
  db.AddEvent(f.west, {2, {f.westWashing, kTokyoOffset}, MaintenanceKind::kWashing, ""});
  for (std::size_t k = 0; k < 2; ++k) {
    StoredSnapshot s;
    s.name = k == 0 ? "20050630-1230Wev.dat" : "20050630-1330Wev.dat";
    s.time = {kBase + (ConditionFleet::kDays - 1) * day + 1800 + static_cast<int64_t>(k) * 3600, kTokyoOffset};
    s.channels = 4;
    s.peakCounts = {10, 10, 10, 10};
    s.peaksMa = {1, 1, 1, 1};
    s.harmonicsMa.assign(ConditionFleet::kCh1Harmonics[k].begin(), ConditionFleet::kCh1Harmonics[k].end());
    for (int ch = 2; ch <= 4; ++ch)
      s.harmonicsMa.insert(s.harmonicsMa.end(), ConditionFleet::kOtherHarmonics[k].begin(),
                           ConditionFleet::kOtherHarmonics[k].end());
    db.AddSnapshot(f.east, s);
  }
  return f;
}

std::filesystem::path ScreenshotDir() {
  if (const char* env = std::getenv("LW_SCREENSHOT_DIR"); env && *env) return env;
  return lw::testing::BinDir().parent_path() / "screenshots";
}

std::string DrawnPixelsScript(const std::string& selector) {
  return "Array.from(document.querySelectorAll('" + selector + " canvas')).reduce((n, c) => {"
         " if (!c.width || !c.height) return n;"
         " const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
         " let k = 0; for (let i = 3; i < d.length; i += 4) if (d[i] > 0) k++; return n + k; }, 0)";
}

std::string ServedAddress(const lw::testing::ChildProcess& web) {
  if (!web.WaitForOutput("serving http", std::chrono::seconds(20))) return "";
  std::smatch m;
  const std::string out = web.Output();
  if (!std::regex_search(out, m, std::regex("serving (https?://[^ ]+/)"))) return "";
  return m[1];
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  return lw::testing::WaitUntil(condition, [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); },
                                deadline);
}

HttpResult HttpGet(const std::string& url, const std::vector<std::pair<std::string, std::string>>& headers,
                   std::chrono::milliseconds deadline) {
  static int argc = 1;
  static char name[] = "fleet-web-test";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  QNetworkAccessManager manager;
  QNetworkRequest request(QUrl(QString::fromStdString(url)));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  for (const auto& [k, v] : headers) request.setRawHeader(QByteArray::fromStdString(k), QByteArray::fromStdString(v));
  QNetworkReply* reply = manager.get(request);
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  timer.start(deadline);
  loop.exec();
  HttpResult out;
  if (reply->isFinished()) {
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll().toStdString();
    out.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdString();
  } else {
    reply->abort();
  }
  reply->deleteLater();
  return out;
}

std::optional<TestCertificate> MakeTestCertificate(const lw::testing::TempDir& dir, const std::string& name) {
  const auto openssl = lw::testing::FindProgram("openssl");
  if (!openssl) {
    ADD_FAILURE() << "openssl is not installed (scripts/setup.sh installs it)";
    return std::nullopt;
  }
  TestCertificate made{dir.File(name + ".crt"), dir.File(name + ".key")};
  const lw::testing::ProgramRun run = lw::testing::RunProgram(
      *openssl, {"req", "-x509", "-batch", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=varnel-web test",
                 "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", made.key, "-out", made.certificate});
  if (run.status != 0) {
    ADD_FAILURE() << "openssl could not make a certificate: " << run.output;
    return std::nullopt;
  }
  return made;
}

CurlResult Curl(const std::vector<std::string>& args) {
  const auto curl = lw::testing::FindProgram("curl");
  if (!curl) {
    ADD_FAILURE() << "curl is not installed (scripts/setup.sh installs it)";
    return {};
  }
  // The HTTP status on a line of its own after the answer.
  std::vector<std::string> all = {"-q", "--silent", "--show-error", "--include", "--max-time", "20",
                                  "--write-out", "\n%{http_code}"};
  all.insert(all.end(), args.begin(), args.end());
  const lw::testing::ProgramRun run =
      lw::testing::RunProgram(*curl, all, {.workingDir = {}, .environment = {}, .separateErrors = true});
  CurlResult out;
  out.exitStatus = run.status;
  out.message = run.errors;
  const std::size_t last = run.output.rfind('\n');
  out.response = run.output.substr(0, last == std::string::npos ? 0 : last);
  out.httpStatus = std::atoi(run.output.c_str() + (last == std::string::npos ? 0 : last + 1));
  return out;
}

}  // namespace varnel::fleet::web::testing
