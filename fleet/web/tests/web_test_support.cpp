#include "web_test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <cstdlib>
#include <regex>
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
