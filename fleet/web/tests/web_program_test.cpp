// varnel-web as a program, over HTTP: the pages and JSON of a site folder's
// database, the refusal to serve other addresses without a token, the
// token on every request, HTTPS with a certificate of the test's own
// (through the curl program) and the refusals of a certificate that cannot
// serve or of plain HTTP on an open address, and the alarm command run
// once per change across a restart of the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "collect_test_support.h"
#include "files.h"
#include "schema.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace std::chrono_literals;
using namespace testing;
using lw::testing::BinDir;
using lw::testing::ChildProcess;

std::unique_ptr<ChildProcess> StartWeb(const std::vector<std::string>& args) {
  return std::make_unique<ChildProcess>(BinDir() / "varnel-web", args);
}

using lw::testing::ReadFile;

constexpr const char* kToken = "5rZ0q1mC8tA2vL9xK4wE7yH";

class WebProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDb>(dir_.File("records.sqlite"));
    site_ = db_->Site("hill 7");
    Add(0, 30, [](int m) { return m >= 25 ? 6.0f : 1.0f; });
  }
  void Add(int from, int to, const std::function<float(int)>& peak) {
    std::vector<StoredRecord> records;
    for (int m = from; m < to; ++m) {
      StoredRecord r = Record(kBase + m * kMinute);
      SetPeak(r, 1, peak(m));
      SetWeather(r, 3, 80);
      records.push_back(r);
    }
    db_->Add(site_, records);
  }
  void WriteFile(const std::string& name, const std::string& text, mode_t mode = 0644) {
    std::ofstream(dir_.File(name)) << text;
    ::chmod(dir_.File(name).c_str(), mode);
  }

  lw::testing::TempDir dir_{"lw-web"};
  std::unique_ptr<TestDb> db_;
  int64_t site_ = 0;
};

TEST_F(WebProgram, ServesTheSiteFoldersDatabaseOnLoopbackAndRefusesOtherAddressesWithoutAToken) {
  auto web = StartWeb({"--site-dir", dir_.Path().string(), "--port", "0"});
  const std::string base = ServedAddress(*web);
  ASSERT_EQ(base.rfind("http://127.0.0.1:", 0), 0u) << web->Output();

  const HttpResult fleet = HttpGet(base);
  EXPECT_EQ(fleet.status, 200) << fleet.body;
  EXPECT_EQ(fleet.contentType, "text/html; charset=utf-8");
  EXPECT_NE(fleet.body.find(">hill 7</a>"), std::string::npos) << fleet.body;
  const HttpResult trend = HttpGet(base + "api/trend?site=hill%207&channels=1&quantities=peak&points=10");
  EXPECT_EQ(trend.status, 200) << trend.body;
  EXPECT_NE(trend.body.find("[" + std::to_string(kBase + 25 * kMinute) + ",6]"), std::string::npos) << trend.body;
  const HttpResult bad = HttpGet(base + "api/trend?site=hill+7&channels=0");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.body.find("'channels'"), std::string::npos) << bad.body;
  const HttpResult chart = HttpGet(base + "static/dygraph.min.js");
  EXPECT_EQ(chart.status, 200);

  web->Signal(SIGTERM);
  EXPECT_EQ(web->WaitForExit(20s), 0) << web->Output();

  // Another address without a token: refused before it listens.
  auto open = StartWeb({"--site-dir", dir_.Path().string(), "--listen", "0.0.0.0", "--port", "0"});
  EXPECT_EQ(open->WaitForExit(20s), 2);
  EXPECT_NE(open->Output().find("needs an access token"), std::string::npos) << open->Output();
  // A token too short to be one.
  WriteFile("short.token", "secret\n", 0600);
  auto weak = StartWeb({"--site-dir", dir_.Path().string(), "--token-file", dir_.File("short.token"), "--port", "0"});
  EXPECT_EQ(weak->WaitForExit(20s), 2);

  // With a token, every request carries it.
  const std::string token = "5rZ0q1mC8tA2vL9xK4wE7yH";
  WriteFile("web.token", token + "\n", 0600);
  auto guarded = StartWeb({"--site-dir", dir_.Path().string(), "--token-file", dir_.File("web.token"), "--port", "0"});
  const std::string guardedBase = ServedAddress(*guarded);
  ASSERT_FALSE(guardedBase.empty()) << guarded->Output();
  EXPECT_EQ(HttpGet(guardedBase + "api/fleet").status, 401);
  EXPECT_EQ(HttpGet(guardedBase + "static/app.js").status, 401);
  EXPECT_EQ(HttpGet(guardedBase + "api/fleet", {{"Authorization", "Bearer " + token}}).status, 200);
  EXPECT_EQ(HttpGet(guardedBase + "api/fleet?token=" + token).status, 200);
  EXPECT_EQ(HttpGet(guardedBase + "api/fleet", {{"Authorization", "Bearer " + token.substr(1)}}).status, 401);
}

TEST_F(WebProgram, ServesHttpsWithItsCertificateOnlyAndKeepsTheTokenCookieToHttps) {
  const auto certificate = MakeTestCertificate(dir_, "web");
  ASSERT_TRUE(certificate);
  WriteFile("web.token", std::string(kToken) + "\n", 0600);
  WriteFile("varnel-web.ini",
            "[Web]\nTlsCertificate=" + certificate->certificate + "\nTlsKey=" + certificate->key + "\n");
  auto web = StartWeb({"--site-dir", dir_.Path().string(), "--token-file", dir_.File("web.token"), "--port", "0"});
  const std::string base = ServedAddress(*web);
  ASSERT_EQ(base.rfind("https://127.0.0.1:", 0), 0u) << web->Output();
  const std::string bearer = "Authorization: Bearer " + std::string(kToken);

  // Trusting that certificate, and checking the name 127.0.0.1 in it.
  const CurlResult fleet = Curl({"--cacert", certificate->certificate, "-H", bearer, base + "api/fleet"});
  EXPECT_EQ(fleet.exitStatus, 0) << fleet.message;
  EXPECT_EQ(fleet.httpStatus, 200) << fleet.response;
  EXPECT_NE(fleet.response.find("\"hill 7\""), std::string::npos) << fleet.response;
  EXPECT_EQ(Curl({"--cacert", certificate->certificate, base + "api/fleet"}).httpStatus, 401);
  // A page opened with ?token=: the browser sends the cookie back over TLS only.
  const CurlResult page = Curl({"--cacert", certificate->certificate, base + "site?site=hill+7&token=" + kToken});
  EXPECT_EQ(page.httpStatus, 303) << page.response;
  EXPECT_NE(page.response.find("varnel_token=" + std::string(kToken) + "; Path=/; HttpOnly; SameSite=Strict; Secure"),
            std::string::npos)
      << page.response;

  // Without that certificate to trust, curl refuses the server.
  const CurlResult untrusted = Curl({"-H", bearer, base + "api/fleet"});
  EXPECT_EQ(untrusted.exitStatus, 60) << untrusted.message;
  EXPECT_EQ(untrusted.httpStatus, 0);
  // Plain HTTP to the same port gets no HTTP answer, not even an error page.
  const CurlResult plain = Curl({"-H", bearer, "http://" + base.substr(std::string("https://").size()) + "api/fleet"});
  EXPECT_NE(plain.exitStatus, 0);
  EXPECT_EQ(plain.httpStatus, 0);
  EXPECT_EQ(plain.response.find("HTTP/"), std::string::npos) << plain.response;
  // And the server goes on answering over TLS.
  EXPECT_EQ(Curl({"--cacert", certificate->certificate, "-H", bearer, base + "api/fleet"}).httpStatus, 200);
  web->Signal(SIGTERM);
  EXPECT_EQ(web->WaitForExit(20s), 0) << web->Output();
}

TEST_F(WebProgram, RefusesACertificateThatCannotServeAndPlainHttpOnAnOpenAddressUnlessAllowed) {
  const auto one = MakeTestCertificate(dir_, "one");
  const auto other = MakeTestCertificate(dir_, "other");
  ASSERT_TRUE(one && other);
  WriteFile("web.token", std::string(kToken) + "\n", 0600);
  WriteFile("maybe.ini", "[Web]\nAllowPlainHttp=maybe\n");
  const std::vector<std::string> common = {"--site-dir", dir_.Path().string(), "--token-file", dir_.File("web.token"),
                                           "--port", "0"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), common.begin(), common.end());
    return more;
  };

  // Each one stops with a line saying why, before it listens.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"--tls-cert", one->certificate, "--tls-key", other->key}, "does not belong to the certificate"},
      {{"--tls-cert", one->certificate}, "needs both the certificate and its key"},
      {{"--tls-cert", one->key, "--tls-key", one->key}, "holds no PEM certificate"},
      {{"--tls-cert", one->certificate, "--tls-key", one->certificate}, "holds no PEM private key"},
      {{"--tls-cert", one->certificate, "--tls-key", dir_.File("missing.key")}, "cannot read the TLS key"},
      {{"--listen", "0.0.0.0"}, "give --tls-cert FILE and --tls-key FILE (TlsCertificate=, TlsKey= in [Web]), "
                                "or --allow-plain-http"},
      {{"--listen", "0.0.0.0", "--config", dir_.File("maybe.ini")}, "AllowPlainHttp must be true or false"},
  };
  for (const auto& [args, says] : refusals) {
    const lw::testing::ProgramRun run = lw::testing::RunProgram(BinDir() / "varnel-web", with(args), {}, 20s);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find(says), std::string::npos) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  }

  // Allowed in so many words, plain HTTP on every address.
  auto open = StartWeb(with({"--listen", "0.0.0.0", "--allow-plain-http"}));
  const std::string base = ServedAddress(*open);
  ASSERT_EQ(base.rfind("http://0.0.0.0:", 0), 0u) << open->Output();
  const std::string loopback = "http://127.0.0.1:" + base.substr(std::string("http://0.0.0.0:").size());
  EXPECT_EQ(HttpGet(loopback + "api/fleet", {{"Authorization", "Bearer " + std::string(kToken)}}).status, 200);
  open->Signal(SIGTERM);
  EXPECT_EQ(open->WaitForExit(20s), 0) << open->Output();
}

TEST_F(WebProgram, TheAlarmCommandRunsOncePerStageChangeAlsoWhenTheProgramIsRestarted) {
  // The command appends its arguments to a file.
  WriteFile("alarm.sh", "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/alarms.txt\"\n", 0755);
  WriteFile("varnel-web.ini",
            "[Alarms]\nCommand=" + dir_.File("alarm.sh") + "\nCheckSeconds=1\nHoldMinutes=10\n"
            "[Rule peak current]\nQuantity=peak\nChannels=1\nwarning=5\n"
            // This rule's announcements only, not the insulators' own limits.
            "[Condition]\nActive=false\n");
  const std::string alarms = dir_.File("alarms.txt");
  auto lines = [&] {
    const std::string text = ReadFile(alarms);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };

  auto web = StartWeb({"--site-dir", dir_.Path().string(), "--port", "0"});
  ASSERT_FALSE(ServedAddress(*web).empty()) << web->Output();
  // Warning open since minute 25 (the first look announces what is open).
  ASSERT_TRUE(Eventually([&] { return lines() >= 1; }, 30s)) << web->Output();
  EXPECT_EQ(ReadFile(alarms), "began hill 7 1 warning 6 mA 2005-06-01 12:25:00+09:00 peak current peak\n");
  web->Signal(SIGTERM);
  ASSERT_EQ(web->WaitForExit(20s), 0) << web->Output();

  // Restarted: nothing again.  Then the records end the episode and begin
  // a new one while it runs.
  web = StartWeb({"--site-dir", dir_.Path().string(), "--port", "0"});
  ASSERT_FALSE(ServedAddress(*web).empty()) << web->Output();
  ASSERT_TRUE(web->WaitForOutput("varnel-web", 5s));
  Add(30, 60, [](int m) { return m == 50 ? 8.0f : 1.0f; });
  ASSERT_TRUE(Eventually([&] { return lines() >= 3; }, 30s)) << web->Output() << ReadFile(alarms);
  web->Signal(SIGTERM);
  ASSERT_EQ(web->WaitForExit(20s), 0) << web->Output();
  // And once more: a new record is looked at (the state file says so) and
  // nothing is repeated.
  web = StartWeb({"--site-dir", dir_.Path().string(), "--port", "0"});
  ASSERT_FALSE(ServedAddress(*web).empty()) << web->Output();
  Add(60, 61, [](int) { return 1.0f; });
  const std::string lookedAt = "\"through\": " + std::to_string(kBase + 60 * kMinute);
  ASSERT_TRUE(Eventually([&] { return ReadFile(dir_.File("varnel-web.state")).find(lookedAt) != std::string::npos; }, 30s))
      << ReadFile(dir_.File("varnel-web.state"));
  web->Signal(SIGTERM);
  ASSERT_EQ(web->WaitForExit(20s), 0) << web->Output();
  EXPECT_EQ(ReadFile(alarms),
            "began hill 7 1 warning 6 mA 2005-06-01 12:25:00+09:00 peak current peak\n"
            "ended hill 7 1 warning 6 mA 2005-06-01 12:30:00+09:00 peak current peak\n"
            "began hill 7 1 warning 8 mA 2005-06-01 12:50:00+09:00 peak current peak\n");
}

TEST_F(WebProgram, ADatabaseOfAnotherSchemaVersionIsAnswered503SayingWhatToUpgradeAndANewerOneEndsTheStart) {
  // Made before schema versions: 503 until the new collector has opened it.
  const std::string v1 = dir_.File("v1.sqlite");
  std::filesystem::copy_file(fleet::testing::TestDataFile("records-v1.sqlite"), v1);
  const std::string older = "run the new varnel-collect once to upgrade it";
  auto web = StartWeb({"--db", v1, "--state", dir_.File("v1.state"), "--port", "0"});
  std::string base = ServedAddress(*web);
  ASSERT_FALSE(base.empty()) << web->Output();
  EXPECT_NE(web->Output().find(older + "; serving 503 until it is upgraded"), std::string::npos) << web->Output();
  HttpResult answer = HttpGet(base + "api/fleet");
  EXPECT_EQ(answer.status, 503);
  EXPECT_NE(answer.body.find(older), std::string::npos) << answer.body;
  MakeDatabase(v1)->Open();
  answer = HttpGet(base + "api/fleet");
  EXPECT_EQ(answer.status, 200);
  EXPECT_NE(answer.body.find("\"hill-7\""), std::string::npos) << answer.body;
  web->Signal(SIGTERM);
  ASSERT_EQ(web->WaitForExit(20s), 0) << web->Output();

  // A database that appears later, made by a later release: found at the
  // next open, logged and answered with 503.
  const std::string later = dir_.File("later.sqlite");
  const std::string newer = "the database has schema version " + std::to_string(schema::kSchemaVersion + 1) +
                            "; this varnel-web knows up to " + std::to_string(schema::kSchemaVersion) +
                            ": upgrade varnel-web";
  web = StartWeb({"--db", later, "--state", dir_.File("later.state"), "--port", "0"});
  base = ServedAddress(*web);
  ASSERT_FALSE(base.empty()) << web->Output();
  MakeDatabase(later)->Open();
  fleet::testing::StampSchemaVersion(later, schema::kSchemaVersion + 1);
  answer = HttpGet(base + "site?site=hill+7");
  EXPECT_EQ(answer.status, 503);
  EXPECT_NE(answer.body.find(newer), std::string::npos) << answer.body;
  EXPECT_TRUE(web->WaitForOutput(newer, 5s)) << web->Output();
  web->Signal(SIGTERM);
  ASSERT_EQ(web->WaitForExit(20s), 0) << web->Output();

  // Such a database at the start ends the program with the message.
  web = StartWeb({"--db", later, "--state", dir_.File("later.state"), "--port", "0"});
  EXPECT_EQ(web->WaitForExit(20s), 1);
  EXPECT_NE(web->Output().find("SQLite " + later + ": " + newer), std::string::npos) << web->Output();
}

}  // namespace
}  // namespace varnel::fleet::web
