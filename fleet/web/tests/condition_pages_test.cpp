// The condition pages on a fleet of known trends (WriteConditionFleet): the
// washing ranking and its JSON against the generated lines, one
// insulator's daily indicators with its maintenance, the language of the
// pages, and the maintenance form with its refusals.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <regex>

#include "dashboard.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace testing;

constexpr int kToday = ConditionFleet::kDays - 1;
constexpr int64_t kFirstDay = 12935;  // 2005-06-01 as days since 1970-01-01
constexpr double kDefaultCriticalMa = 20;
const double kFractions[] = {0.1, 0.3, 0.6};
constexpr const char* kToken = "0123456789abcdef-secret";

HttpRequest Get(const std::string& path, std::vector<std::pair<std::string, std::string>> query = {},
                std::map<std::string, std::string> headers = {}) {
  HttpRequest r;
  r.path = path;
  r.query = std::move(query);
  r.headers = std::move(headers);
  r.headers.emplace("host", "127.0.0.1:8710");
  return r;
}

QJsonObject Json(const HttpResponse& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }

std::string Header(const HttpResponse& r, const std::string& name) {
  for (const auto& [k, v] : r.headers)
    if (k == name) return v;
  return "";
}

// The dew-point depression by Magnus' formula (Sonntag's constants).
double DewDepression(double t, double rh) {
  const double a = 17.62, b = 243.12;
  const double gamma = std::log(rh / 100) + a * t / (b + t);
  return t - b * gamma / (a - gamma);
}

double CriticalOf(const std::string& site, int channel) {
  return site == "east" && channel == 2 ? ConditionFleet::kEastCh2CriticalMa : kDefaultCriticalMa;
}

// The most severe stage a peak reaches under an insulator's limit; -1: none.
int StageOf(double peak, double critical) {
  int stage = -1;
  for (int k = 0; k < 3; ++k)
    if (peak >= kFractions[k] * critical) stage = k;
  return stage;
}

class ConditionPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("records.sqlite");
    db_ = std::make_unique<TestDb>(path_);
    fleet_ = WriteConditionFleet(*db_);
    store_ = MakeSqliteFleetStore(path_);
  }

  Dashboard Make(std::string token = "", bool withForm = false) {
    DashboardOptions o;
    o.token = std::move(token);
    o.now = [this] { return fleet_.lastRecord + 300; };
    if (withForm)
      o.addEvent = [this](int64_t site, const MaintenanceEvent& e, std::string& why) {
        entered_.push_back(e);
        if (e.note == "refuse me") {
          why = "read-only database";
          return false;
        }
        db_->AddEvent(site, e);
        return true;
      };
    return Dashboard(*store_, o);
  }

  const TrendLine& Line(const std::string& site, int channel) const { return fleet_.Line(site, channel); }

  lw::testing::TempDir dir_{"lw-web-condition"};
  std::string path_;
  std::unique_ptr<TestDb> db_;
  ConditionFleet fleet_;
  std::unique_ptr<FleetStore> store_;
  std::vector<MaintenanceEvent> entered_;
};

// "site/channel" of the rows of the washing page, in their order.
std::vector<std::string> WashOrder(const std::string& page) {
  std::vector<std::string> out;
  const std::regex row("data-site=\"([^\"]*)\" data-channel=\"([0-9]+)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), row); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1].str() + "/" + (*it)[2].str());
  return out;
}

TEST_F(ConditionPagesTest, TheFleetIsRankedByStageThenDaysToDangerWithTheGeneratedLinesValues) {
  Dashboard d = Make();
  const HttpResponse r = d.Handle(Get("/api/condition"));
  ASSERT_EQ(r.status, 200) << r.body;
  const QJsonArray all = Json(r)["insulators"].toArray();
  // Warning: ch3 (3 days) before ch1 (26); caution: ch4 (32) before ch2
  // (63); then the flat ones of no stage, the never washed first.
  const std::vector<std::string> want{"east/3", "east/1", "east/4", "east/2", "west/1", "west/2"};
  std::vector<std::string> order;
  for (const QJsonValue& v : all)
    order.push_back(v["site"].toString().toStdString() + "/" + std::to_string(v["channel"].toInt()));
  ASSERT_EQ(order, want);

  for (int i = 0; i < 4; ++i) {
    const QJsonObject c = all[i].toObject();
    const int channel = c["channel"].toInt();
    SCOPED_TRACE("east ch" + std::to_string(channel));
    const TrendLine& line = Line("east", channel);
    const double critical = CriticalOf("east", channel);
    EXPECT_EQ(c["criticalPeakMa"].toDouble(), critical);
    EXPECT_EQ(c["limitFromRegister"].toBool(), channel == 2);
    // The stage of the newest record, a wet one on the line.
    const int stage = StageOf(line.WetPeak(kToday), critical);
    EXPECT_EQ(c["stage"].toInt(-9), stage);
    const char* const names[] = {"caution", "warning", "danger"};
    EXPECT_EQ(c["stageName"].toString().toStdString(), names[stage]);
    EXPECT_NEAR(c["latestWetDay"]["peakMa"].toDouble(), line.WetPeak(kToday), 1e-5);
    EXPECT_EQ(c["latestWetDay"]["date"].toString(), "2005-06-30");

    const QJsonObject f = c["forecast"].toObject();
    const double trueDays = line.DaysToDanger(0.6 * critical, kToday);
    ASSERT_EQ(f["state"].toString(), "rising");
    EXPECT_NEAR(f["daysToDanger"].toDouble(), trueDays, 1 + 0.1 * trueDays);
    EXPECT_LE(f["earliestDays"].toDouble(), trueDays);
    EXPECT_GE(f["latestDays"].toDouble(), trueDays);
    EXPECT_EQ(f["withinLead"].toBool(), trueDays < 14);
  }
  // The washed one starts again the day after its washing, and its last
  // event is the later inspection of the whole site.
  const QJsonObject washed = all[2].toObject();
  EXPECT_EQ(washed["forecast"]["reset"].toString(), "maintenance");
  EXPECT_EQ(washed["forecast"]["since"].toInteger(), kFirstDay + 15);
  EXPECT_EQ(washed["forecast"]["wetDays"].toInt(), 15);
  EXPECT_EQ(washed["lastWashing"].toInteger(), fleet_.eastWashing);
  EXPECT_EQ(washed["lastWashingLocal"].toString(), "2005-06-15 16:00:00+09:00");
  EXPECT_EQ(washed["lastEvent"]["kind"].toString(), "inspection");
  EXPECT_EQ(all[1]["forecast"]["wetDays"].toInt(), 30);
  EXPECT_EQ(all[1]["forecast"]["reset"].toString(), "none");
  EXPECT_TRUE(all[1]["lastWashing"].isNull());

  // The latest day of ch1: four records of 60 s at 0.5 mA, two of them
  // wet; the air's nearest approach to dew at 92 %.
  const QJsonObject day = all[1]["latestDay"].toObject();
  EXPECT_EQ(day["records"].toInt(), 4);
  EXPECT_EQ(day["wetRecords"].toInt(), 2);
  EXPECT_NEAR(day["chargeMc"].toDouble(), 4 * 0.5 * 60, 1e-6);
  EXPECT_NEAR(day["peakMaxMa"].toDouble(), Line("east", 1).WetPeak(kToday), 1e-5);
  EXPECT_NEAR(day["dewDepressionMinC"].toDouble(), DewDepression(20, 92), 0.01);
  // The day's mean shares: two records of none, two of the wet shares.
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_NEAR(day["timePct"][k].toDouble(), ConditionFleet::kWetShares[k] / 2, 1e-6) << k;
    EXPECT_NEAR(day["halfCyclePct"][k].toDouble(), ConditionFleet::kWetShares[4 + k] / 2, 1e-6) << k;
  }
  // The newest scheduled snapshot's ratios: 0.4/1, 0.1/1, (0.1+0.1)/0.4.
  EXPECT_NEAR(all[1]["ratios"]["i3OverI1"].toDouble(), 0.4, 1e-9);

  for (int i = 4; i < 6; ++i) {
    EXPECT_EQ(all[i]["forecast"]["state"].toString(), "not rising");
    EXPECT_TRUE(all[i]["stage"].isNull());
  }
  EXPECT_EQ(all[5]["lastWashing"].toInteger(), fleet_.westWashing);

  EXPECT_EQ(Json(d.Handle(Get("/api/condition", {{"site", "west"}})))["insulators"].toArray().size(), 2);
  EXPECT_EQ(d.Handle(Get("/api/condition", {{"site", "nowhere"}})).status, 404);

  // The page: the same order, the register's name escaped, the soonest
  // marked, and its days as a text whose interval holds the line's.
  const HttpResponse page = d.Handle(Get("/wash"));
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(WashOrder(page.body), want);
  EXPECT_NE(page.body.find("E2 &lt;line 2&gt; &amp; &quot;T&quot;"), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page.body, m,
                                std::regex("<tr class=\"soon\" data-site=\"east\" data-channel=\"3\">.*?"
                                           "in ([0-9]+) days \\(([0-9]+)–([0-9]+)\\)")))
      << page.body;
  const double trueDays = Line("east", 3).DaysToDanger(12, kToday);
  EXPECT_LE(std::stod(m[2]), trueDays);
  EXPECT_GE(std::stod(m[3]), trueDays);
  EXPECT_NEAR(std::stod(m[1]), trueDays, 1.5);
  // Only ch3 is due within the lead time.
  EXPECT_EQ(page.body.find("<tr class=\"soon\""), page.body.rfind("<tr class=\"soon\""));

  // The fleet's alarms know the insulators' own limits too.
  const QJsonArray sites = Json(d.Handle(Get("/api/fleet")))["sites"].toArray();
  EXPECT_EQ(sites[0]["name"].toString(), "east");
  EXPECT_EQ(sites[0]["stage"].toString(), "warning");
}

TEST_F(ConditionPagesTest, AnInsulatorsDailyIndicatorsCarryItsRatiosAndTheMaintenanceOfItAndOfItsSite) {
  Dashboard d = Make();
  const HttpResponse r = d.Handle(Get("/api/indicators", {{"site", "east"}, {"channel", "4"}, {"days", "30"}}));
  ASSERT_EQ(r.status, 200) << r.body;
  const QJsonObject o = Json(r);
  EXPECT_EQ(o["firstDay"].toInteger(), kFirstDay);
  EXPECT_EQ(o["lastDay"].toInteger(), kFirstDay + kToday);
  std::map<std::string, QJsonArray> series;
  for (const QJsonValue& s : o["series"].toArray()) series[s["name"].toString().toStdString()] = s["points"].toArray();
  ASSERT_EQ(series["wet_peak_max"].size(), 30);
  for (int day = 0; day < 30; ++day) {
    SCOPED_TRACE(day);
    const double wet = fleet_.Line("east", 4, day).WetPeak(day);
    EXPECT_EQ(series["wet_peak_max"][day][0].toInteger(), kFirstDay + day);
    EXPECT_NEAR(series["wet_peak_max"][day][1].toDouble(), wet, 1e-5);
    EXPECT_NEAR(series["peak_max"][day][1].toDouble(), std::max(wet, ConditionFleet::kDryPeakMa), 1e-5);
    EXPECT_NEAR(series["charge_mc"][day][1].toDouble(), 120, 1e-6);
    EXPECT_NEAR(series["dew_depression_min"][day][1].toDouble(), DewDepression(20, 92), 0.01);
    // Half of each day's records are wet and carry the shares.
    EXPECT_NEAR(series["time_pct_2"][day][1].toDouble(), ConditionFleet::kWetShares[1] / 2, 1e-6);
    EXPECT_NEAR(series["half_cycle_pct_4"][day][1].toDouble(), ConditionFleet::kWetShares[7] / 2, 1e-6);
  }
  // The day's two snapshots of channel 4: (0.1 + 0.3) / 2, (0.05 + 0.1) / 2,
  // (1.0 + 0.5) / 2.
  ASSERT_EQ(series["i3_over_i1"].size(), 1);
  EXPECT_EQ(series["i3_over_i1"][0][0].toInteger(), kFirstDay + kToday);
  EXPECT_NEAR(series["i3_over_i1"][0][1].toDouble(), 0.2, 1e-9);
  EXPECT_NEAR(series["i5_over_i1"][0][1].toDouble(), 0.075, 1e-9);
  EXPECT_NEAR(series["i57_over_i3"][0][1].toDouble(), 0.75, 1e-9);

  // Its washing and the site's inspection, in time order; nothing of west.
  const QJsonArray events = o["events"].toArray();
  ASSERT_EQ(events.size(), 2) << r.body;
  EXPECT_EQ(events[0]["time"].toInteger(), fleet_.eastWashing);
  EXPECT_EQ(events[0]["kind"].toString(), "washing");
  EXPECT_EQ(events[1]["channel"].toInt(), 0);
  auto eventCount = [&](const std::string& channel, const std::string& days) {
    const HttpResponse e = d.Handle(Get("/api/indicators", {{"site", "east"}, {"channel", channel}, {"days", days}}));
    return e.status == 200 ? static_cast<int>(Json(e)["events"].toArray().size()) : -e.status;
  };
  EXPECT_EQ(eventCount("1", "30"), 1);  // the inspection only
  EXPECT_EQ(eventCount("4", "5"), 1);   // days 25..29: the inspection of day 25
  EXPECT_EQ(eventCount("5", "30"), -400);  // east has 4 channels
  EXPECT_EQ(d.Handle(Get("/api/indicators", {{"site", "east"}})).status, 400);

  // The site page draws the chart of the insulator first to wash unless
  // another is chosen, and lists its maintenance.
  const HttpResponse site = d.Handle(Get("/site", {{"site", "east"}}));
  ASSERT_EQ(site.status, 200);
  EXPECT_NE(site.body.find("data-indicators=\"/api/indicators?site=east&amp;channel=3&amp;days=90&amp;lang=en\""),
            std::string::npos);
  const HttpResponse chosen = d.Handle(Get("/site", {{"site", "east"}, {"ichannel", "4"}}));
  EXPECT_NE(chosen.body.find("channel=4&amp;days=90"), std::string::npos);
  EXPECT_NE(chosen.body.find("crew 2"), std::string::npos);
  EXPECT_EQ(d.Handle(Get("/site", {{"site", "east"}, {"ichannel", "9"}})).status, 400);
}

TEST_F(ConditionPagesTest, PagesAreJapaneseWhenTheBrowserPrefersItAndTheAddressMayChooseEither) {
  Dashboard d = Make();
  auto wash = [&](const std::string& accept, std::vector<std::pair<std::string, std::string>> query = {}) {
    return d.Handle(Get("/wash", std::move(query), {{"accept-language", accept}})).body;
  };
  const std::string ja = wash("ja,en-US;q=0.8");
  EXPECT_NE(ja.find("<html lang=\"ja\">"), std::string::npos);
  EXPECT_NE(ja.find("洗浄する碍子の優先順位"), std::string::npos);
  EXPECT_NE(ja.find(">サイト一覧</a>"), std::string::npos);
  EXPECT_TRUE(std::regex_search(ja, std::regex("data-channel=\"3\">.*?[0-9]+日後（[0-9]+〜[0-9]+日）"))) << ja;
  EXPECT_NE(ja.find("<span class=\"stage stage-1\">警告</span>"), std::string::npos);

  const std::string en = wash("en-GB,ja;q=0.9");
  EXPECT_NE(en.find("<html lang=\"en\">"), std::string::npos);
  EXPECT_NE(en.find("Which insulator to wash first"), std::string::npos);
  EXPECT_EQ(en.find("洗浄"), std::string::npos);
  // The weights decide, not the order; the region does not matter.
  EXPECT_NE(wash("en;q=0.5, ja-JP;q=0.9").find("<html lang=\"ja\">"), std::string::npos);
  // The address overrides the browser, and the page's links keep it.
  const std::string chosen = wash("ja", {{"lang", "en"}});
  EXPECT_NE(chosen.find("<html lang=\"en\">"), std::string::npos);
  EXPECT_NE(chosen.find("href=\"/wash?lang=en\""), std::string::npos);
  EXPECT_NE(chosen.find("/site?site=east&amp;ichannel=3&amp;lang=en#daily"), std::string::npos);
  EXPECT_EQ(d.Handle(Get("/wash", {{"lang", "fr"}})).status, 400);

  const HttpResponse site = d.Handle(Get("/site", {{"site", "east"}}, {{"accept-language", "ja"}}));
  EXPECT_NE(site.body.find("<html lang=\"ja\">"), std::string::npos);
  EXPECT_NE(site.body.find("碍子の段階・限界値・予測"), std::string::npos);
  EXPECT_NE(site.body.find("lang=ja\""), std::string::npos);  // the chart's labels too
}

TEST_F(ConditionPagesTest, TheMaintenanceFormEntersThroughTheHookWithTheTokenAndRefusesWhatItCannotTake) {
  Dashboard d = Make(kToken, true);
  const std::map<std::string, std::string> cookie{{"cookie", std::string("varnel_token=") + kToken}};
  auto post = [&](const std::string& body, std::map<std::string, std::string> headers) {
    HttpRequest r = Get("/event", {}, std::move(headers));
    r.method = "POST";
    r.headers.emplace("content-type", "application/x-www-form-urlencoded");
    r.body = body;
    return d.Handle(r);
  };
  const std::string fields = "site=east&channel=2&kind=washing&time=2005-06-29T10%3A30";
  const std::string hostile = "%3Cscript%3Ealert(1)%3C%2Fscript%3E+%26+co";

  const HttpResponse page = d.Handle(Get("/site", {{"site", "east"}}, cookie));
  EXPECT_NE(page.body.find("<form class=\"maintenance\" method=\"post\" action=\"/event\">"), std::string::npos);
  EXPECT_NE(page.body.find("<option value=\"2\">2 E2 &lt;line 2&gt; &amp; &quot;T&quot;</option>"), std::string::npos);
  EXPECT_NE(page.body.find("value=\"2005-06-30T15:05\""), std::string::npos);  // now, in the site's time

  EXPECT_EQ(post(fields + "&note=" + hostile, {}).status, 401);
  EXPECT_TRUE(entered_.empty());
  const HttpResponse done = post(fields + "&note=" + hostile, cookie);
  ASSERT_EQ(done.status, 303) << done.body;
  EXPECT_EQ(Header(done, "Location"), "/site?site=east&ichannel=2#daily");
  ASSERT_EQ(entered_.size(), 1u);
  EXPECT_EQ(entered_[0].channel, 2);
  EXPECT_EQ(entered_[0].kind, MaintenanceKind::kWashing);
  // 2005-06-29 10:30 in Tokyo: day 28 at 12:00 less 90 minutes.
  EXPECT_EQ(entered_[0].time.epochSeconds, kBase + 28 * 86400 - 90 * 60);
  EXPECT_EQ(entered_[0].time.offsetSeconds, kTokyoOffset);
  EXPECT_EQ(entered_[0].note, "<script>alert(1)</script> & co");

  // The note shows escaped, and the washing starts ch2's stretch again:
  // one wet day since is too few for a line.
  const HttpResponse after = d.Handle(Get("/site", {{"site", "east"}, {"ichannel", "2"}}, cookie));
  EXPECT_EQ(after.body.find("<script>alert"), std::string::npos);
  EXPECT_NE(after.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; co"), std::string::npos);
  const QJsonArray ranked = Json(d.Handle(Get("/api/condition", {{"site", "east"}}, cookie)))["insulators"].toArray();
  const QJsonObject ch2 = ranked[3].toObject();
  ASSERT_EQ(ch2["channel"].toInt(), 2);
  EXPECT_EQ(ch2["forecast"]["state"].toString(), "too few wet days");
  EXPECT_EQ(ch2["forecast"]["wetDays"].toInt(), 1);
  EXPECT_EQ(ch2["lastWashing"].toInteger(), kBase + 28 * 86400 - 90 * 60);

  // Five hundred characters are taken, whatever their bytes; one more not.
  std::string note;
  for (int i = 0; i < 500; ++i) note += "%E6%B4%97";  // 洗
  EXPECT_EQ(post("site=east&channel=all&kind=inspection&time=2005-06-30T09:00&note=" + note, cookie).status, 303);
  EXPECT_EQ(entered_.back().channel, 0);
  EXPECT_EQ(entered_.back().kind, MaintenanceKind::kInspection);
  const std::size_t taken = entered_.size();

  struct Bad {
    std::string body;
    int status;
    std::string says;
  };
  const std::vector<Bad> bad{
      {"site=east&channel=2&kind=polishing&time=2005-06-29T10:30", 400, "polishing"},
      {"site=east&channel=5&kind=washing&time=2005-06-29T10:30", 400, "1 to 4"},
      {"site=nowhere&channel=1&kind=washing&time=2005-06-29T10:30", 400, "nowhere"},
      {"site=east&channel=1&kind=washing&time=2005-02-30T10:30", 400, "2005-02-30"},
      {"site=east&channel=1&kind=washing&time=tomorrow", 400, "YYYY-MM-DDTHH:MM"},
      {"site=east&channel=1&kind=washing&time=2005-07-01T10:30", 400, "future"},
      {"site=east&channel=1&kind=washing&time=2005-06-29T10:30&note=" + std::string(501, 'n'), 400, "500"},
      {"site=east&channel=1&kind=washing&time=2005-06-29T11:00&note=refuse+me", 409, "read-only database"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.body.substr(0, 80));
    const HttpResponse r = post(b.body, cookie);
    EXPECT_EQ(r.status, b.status);
    EXPECT_NE(r.body.find(b.says), std::string::npos) << r.body;
  }
  auto withOrigin = cookie;
  withOrigin["origin"] = "http://evil.example";
  EXPECT_EQ(post(fields, withOrigin).status, 403);
  HttpRequest plain = Get("/event", {}, cookie);
  plain.method = "POST";
  plain.body = fields;
  EXPECT_EQ(d.Handle(plain).status, 415);
  EXPECT_EQ(d.Handle(Get("/event", {}, cookie)).status, 405);
  HttpRequest elsewhere = Get("/site", {{"site", "east"}}, cookie);
  elsewhere.method = "POST";
  EXPECT_EQ(d.Handle(elsewhere).status, 405);

  // No form, and no entering, without a token or without the hook.
  Dashboard open = Make("", true);
  EXPECT_EQ(open.Handle(Get("/site", {{"site", "east"}})).body.find("form class=\"maintenance\""), std::string::npos);
  HttpRequest loopback = Get("/event");
  loopback.method = "POST";
  loopback.headers["content-type"] = "application/x-www-form-urlencoded";
  loopback.body = fields;
  EXPECT_EQ(open.Handle(loopback).status, 403);
  Dashboard readOnly = Make(kToken, false);
  EXPECT_EQ(readOnly.Handle(Get("/site", {{"site", "east"}}, cookie)).body.find("form class=\"maintenance\""),
            std::string::npos);
  EXPECT_EQ(entered_.size(), taken + 1);  // of the refusals, only the hook's own reached it
}

}  // namespace
}  // namespace varnel::fleet::web
