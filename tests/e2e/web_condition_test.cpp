// The condition pages in a real browser: varnel-web serves a database of
// known trends (WriteConditionFleet), and headless Chromium opens the
// washing ranking and a site page.  The ranking's rows must come in the
// order the trends give, the soonest insulator's days to danger must be
// those of its generated line, the site's daily indicators must be drawn
// (canvas pixels), and the console must stay free of errors.  The
// screenshots go to the build folder's screenshots/ (LW_SCREENSHOT_DIR to
// choose another).
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "headless_browser.h"
#include "web_test_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lw::testing::ChildProcess;
using lw::testing::HeadlessBrowser;
using namespace varnel::fleet::web::testing;

constexpr int kToday = ConditionFleet::kDays - 1;
constexpr double kDangerMa = 12;  // 0.6 of the default critical peak of 20 mA

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

std::string Text(HeadlessBrowser& browser, const std::string& expression) {
  std::string why;
  const auto v = browser.Evaluate(expression, why);
  return v && v->isString() ? v->toString().toStdString() : "(" + why + ")";
}

// "in 26 days (24–27)" of a rising insulator's row: the interval must hold
// the days its line takes, and the estimate lie near them.
void ExpectDaysOf(HeadlessBrowser& browser, int channel, double lineDays) {
  const std::string text = Text(browser, "document.querySelector('table.wash tr[data-site=\"east\"][data-channel=\"" +
                                             std::to_string(channel) + "\"] td.days').textContent");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("in ([0-9]+) days \\(([0-9]+)–([0-9]+)\\)"))) << text;
  EXPECT_LE(std::stod(m[2]), lineDays) << text;
  EXPECT_GE(std::stod(m[3]), lineDays) << text;
  EXPECT_NEAR(std::stod(m[1]), lineDays, 1 + 0.1 * lineDays) << text;
}

TEST(WebCondition, TheWashingRankingAndAnInsulatorsDailyChartOfAKnownFleetInChromium) {
  ASSERT_TRUE(HeadlessBrowser::Find()) << "Chromium is not installed (scripts/setup.sh)";
  lw::testing::TempDir dir("lw-web-condition");
  ConditionFleet fleet;
  {
    TestDb db(dir.File("records.sqlite"));
    fleet = WriteConditionFleet(db);
  }
  ChildProcess web(lw::testing::BinDir() / "varnel-web", {"--site-dir", dir.Path().string(), "--port", "0"});
  const std::string base = ServedAddress(web);
  ASSERT_FALSE(base.empty()) << web.Output();

  const fs::path shots = ScreenshotDir();
  fs::create_directories(shots);
  HeadlessBrowser browser;
  std::string why;
  ASSERT_TRUE(browser.Start(1280, 1000, why)) << why;

  // The ranking: warning before caution, the sooner danger first, then the
  // flat ones, the never washed before the washed; "idle" has no records.
  ASSERT_TRUE(browser.Open(base + "wash", why)) << why;
  EXPECT_EQ(Text(browser, "Array.from(document.querySelectorAll('table.wash tbody tr'))"
                          ".map((r) => r.dataset.site + '/' + r.dataset.channel).join(' ')"),
            "east/3 east/1 east/4 east/2 west/1 west/2");
  ExpectDaysOf(browser, 3, fleet.Line("east", 3).DaysToDanger(kDangerMa, kToday));
  ExpectDaysOf(browser, 1, fleet.Line("east", 1).DaysToDanger(kDangerMa, kToday));
  // Only the soonest is due within the lead time of 14 days.
  EXPECT_EQ(Text(browser, "Array.from(document.querySelectorAll('tr.soon')).map((r) => r.dataset.channel).join()"),
            "3");
  EXPECT_EQ(Text(browser, "document.documentElement.lang"), "en");
  EXPECT_TRUE(browser.Screenshot(shots / "varnel-web-wash.png", why)) << why;
  EXPECT_EQ(Join(browser.TakeErrors()), "");

  // The washed insulator's page: its daily indicators drawn in both charts
  // with its washing and the site's inspection marked, and listed.
  ASSERT_TRUE(browser.Open(base + "site?site=east&ichannel=4", why)) << why;
  ASSERT_TRUE(browser.WaitFor("document.querySelector('#indicators[data-drawn=yes]') !== null", 30s, why))
      << why << "\n"
      << Join(browser.TakeErrors()) << Text(browser, "document.querySelector('#indicators').textContent");
  EXPECT_EQ(Text(browser, "String(document.querySelectorAll('#indicators .indicator-chart').length)"), "3");
  EXPECT_GT(browser.Evaluate(DrawnPixelsScript("#indicators"), why).value_or(0).toInt(), 2000) << why;
  EXPECT_EQ(Text(browser, "Array.from(document.querySelectorAll('#daily ul.events li'))"
                          ".map((li) => li.querySelector('time').textContent).join(' | ')"),
            "2005-06-26 10:00 | 2005-06-15 16:00");
  EXPECT_TRUE(std::regex_search(Text(browser, "document.querySelector('#indicators .legend').textContent"),
                                std::regex("highest wet peak \\(mA\\)")));
  ASSERT_TRUE(browser.Evaluate("document.getElementById('condition').scrollIntoView(), true", why)) << why;
  EXPECT_TRUE(browser.Screenshot(shots / "varnel-web-condition.png", why)) << why;
  EXPECT_EQ(Join(browser.TakeErrors()), "");

  web.Signal(SIGTERM);
  EXPECT_EQ(web.WaitForExit(20s), 0) << web.Output();
}

}  // namespace
}  // namespace e2e
