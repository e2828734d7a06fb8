// A running site in a real browser: the whole system stores records, the
// collector writes them into the site's SQLite file, varnel-web serves
// them, and headless Chromium (Debian's) opens the fleet page, the site
// page and a waveform snapshot.  Each chart must be drawn (its canvases
// hold drawn pixels, not only the background), a hover must show values,
// and the browser's console must stay free of errors.  The screenshots go
// to the build folder's screenshots/ (LW_SCREENSHOT_DIR to choose another).
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <regex>

#include "headless_browser.h"
#include "site.h"
#include "system_expectations.h"
#include "web_test_support.h"

namespace e2e {
namespace {

using lw::testing::HeadlessBrowser;
using varnel::fleet::web::testing::DrawnPixelsScript;
using varnel::fleet::web::testing::HttpGet;
using varnel::fleet::web::testing::ScreenshotDir;

constexpr const char* kSiteName = "kansai-north-07";

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

QJsonObject FleetJson(const std::string& base) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(HttpGet(base + "api/fleet").body)).object();
}

TEST(WebSite, FleetSiteAndSnapshotPagesOfARunningSiteDrawTheirChartsWithoutConsoleErrors) {
  std::string why;
  ASSERT_TRUE(HeadlessBrowser::Find()) << "Chromium is not installed (scripts/setup.sh)";
  Site site("web");
  ASSERT_TRUE(site.Prepare(SystemRunSettings(false), why)) << why;
  // Staged alarms on the peak current, so the pages show some.
  WriteFile(site.Path() / "varnel-web.ini",
             "[Alarms]\nHoldMinutes=5\n[Rule peak current]\nQuantity=peak\ncaution=2\nwarning=5\ndanger=8\n");
  ASSERT_TRUE(site.StartCard(why)) << why;
  ASSERT_TRUE(site.StartWeather(FixedStationArgs(), why)) << why;
  ChildProcess& varnel = site.StartVarnel();
  ChildProcess collector(lw::testing::BinDir() / "varnel-collect",
                         {"--site-dir", site.Path().string(), "--site", kSiteName, "--interval", "500"});
  ChildProcess web(lw::testing::BinDir() / "varnel-web", {"--site-dir", site.Path().string(), "--port", "0"});
  ASSERT_TRUE(web.WaitForOutput("serving http://", 30s)) << web.Output();
  std::smatch m;
  const std::string out = web.Output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("serving (http://[^ ]+/)")));
  const std::string base = m[1];

  // Three records and a scheduled snapshot in the database.
  ASSERT_TRUE(PollUntil(
      [&] {
        const QJsonArray sites = FleetJson(base)["sites"].toArray();
        if (sites.isEmpty() || sites[0].toObject()["lastRecord"].isNull()) return false;
        // Buckets of 17 s: each one-minute record its own.
        const auto trend = HttpGet(base + "api/trend?site=" + kSiteName + "&channels=1&range=day&points=5000");
        const auto snaps = HttpGet(base + "api/snapshots?site=" + kSiteName + "&range=day");
        const QJsonObject t = QJsonDocument::fromJson(QByteArray::fromStdString(trend.body)).object();
        const QJsonObject s = QJsonDocument::fromJson(QByteArray::fromStdString(snaps.body)).object();
        return t["series"].toArray()[0].toObject()["max"].toArray().size() >= 3 &&
               !s["snapshots"].toArray().isEmpty();
      },
      6min, 2s))
      << "Varnel:\n" << varnel.Output() << "\ncollector:\n" << collector.Output() << "\nweb:\n" << web.Output();

  const fs::path shots = ScreenshotDir();
  fs::create_directories(shots);
  HeadlessBrowser browser;
  ASSERT_TRUE(browser.Start(1280, 900, why)) << why;

  // The fleet page: the site's row with its line of the last day.
  ASSERT_TRUE(browser.Open(base, why)) << why;
  ASSERT_TRUE(browser.WaitFor("document.querySelector('.spark[data-drawn=yes]') !== null", 30s, why))
      << why << "\n" << Join(browser.TakeErrors());
  EXPECT_GT(browser.Evaluate(DrawnPixelsScript(".spark"), why).value_or(0).toInt(), 50) << why;
  EXPECT_EQ(browser.Evaluate("document.querySelector('table.fleet a').textContent", why)->toString(), kSiteName);
  EXPECT_TRUE(browser.Screenshot(shots / "varnel-web-fleet.png", why)) << why;
  EXPECT_EQ(Join(browser.TakeErrors()), "");

  // The site page: peaks of all channels with the weather on a second axis.
  ASSERT_TRUE(browser.Open(base + "site?site=" + kSiteName, why)) << why;
  ASSERT_TRUE(browser.WaitFor("document.querySelector('#trend[data-drawn=yes]') !== null", 30s, why))
      << why << "\n" << Join(browser.TakeErrors());
  EXPECT_GT(browser.Evaluate(DrawnPixelsScript("#trend"), why).value_or(0).toInt(), 1000) << why;
  // Hovering shows the values of the point under the mouse in the legend.
  const auto box = browser.Evaluate(
      "(() => { const r = document.querySelector('#trend canvas').getBoundingClientRect();"
      " return [r.left + r.width * 0.7, r.top + r.height / 2]; })()",
      why);
  ASSERT_TRUE(box && box->isArray()) << why;
  ASSERT_TRUE(browser.MoveMouse(box->toArray()[0].toDouble(), box->toArray()[1].toDouble(), why)) << why;
  ASSERT_TRUE(browser.WaitFor("/ch[0-9]+ peak \\(mA\\):\\s*-?[0-9]/.test(document.querySelector('#trend-legend').textContent)",
                              10s, why))
      << why << " legend: " << browser.Evaluate("document.querySelector('#trend-legend').textContent", why)->toString().toStdString();
  EXPECT_TRUE(browser.Screenshot(shots / "varnel-web-site.png", why)) << why;
  EXPECT_EQ(Join(browser.TakeErrors()), "");

  // A snapshot of the list, drawn with its channels' labels and peaks.
  const auto link = browser.Evaluate("document.querySelector('table.snapshots a').getAttribute('href')", why);
  ASSERT_TRUE(link && link->isString()) << why;
  ASSERT_TRUE(browser.Open(base + link->toString().toStdString().substr(1), why)) << why;
  ASSERT_TRUE(browser.WaitFor("document.querySelector('#wave[data-drawn=yes]') !== null", 30s, why))
      << why << "\n" << Join(browser.TakeErrors());
  EXPECT_GT(browser.Evaluate(DrawnPixelsScript("#wave"), why).value_or(0).toInt(), 1000) << why;
  EXPECT_TRUE(browser.Evaluate("/ch16 \\(peak [0-9.]+ mA\\)/.test(document.querySelector('#wave-legend').textContent)", why)
                  .value_or(false)
                  .toBool())
      << browser.Evaluate("document.querySelector('#wave-legend').textContent", why)->toString().toStdString();
  EXPECT_TRUE(browser.Screenshot(shots / "varnel-web-snapshot.png", why)) << why;
  EXPECT_EQ(Join(browser.TakeErrors()), "");

  web.Signal(SIGTERM);
  EXPECT_EQ(web.WaitForExit(20s), 0) << web.Output();
}

}  // namespace
}  // namespace e2e
