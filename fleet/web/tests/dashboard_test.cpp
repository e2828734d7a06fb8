// The dashboard's answers to requests, without a network: the JSON values
// against the rows the test wrote, the reduction of a trend, the alarms
// with their begin and end, escaping of what the database holds, the
// refusals of bad parameters, and the access token.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "dashboard.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace testing;

HttpRequest Get(const std::string& path, std::vector<std::pair<std::string, std::string>> query = {},
                std::map<std::string, std::string> headers = {{"host", "127.0.0.1:8710"}}) {
  HttpRequest r;
  r.path = path;
  r.query = std::move(query);
  r.headers = std::move(headers);
  return r;
}

QJsonObject Json(const HttpResponse& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }

AlarmSettings Stages() {
  AlarmSettings a;
  AlarmRule rule;
  rule.name = "peak current";
  rule.quantity = FindChannelQuantity("peak");
  rule.channels = {1, 2, 3, 4};
  rule.levels = {2.0, 5.0, 10.0};
  rule.holdSeconds = 10 * kMinute;
  a.rules.push_back(rule);
  return a;
}

class DashboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spec_ = dir_.File("records.sqlite");
    TestDb db(spec_);
    // "north": 2 days of records, channel 3 with a spike of 11.5 mA at
    // minute 1500 and caution between minutes 2000 and 2004.
    const int64_t north = db.Site("north");
    std::vector<StoredRecord> records;
    for (int m = 0; m < 2 * 1440; ++m) {
      StoredRecord r = Record(kBase + m * kMinute);
      for (int ch = 1; ch <= 4; ++ch) SetPeak(r, ch, 0.5f + 0.1f * static_cast<float>(ch));
      if (m == 1500) SetPeak(r, 3, 11.5f);
      if (m >= 2000 && m <= 2004) SetPeak(r, 3, 3.0f);
      SetWeather(r, 2, 18.5f);   // outside temperature
      SetWeather(r, 3, 92.0f);   // outside humidity
      SetWeather(r, 6, 1.5f);    // rain
      SetWeather(r, 0, 2.25f);   // wind
      records.push_back(r);
    }
    db.Add(north, records);
    // A site whose name a page must escape, quiet since its one record.
    const int64_t odd = db.Site("<b>odd</b> & \"quoted\"");
    StoredRecord r = Record(kBase);
    SetPeak(r, 1, 0.25f);
    db.Add(odd, {r});
    store_ = MakeSqliteFleetStore(spec_);
  }

  Dashboard Make(std::string token = "") {
    DashboardOptions o;
    o.alarms = Stages();
    // Only the configured rule: its episodes are the ones counted below
    // (the insulators' own limits are the condition pages' to test).
    o.condition.active = false;
    o.token = std::move(token);
    o.now = [] { return kBase + 2 * 1440 * kMinute + 5 * kMinute; };
    return Dashboard(*store_, o);
  }

  lw::testing::TempDir dir_{"lw-web"};
  std::string spec_;
  std::unique_ptr<FleetStore> store_;
};

const int64_t kNorthLast = kBase + (2 * 1440 - 1) * kMinute;

TEST_F(DashboardTest, FleetJsonHoldsEachSitesNewestRecordHighestPeakStageAndWeather) {
  Dashboard d = Make();
  const HttpResponse r = d.Handle(Get("/api/fleet"));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.contentType, "application/json");
  const QJsonArray sites = Json(r)["sites"].toArray();
  ASSERT_EQ(sites.size(), 2);
  // Sites in name order: "<b>odd..." before "north".
  const QJsonObject odd = sites[0].toObject();
  const QJsonObject north = sites[1].toObject();
  EXPECT_EQ(odd["name"].toString(), "<b>odd</b> & \"quoted\"");
  EXPECT_TRUE(odd["quiet"].toBool());
  EXPECT_EQ(odd["silentSeconds"].toInteger(), 2 * 1440 * kMinute + 5 * kMinute);

  EXPECT_EQ(north["lastRecord"].toInteger(), kNorthLast);
  EXPECT_EQ(north["lastRecordLocal"].toString(), "2005-06-03 11:59:00+09:00");
  EXPECT_FALSE(north["quiet"].toBool());  // 6 minutes: within the quiet limit
  // The last day reaches back to minute 1440: the spike (1500) is in it.
  const QJsonObject highest = north["highestPeak"].toObject();
  EXPECT_EQ(highest["channel"].toInt(), 3);
  EXPECT_EQ(highest["value"].toDouble(), 11.5);
  EXPECT_EQ(highest["time"].toInteger(), kBase + 1500 * kMinute);
  // Caution ended with minute 2004; the newest record is 873 minutes later.
  EXPECT_TRUE(north["stage"].isNull());
  const QJsonObject weather = north["weather"].toObject();
  EXPECT_EQ(weather["outside_temperature"].toDouble(), 18.5);
  EXPECT_EQ(weather["outside_humidity"].toDouble(), 92.0);
  EXPECT_EQ(weather["rain"].toDouble(), 1.5);
  EXPECT_EQ(weather["wind_speed"].toDouble(), 2.25);
}

TEST_F(DashboardTest, TrendOfAWeekKeepsTheSpikeWithinTheRequestedPointsAndAlarmsCarryTheirBeginAndEnd) {
  Dashboard d = Make();
  const HttpResponse r = d.Handle(
      Get("/api/trend", {{"site", "north"}, {"channels", "3,1"}, {"quantities", "peak"}, {"range", "week"}, {"points", "40"}}));
  ASSERT_EQ(r.status, 200) << r.body;
  const QJsonObject o = Json(r);
  EXPECT_EQ(o["to"].toInteger(), kNorthLast + 1);
  EXPECT_EQ(o["from"].toInteger(), kNorthLast + 1 - 7 * 24 * 3600);
  EXPECT_EQ(o["offsets"].toArray()[0].toArray()[1].toInt(), kTokyoOffset);
  const QJsonArray series = o["series"].toArray();
  ASSERT_EQ(series.size(), 2);
  EXPECT_EQ(series[0].toObject()["channel"].toInt(), 1);  // in channel order
  const QJsonObject ch3 = series[1].toObject();
  EXPECT_EQ(ch3["channel"].toInt(), 3);
  EXPECT_EQ(ch3["unit"].toString(), "mA");
  const QJsonArray max = ch3["max"].toArray();
  EXPECT_LE(max.size(), 40);
  bool spike = false;
  for (const QJsonValue& p : max)
    spike = spike || (p.toArray()[0].toInteger() == kBase + 1500 * kMinute && p.toArray()[1].toDouble() == 11.5);
  EXPECT_TRUE(spike) << r.body.substr(0, 400);

  const HttpResponse w = d.Handle(Get("/api/weather", {{"site", "north"}, {"quantities", "rain,outside_humidity"}}));
  ASSERT_EQ(w.status, 200) << w.body;
  const QJsonArray ws = Json(w)["series"].toArray();
  ASSERT_EQ(ws.size(), 2);
  EXPECT_EQ(ws[1].toObject()["quantity"].toString(), "outside_humidity");
  EXPECT_EQ(ws[1].toObject()["max"].toArray()[0].toArray()[1].toDouble(), 92.0);

  const HttpResponse a = d.Handle(Get("/api/alarms", {{"site", "north"}, {"range", "week"}}));
  ASSERT_EQ(a.status, 200) << a.body;
  const QJsonArray alarms = Json(a)["alarms"].toArray();
  // The spike is one record of each stage; caution again at 2000..2004.
  struct Want {
    const char* stage;
    int began, ended;
  };
  const Want want[] = {{"caution", 1500, 1501}, {"warning", 1500, 1501}, {"danger", 1500, 1501}, {"caution", 2000, 2005}};
  ASSERT_EQ(alarms.size(), 4) << a.body;
  for (int i = 0; i < 4; ++i) {
    const QJsonObject e = alarms[i].toObject();
    EXPECT_EQ(e["channel"].toInt(), 3);
    EXPECT_EQ(e["stage"].toString(), want[i].stage) << i;
    EXPECT_EQ(e["began"].toInteger(), kBase + want[i].began * kMinute) << i;
    EXPECT_EQ(e["ended"].toInteger(), kBase + want[i].ended * kMinute) << i;
  }
  EXPECT_EQ(alarms[3].toObject()["endedLocal"].toString(), "2005-06-02 21:25:00+09:00");
  EXPECT_EQ(alarms[3].toObject()["largest"].toArray()[1].toDouble(), 3.0);
  // One channel's alarms: channel 3 has them all, channels 1 and 2 none.
  const auto count = [&](const std::string& channels) {
    const HttpResponse c = d.Handle(Get("/api/alarms", {{"site", "north"}, {"range", "week"}, {"channels", channels}}));
    return c.status == 200 ? static_cast<int>(Json(c)["alarms"].toArray().size()) : -c.status;
  };
  EXPECT_EQ(count("3"), 4);
  EXPECT_EQ(count("2,3"), 4);
  EXPECT_EQ(count("1,2"), 0);
  EXPECT_EQ(count("17"), -400);
}

TEST_F(DashboardTest, BadParametersGetA400NamingTheParameterAndNeverReachTheDatabaseAsSql) {
  Dashboard d = Make();
  struct Case {
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    int status;
    std::string says;
  };
  const std::vector<Case> cases{
      {"/api/trend", {{"site", "north"}, {"channels", "17"}}, 400, "'channels'"},
      {"/api/trend", {{"site", "north"}, {"channels", "1;DROP TABLE records"}}, 400, "'channels'"},
      {"/api/trend", {{"site", "north"}, {"quantities", "peak,time"}}, 400, "unknown quantity \\\"time\\\""},
      {"/api/trend", {{"site", "north"}, {"quantities", "peak) FROM sites --"}}, 400, "unknown quantity"},
      {"/api/trend", {{"site", "north"}, {"points", "9"}}, 400, "'points' must be a whole number from 10 to 5000"},
      {"/api/trend", {{"site", "north"}, {"points", "1e3"}}, 400, "'points'"},
      {"/api/trend", {{"site", "north"}, {"range", "fortnight"}}, 400, "'range'"},
      {"/api/trend", {{"site", "north"}, {"from", "2005-06-02"}, {"to", "2005-06-01"}}, 400, "'from' must lie before 'to'"},
      {"/api/trend", {{"site", "north"}, {"from", "2005-02-30"}, {"to", "2005-06-01"}}, 400, "parameter 'from'"},
      {"/api/trend", {{"site", "north"}, {"from", "yesterday"}, {"to", "2005-06-01"}}, 400, "parameter 'from'"},
      {"/api/trend", {{"site", "north"}, {"from", "2005-06-01"}}, 400, "both 'from' and 'to'"},
      {"/api/trend", {}, 400, "'site' is missing"},
      {"/api/trend", {{"site", "north' OR '1'='1"}}, 404, "no site named"},
      {"/api/snapshot", {{"site", "north"}, {"time", "x"}, {"name", "a"}}, 400, "'time'"},
      {"/api/snapshot", {{"site", "north"}, {"time", "1"}, {"name", "../../etc/passwd"}}, 404, "no snapshot"},
      {"/api/snapshots", {{"site", "north"}, {"limit", "100000"}}, 400, "'limit'"},
      {"/api/nothing", {}, 404, "no page"},
      {"/site", {{"site", "north"}, {"quantity", "rms,peak"}}, 400, "one quantity"},
  };
  for (const Case& c : cases) {
    const HttpResponse r = d.Handle(Get(c.path, c.query));
    SCOPED_TRACE(c.path + " " + (c.query.empty() ? "" : c.query.back().second));
    EXPECT_EQ(r.status, c.status) << r.body;
    EXPECT_NE(r.body.find(c.says), std::string::npos) << r.body;
    if (c.path.rfind("/api/", 0) == 0) {
      EXPECT_TRUE(Json(r).contains("error")) << r.body;
    }
  }
  // The tables are all still there, and the good request still works.
  EXPECT_EQ(d.Handle(Get("/api/trend", {{"site", "north"}, {"channels", "1"}})).status, 200);
  HttpRequest post = Get("/api/fleet");
  post.method = "POST";
  EXPECT_EQ(d.Handle(post).status, 405);
  // A page's refusal is a page, its message escaped.
  const HttpResponse page = d.Handle(Get("/site", {{"site", "<script>alert(1)</script>"}}));
  EXPECT_EQ(page.status, 404);
  EXPECT_EQ(page.body.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
}

TEST_F(DashboardTest, PagesEscapeWhatTheDatabaseHoldsAndLoadOnlyTheServersOwnScripts) {
  Dashboard d = Make();
  const HttpResponse fleet = d.Handle(Get("/"));
  ASSERT_EQ(fleet.status, 200) << fleet.body;
  EXPECT_EQ(fleet.body.find("<b>odd</b>"), std::string::npos);
  EXPECT_NE(fleet.body.find("&lt;b&gt;odd&lt;/b&gt; &amp; &quot;quoted&quot;"), std::string::npos);
  // The link to the site carries the name percent-encoded.
  EXPECT_NE(fleet.body.find("/site?site=%3Cb%3Eodd%3C%2Fb%3E%20%26%20%22quoted%22"), std::string::npos);
  EXPECT_NE(fleet.body.find("quiet for 2 d 0 h"), std::string::npos);
  EXPECT_NE(fleet.body.find("11.5 mA"), std::string::npos);
  const auto csp = std::find_if(fleet.headers.begin(), fleet.headers.end(),
                                [](const auto& h) { return h.first == "Content-Security-Policy"; });
  ASSERT_NE(csp, fleet.headers.end());
  EXPECT_NE(csp->second.find("script-src 'self'"), std::string::npos);

  const HttpResponse site = d.Handle(Get("/site", {{"site", "<b>odd</b> & \"quoted\""}}));
  ASSERT_EQ(site.status, 200) << site.body;
  EXPECT_EQ(site.body.find("<b>odd"), std::string::npos);
  EXPECT_NE(site.body.find("<h1>&lt;b&gt;odd&lt;/b&gt; &amp; &quot;quoted&quot;</h1>"), std::string::npos);
  // The chart's data address, in an attribute: encoded, then escaped.
  EXPECT_NE(site.body.find("data-trend=\"/api/trend?site=%3Cb%3Eodd"), std::string::npos);

  // The site form's check boxes become the lists of the charts' addresses;
  // a form with no weather box ticked shows no weather.
  const HttpResponse form = d.Handle(Get("/site", {{"site", "north"}, {"form", "1"}, {"range", "week"}, {"from", ""},
                                                   {"to", ""}, {"quantity", "rms"}, {"ch", "1"}, {"ch", "3"},
                                                   {"channels", ""}, {"weather", ""}}));
  ASSERT_EQ(form.status, 200) << form.body;
  EXPECT_NE(form.body.find("channels=1%2C3&amp;quantities=rms&amp;from="), std::string::npos) << form.body;
  EXPECT_NE(form.body.find("data-weather=\"\""), std::string::npos);

  const HttpResponse script = d.Handle(Get("/static/app.js"));
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
  EXPECT_NE(script.body.find("new Dygraph"), std::string::npos);
  const HttpResponse chart = d.Handle(Get("/static/dygraph.min.js"));
  EXPECT_EQ(chart.status, 200) << "Debian's libjs-dygraphs is missing (scripts/setup.sh installs it)";
  EXPECT_GT(chart.body.size(), 50000u);
  EXPECT_EQ(d.Handle(Get("/static/../store.cpp")).status, 404);
}

TEST_F(DashboardTest, WithATokenEveryRequestMustCarryItAndWithoutOneOnlyLoopbackNamesAreServed) {
  const std::string token = "0123456789abcdef-secret";
  Dashboard d = Make(token);
  const std::map<std::string, std::string> remote{{"host", "192.0.2.7:8710"}};
  EXPECT_EQ(d.Handle(Get("/api/fleet", {}, remote)).status, 401);
  EXPECT_EQ(d.Handle(Get("/static/app.js", {}, remote)).status, 401);
  const HttpResponse wrong = d.Handle(Get("/api/fleet", {{"token", token + "x"}}, remote));
  EXPECT_EQ(wrong.status, 401);
  EXPECT_NE(wrong.body.find("wrong"), std::string::npos);
  EXPECT_EQ(d.Handle(Get("/api/fleet", {{"token", token.substr(0, 10)}}, remote)).status, 401);
  auto with = [&](const std::string& name, const std::string& value) {
    auto h = remote;
    h[name] = value;
    return h;
  };
  EXPECT_EQ(d.Handle(Get("/api/fleet", {}, with("authorization", "Bearer " + token))).status, 200);
  EXPECT_EQ(d.Handle(Get("/api/fleet", {}, with("authorization", "Bearer " + token + "0"))).status, 401);
  EXPECT_EQ(d.Handle(Get("/api/fleet", {}, with("x-access-token", token))).status, 200);
  EXPECT_EQ(d.Handle(Get("/api/fleet", {{"token", token}}, remote)).status, 200);
  EXPECT_EQ(d.Handle(Get("/", {}, with("cookie", "a=b; varnel_token=" + token))).status, 200);
  // A page opened with ?token= moves it into a cookie of this server.
  const HttpResponse page = d.Handle(Get("/site", {{"site", "north"}, {"token", token}}, remote));
  EXPECT_EQ(page.status, 303);
  const auto header = [&](const char* name) {
    for (const auto& [k, v] : page.headers)
      if (k == name) return v;
    return std::string();
  };
  EXPECT_EQ(header("Location"), "/site?site=north");
  EXPECT_NE(header("Set-Cookie").find("varnel_token=" + token + "; Path=/; HttpOnly; SameSite=Strict"), std::string::npos);

  EXPECT_TRUE(SameToken("abc", "abc"));
  EXPECT_FALSE(SameToken("abc", "abd"));
  EXPECT_FALSE(SameToken("", "abc"));

  // No token: the dashboard is the loopback's only.
  Dashboard open = Make();
  EXPECT_EQ(open.Handle(Get("/api/fleet", {}, {{"host", "localhost:8710"}})).status, 200);
  EXPECT_EQ(open.Handle(Get("/api/fleet", {}, {{"host", "[::1]:8710"}})).status, 200);
  const HttpResponse rebound = open.Handle(Get("/api/fleet", {}, {{"host", "evil.example:8710"}}));
  EXPECT_EQ(rebound.status, 403);
  EXPECT_NE(rebound.body.find("only at localhost"), std::string::npos);
}

TEST_F(DashboardTest, ADatabaseThatCannotBeReadGivesA503AndIsOpenedAgainOnTheNextRequest) {
  Dashboard d = Make();
  ASSERT_EQ(d.Handle(Get("/api/fleet")).status, 200);
  std::filesystem::rename(spec_, spec_ + ".away");
  store_->Close();
  const HttpResponse down = d.Handle(Get("/api/fleet"));
  EXPECT_EQ(down.status, 503);
  EXPECT_NE(down.body.find("cannot be read"), std::string::npos);
  std::filesystem::rename(spec_ + ".away", spec_);
  EXPECT_EQ(d.Handle(Get("/api/fleet")).status, 200);
}

}  // namespace
}  // namespace varnel::fleet::web
