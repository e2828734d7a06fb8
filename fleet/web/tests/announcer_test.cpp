// The alarm command's announcements: once for every begin and end, in
// order, also across restarts (the state file), and a decided announcement
// not yet started when the program died is started by the next one, while
// the one that had started is not repeated.
#include <gtest/gtest.h>

#include <functional>

#include "announcer.h"
#include "site_zone.h"
#include "web_test_support.h"

namespace varnel::fleet::web {
namespace {

using namespace testing;

// Answers at once, as a command that ended well.
class RecordingRunner : public CommandRunner {
 public:
  void Run(const Announcement& a, std::function<void(bool, const std::string&)> done) override {
    runs.push_back(a);
    done(true, "exit status 0");
  }
  std::vector<Announcement> runs;
};

// A command that never ends while the program runs.
class HangingRunner : public CommandRunner {
 public:
  void Run(const Announcement& a, std::function<void(bool, const std::string&)>) override { runs.push_back(a); }
  std::vector<Announcement> runs;
};

AlarmSettings Stages() {
  AlarmSettings a;
  AlarmRule rule;
  rule.name = "peak current";
  rule.quantity = FindChannelQuantity("peak");
  rule.channels = {1, 2};
  rule.levels = {2.0, 5.0, 10.0};
  rule.holdSeconds = 10 * kMinute;
  a.rules.push_back(rule);
  return a;
}

class AnnouncerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_ = std::make_unique<TestDb>(dir_.File("records.sqlite"));
    site_ = writer_->Site("north");
    store_ = MakeSqliteFleetStore(dir_.File("records.sqlite"));
    store_->Open();
  }
  // Records of minutes [from, to) with channel 1's peak from `peak`.
  void Add(int from, int to, const std::function<float(int)>& peak) {
    std::vector<StoredRecord> records;
    for (int m = from; m < to; ++m) {
      StoredRecord r = Record(kBase + m * kMinute);
      SetPeak(r, 1, peak(m));
      SetPeak(r, 2, 0.5f);
      records.push_back(r);
    }
    writer_->Add(site_, records);
  }
  std::unique_ptr<Announcer> Start(CommandRunner& runner, const ConditionSettings* condition = nullptr) {
    auto a = std::make_unique<Announcer>(*store_, settings_, dir_.File("varnel-web.state"), runner,
                                         [this](const std::string& m) { log_ += m + "\n"; }, condition);
    std::string why;
    EXPECT_TRUE(a->Load(why)) << why;
    return a;
  }

  lw::testing::TempDir dir_{"lw-web"};
  std::unique_ptr<TestDb> writer_;
  int64_t site_ = 0;
  std::unique_ptr<FleetStore> store_;
  AlarmSettings settings_ = Stages();
  std::string log_;
};

std::string Summary(const std::vector<Announcement>& runs) {
  std::string out;
  for (const Announcement& a : runs)
    out += a.event + " " + a.stage + " ch" + std::to_string(a.channel) + " @" +
           std::to_string((a.time - kBase) / kMinute) + "\n";
  return out;
}

TEST_F(AnnouncerTest, EveryBeginAndEndIsAnnouncedOnceAlsoAcrossARestart) {
  // History: warning at minutes 20..22 (over long ago); caution from 100 on,
  // still open at the newest record (110).
  Add(0, 111, [](int m) { return (m >= 20 && m <= 22) ? 6.0f : m >= 100 ? 3.0f : 1.0f; });
  RecordingRunner runner;
  {
    auto a = Start(runner);
    a->Check();
    // The first look announces what is open now, not the history.
    EXPECT_EQ(Summary(runner.runs), "began caution ch1 @100\n");
    const Announcement& began = runner.runs.at(0);
    EXPECT_EQ(began.site, "north");
    EXPECT_EQ(began.rule, "peak current");
    EXPECT_EQ(began.quantity, "peak");
    EXPECT_EQ(began.unit, "mA");
    EXPECT_EQ(began.value, 3.0);
    EXPECT_EQ(began.localTime, "2005-06-01 13:40:00+09:00");
    a->Check();  // nothing new
    EXPECT_EQ(runner.runs.size(), 1u);

    // Below the level from 111: the end is certain once a record lies more
    // than the hold (10 min) after minute 110.
    Add(111, 120, [](int) { return 1.0f; });
    a->Check();
    EXPECT_EQ(runner.runs.size(), 1u) << "ended before the hold had passed";
    Add(120, 131, [](int) { return 1.0f; });
    a->Check();
    // One record of 12 mA at 131: all three stages begin.
    Add(131, 141, [](int m) { return m == 131 ? 12.0f : 1.0f; });
    a->Check();
  }
  EXPECT_EQ(Summary(runner.runs),
            "began caution ch1 @100\nended caution ch1 @111\n"
            "began caution ch1 @131\nbegan warning ch1 @131\nbegan danger ch1 @131\n");
  EXPECT_EQ(runner.runs.at(1).value, 3.0);  // an end carries the episode's largest value

  // A new varnel-web on the same state file: nothing is repeated; the open
  // episodes end when the records say so.
  runner.runs.clear();
  auto again = Start(runner);
  again->Check();
  EXPECT_TRUE(runner.runs.empty()) << Summary(runner.runs);
  Add(141, 150, [](int) { return 1.0f; });
  again->Check();
  EXPECT_EQ(Summary(runner.runs), "ended caution ch1 @132\nended warning ch1 @132\nended danger ch1 @132\n");
  EXPECT_EQ(runner.runs.at(2).value, 12.0);
}

TEST_F(AnnouncerTest, ADecidedAnnouncementNotYetStartedIsStartedAfterACrashAndAStartedOneIsNotRepeated) {
  Add(0, 10, [](int) { return 1.0f; });
  RecordingRunner quiet;
  Start(quiet)->Check();
  ASSERT_TRUE(quiet.runs.empty());

  // A warning episode that begins and ends between two checks: three
  // announcements; the first command hangs, and the program dies.
  Add(10, 40, [](int m) { return m == 12 ? 7.0f : 1.0f; });
  {
    HangingRunner hanging;
    auto a = Start(hanging);
    a->Check();
    EXPECT_EQ(Summary(hanging.runs), "began caution ch1 @12\n");
    EXPECT_EQ(a->Pending(), 3u);  // began warning, ended caution, ended warning
  }
  RecordingRunner after;
  auto b = Start(after);
  EXPECT_EQ(Summary(after.runs), "began warning ch1 @12\nended caution ch1 @13\nended warning ch1 @13\n");
  EXPECT_NE(log_.find("decided but not started"), std::string::npos) << log_;
  b->Check();
  EXPECT_EQ(after.runs.size(), 3u);
}

// One wet record a day at noon; channel 1's peak from `peak(day)`,
// channel 2 at 0.5 mA.
void AddWetDays(TestDb& writer, int64_t site, int from, int to, const std::function<float(int)>& peak) {
  std::vector<StoredRecord> records;
  for (int d = from; d < to; ++d) {
    StoredRecord r = Record(kBase + d * 1440 * kMinute);
    SetPeak(r, 1, peak(d));
    SetPeak(r, 2, 0.5f);
    SetWeather(r, 3, 95.0f);
    records.push_back(r);
  }
  writer.Add(site, records);
}

std::vector<Announcement> OfEvent(const std::vector<Announcement>& runs, const std::string& event) {
  std::vector<Announcement> out;
  std::copy_if(runs.begin(), runs.end(), std::back_inserter(out), [&](const auto& a) { return a.event == event; });
  return out;
}

// Channel 1's wet-day peaks rise 0.4 mA a day to 7.6 mA on day 19: its
// danger level (0.6 of the default 20 mA) is 4.4 / 0.4 = 11 days away,
// within the lead time of 14; announced once, not again after a restart,
// and again after a washing only when the forecast has come back.
TEST_F(AnnouncerTest, AForecastWithinTheLeadTimeIsAnnouncedOnceAndAgainOnlyAfterAWashing) {
  settings_ = {};
  const ConditionSettings condition;
  AddWetDays(*writer_, site_, 0, 20, [](int d) { return 0.0f + 0.4f * static_cast<float>(d); });
  RecordingRunner runner;
  Start(runner, &condition)->Check();
  const auto forecasts = OfEvent(runner.runs, "forecast");
  ASSERT_EQ(forecasts.size(), 1u) << Summary(runner.runs);
  EXPECT_EQ(forecasts[0].channel, 1);
  EXPECT_EQ(forecasts[0].stage, "danger");
  EXPECT_EQ(forecasts[0].unit, "days");
  EXPECT_NEAR(forecasts[0].value, 11.0, 1e-3);
  EXPECT_EQ(forecasts[0].time, kBase + 19 * 1440 * kMinute);
  // The insulator's own limit: 7.6 mA is past caution (2) and warning (6).
  const auto began = OfEvent(runner.runs, "began");
  ASSERT_EQ(began.size(), 2u) << Summary(runner.runs);
  EXPECT_EQ(began[0].rule, "insulator limit");

  runner.runs.clear();
  AddWetDays(*writer_, site_, 20, 21, [](int d) { return 0.4f * static_cast<float>(d); });
  Start(runner, &condition)->Check();
  EXPECT_TRUE(OfEvent(runner.runs, "forecast").empty()) << "repeated after a restart";

  // Washed on day 21; the peaks rise again from 0 at the same rate: too
  // few wet days at first, then within the lead time once more.
  auto db = MakeDatabase(dir_.File("records.sqlite"));
  db->Open();
  db->AddEvent(site_, {1, SiteZone::Named("Asia/Tokyo")->At(kBase + 21 * 1440 * kMinute - 3600),
                       MaintenanceKind::kWashing, ""});
  auto a = Start(runner, &condition);
  AddWetDays(*writer_, site_, 21, 25, [](int d) { return 0.4f * static_cast<float>(d - 21); });
  a->Check();
  EXPECT_TRUE(OfEvent(runner.runs, "forecast").empty());
  AddWetDays(*writer_, site_, 25, 50, [](int d) { return 0.4f * static_cast<float>(d - 21); });
  a->Check();
  ASSERT_EQ(OfEvent(runner.runs, "forecast").size(), 1u);
  EXPECT_NEAR(OfEvent(runner.runs, "forecast")[0].value, (12.0 - 0.4 * 28) / 0.4, 1e-3);
}

TEST_F(AnnouncerTest, AStateFileThatIsNotOursIsLeftAloneAndRefused) {
  {
    std::FILE* f = std::fopen(dir_.File("varnel-web.state").c_str(), "w");
    std::fputs("{\"something\": \"else\"}", f);
    std::fclose(f);
  }
  RecordingRunner runner;
  Announcer a(*store_, settings_, dir_.File("varnel-web.state"), runner, [](const std::string&) {});
  std::string why;
  EXPECT_FALSE(a.Load(why));
  EXPECT_NE(why.find("not varnel-web's"), std::string::npos) << why;
}

}  // namespace
}  // namespace varnel::fleet::web
