// The weather station replaced while the measurement runs, without a
// restart of the measurement program: first killed and a new one started on
// the same link path, then hung (stopped, its terminal silent but open) and
// another started beside it.  The weather columns of the records after each
// change are those of the new station.
#include <gtest/gtest.h>

#include "site.h"
#include "system_expectations.h"

namespace e2e {
namespace {

// Records of the site's text data file, whole lines only.
std::vector<std::vector<std::string>> TextRecords(const Site& site) {
  DataLines lines = ReadTextDataFile(site.DataPath());
  if (!lines.endsWithLineEnd && !lines.records.empty()) lines.records.pop_back();
  return lines.records;
}

// A fixed station and the weather fields (2..9) its records must hold.
struct Station {
  std::vector<std::string> args;
  std::array<std::string, 8> stored;
};

// The second station, worked by hand from its wire values:
//   inside 680 tenths of F   -> (68.0 - 32) x 5/9 = 20.0 C
//   outside -40 (bytes D8 FF) -> (-4.0 - 32) x 5/9 = -20.0 C, a cold site
//   wind 20 mph -> 20 / 3578 x 1600 = 8.94 -> "8.9"; direction 90
//   humidity 40 % inside, 60 % outside
//   rain 10 hundredths of an inch -> Int(10 / 100 x 254 + 0.5) / 10 = 2.5 mm
const Station kSecond{{"--fixed", "in_raw=680,out_raw=-40,wind_raw=20,dir_raw=90,inhum=40,outhum=60,rain_raw=10"},
                      {"8.9", "90", "-20", "60", "20", "40", "2.5", "8.9"}};
// The third:
//   inside 500 -> (50.0 - 32) x 5/9 = 10.0 C; outside -220 -> (-22.0 - 32) x 5/9 = -30.0 C
//   wind 30 mph -> 13.41 -> "13.4"; direction 45; humidity 30 %, 85 %
//   rain 20 -> Int(51.3) / 10 = 5.1 mm
const Station kThird{{"--fixed", "in_raw=500,out_raw=-220,wind_raw=30,dir_raw=45,inhum=30,outhum=85,rain_raw=20"},
                     {"13.4", "45", "-30", "85", "10", "30", "5.1", "13.4"}};

bool HasWeather(const std::vector<std::string>& record, const std::array<std::string, 8>& stored) {
  if (record.size() < 9) return false;
  for (size_t k = 0; k < stored.size(); ++k)
    if (record[1 + k] != stored[k]) return false;
  return true;
}

// Waits for a record after the first `from` records that holds the
// station's weather; its index, or nullopt at the deadline.  A record whose
// minute began with the old station may mix both, so the first record after
// the change is allowed to differ.
std::optional<size_t> WaitForStationRecord(const Site& site, size_t from, const Station& station,
                                           std::chrono::seconds deadline) {
  std::optional<size_t> found;
  PollUntil(
      [&] {
        const auto records = TextRecords(site);
        for (size_t i = from; i < records.size(); ++i)
          if (HasWeather(records[i], station.stored)) return (found = i).has_value();
        return false;
      },
      deadline);
  return found;
}

TEST(SystemStation, WeatherColumnsFollowAStationKilledOrHungAndReplacedOnTheSameLink) {
  Site site("station");
  std::string why;
  ASSERT_TRUE(site.Prepare(SystemRunSettings(false), why)) << why;
  ASSERT_TRUE(site.StartCard(why)) << why;
  ASSERT_TRUE(site.StartWeather(FixedStationArgs(), why)) << why;
  ChildProcess& varnel = site.StartVarnel();
  ASSERT_TRUE(varnel.WaitForOutput("status: 指定個数終了", 120s)) << "no cycle: " << varnel.Output();
  ASSERT_TRUE(PollUntil([&] { return StoredRecords(site) >= 1; }, 150s)) << "no first record";
  ExpectFixedWeather(TextRecords(site)[0], "record 1");

  // Killed: its terminal hangs up; the new station makes a new link.
  site.KillWeather();
  ASSERT_TRUE(site.StartWeather(kSecond.args, why)) << why;
  const size_t atKill = TextRecords(site).size();
  const auto second = WaitForStationRecord(site, atKill, kSecond, 150s);
  ASSERT_TRUE(second.has_value()) << "no record with the second station's weather";
  EXPECT_LE(*second, atKill + 1) << "the second station was found late";

  // Hung: the old terminal stays open and silent; the link is replaced.
  site.HangWeather();
  ASSERT_TRUE(site.StartWeather(kThird.args, why)) << why;
  const size_t atHang = TextRecords(site).size();
  const auto third = WaitForStationRecord(site, atHang, kThird, 150s);
  ASSERT_TRUE(third.has_value()) << "no record with the third station's weather";
  EXPECT_LE(*third, atHang + 1) << "the third station was found late";

  // Every record holds one station's weather: the first record after a
  // change may still hold the old one's, never a mixture beyond that.
  const auto records = TextRecords(site);
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string name = "record " + std::to_string(i + 1);
    ASSERT_EQ(records[i].size(), 249u) << name;
    if (i >= *second && i < atHang) {
      EXPECT_TRUE(HasWeather(records[i], kSecond.stored)) << name;
    }
    if (i >= *third) {
      EXPECT_TRUE(HasWeather(records[i], kThird.stored)) << name;
    }
  }
  EXPECT_EQ(varnel.WaitForExit(0ms), std::nullopt) << "the measurement program ended";
  EXPECT_EQ(site.RunningVarnel(), varnel.Pid()) << "the measurement program was restarted";
}

}  // namespace
}  // namespace e2e
