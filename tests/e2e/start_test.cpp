// Start-up of the measurement program in a site folder: a second instance
// is refused, and a damaged settings file gives the defaults.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "form/form.h"
#include "site.h"
#include "system_expectations.h"
#include "varnel_app.h"

namespace e2e {
namespace {

using lw::testing::BinDir;

Site& PreparedSite(std::unique_ptr<Site>& holder, std::string_view name) {
  holder = std::make_unique<Site>(name);
  std::string why;
  EXPECT_TRUE(holder->Prepare(SystemRunSettings(false), why)) << why;
  EXPECT_TRUE(holder->StartCard(why)) << why;
  return *holder;
}

TEST(SiteStart, SecondVarnelInTheSameSiteEndsWithStatus3AndLeavesTheFirstRunning) {
  std::unique_ptr<Site> holder;
  Site& site = PreparedSite(holder, "twice");
  ChildProcess& first = site.StartVarnel();
  ASSERT_TRUE(first.WaitForOutput("status: QDA-7100B 正常検出", 30s)) << first.Output();

  ChildProcess second(site.Path() / "Varnel", {}, {.workingDir = site.Path(), .environment = site.Environment()});
  ASSERT_EQ(second.WaitForExit(30s), 3) << second.Output();
  EXPECT_NE(second.Output().find("別の Varnel が動作中です (pid " + std::to_string(first.Pid()) + ")"),
            std::string::npos)
      << second.Output();
  // It ended before touching the card: it never detected it.
  EXPECT_EQ(second.Output().find("正常検出"), std::string::npos) << second.Output();
  EXPECT_EQ(first.WaitForExit(0ms), std::nullopt) << "the first program ended";
  EXPECT_EQ(site.RunningVarnel(), first.Pid());

  // The lock goes with its holder: once the first is gone, a new one runs.
  first.Kill();
  ChildProcess& third = site.StartVarnel();
  EXPECT_TRUE(third.WaitForOutput("status: QDA-7100B 正常検出", 30s)) << third.Output();
  EXPECT_EQ(site.RunningVarnel(), third.Pid());
}

// --- Without a display -------------------------------------------------------

constexpr const char* kOffscreenNote =
    ": no display (DISPLAY and WAYLAND_DISPLAY are unset): using Qt's offscreen platform";

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A program of the build with nothing in its environment but `environment`
// (env -i): no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM.
std::unique_ptr<ChildProcess> StartBare(const std::string& program, const fs::path& dir,
                                        const std::map<std::string, std::string>& environment,
                                        const std::vector<std::string>& args = {}) {
  std::vector<std::string> envArgs{"-i"};
  for (const auto& [key, value] : environment) envArgs.push_back(key + "=" + value);
  envArgs.push_back((BinDir() / program).string());
  envArgs.insert(envArgs.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>("/usr/bin/env", envArgs,
                                        lw::testing::ChildOptions{.workingDir = dir, .environment = {}});
}

TEST(SiteStart, HelpTellsTheProgramItsSiteFilesAndExitStatusesAndTouchesNothing) {
  lw::testing::TempDir dir("lw-e2e-help");
  for (const char* program : {"Varnel", "Tessik"}) {
    SCOPED_TRACE(program);
    auto run = StartBare(program, dir.Path(), {}, {"--help"});
    ASSERT_EQ(run->WaitForExit(30s), 0) << run->Output();
    const std::string out = run->Output();
    EXPECT_TRUE(out.starts_with(std::string(program) + " - the ")) << out;
    for (const char* part : {"SETDT.DAT", "Varnel.lock", "Exit status:\n  0  "})
      EXPECT_NE(out.find(part), std::string::npos) << part << " in:\n" << out;
    EXPECT_EQ(out.find(kOffscreenNote), std::string::npos) << "help needs no platform";
  }
  auto varnel = StartBare("Varnel", dir.Path(), {}, {"--help"});
  ASSERT_EQ(varnel->WaitForExit(30s), 0);
  for (const char* status : {"  1  the card refused its set-up", "  2  forced stop on abnormal DC",
                             "  3  another Varnel runs in the folder", "  4  the A/D library or the relay"})
    EXPECT_NE(varnel->Output().find(status), std::string::npos) << status;
  EXPECT_TRUE(fs::is_empty(dir.Path())) << "no lock file, no settings, nothing";
}

// Every line a program wrote is one of its own ("Varnel: ..."): none of
// Qt's remarks about the machine it runs on.
void ExpectOwnLinesOnly(const std::string& output, const std::string& program) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) {
      EXPECT_EQ(line.rfind(program + ": ", 0), 0u) << line;
    }
  }
}

TEST(SiteStart, WithoutADisplayBothProgramsRunOffscreenAndSaySoOnceAndNothingOfQt) {
  std::unique_ptr<Site> holder;
  Site& site = PreparedSite(holder, "headless");
  auto environment = site.Environment();
  environment.erase("QT_QPA_PLATFORM");
  // As under a service manager or in a root shell: no runtime folder (Qt
  // takes an empty value for none).
  environment["XDG_RUNTIME_DIR"] = "";

  auto varnel = StartBare("Varnel", site.Path(), environment);
  ASSERT_TRUE(varnel->WaitForOutput("status: QDA-7100B 正常検出", 30s)) << varnel->Output();
  EXPECT_EQ(Occurrences(varnel->Output(), std::string("Varnel") + kOffscreenNote), 1u) << varnel->Output();

  environment["TESSIK_AUTOSTART"] = "15";
  auto tessik = StartBare("Tessik", site.Path(), environment);
  // Said once its window exists and watches.
  ASSERT_TRUE(tessik->WaitForOutput("監視を開始しました", 30s)) << tessik->Output();
  EXPECT_EQ(Occurrences(tessik->Output(), std::string("Tessik") + kOffscreenNote), 1u) << tessik->Output();

  EXPECT_EQ(varnel->WaitForExit(0ms), std::nullopt) << varnel->Output();
  EXPECT_EQ(tessik->WaitForExit(0ms), std::nullopt) << tessik->Output();
  // Both windows have been shown by now: Varnel's right after its start-up,
  // long before Tessik's start-up ended.
  ExpectOwnLinesOnly(varnel->Output(), "Varnel");
  ExpectOwnLinesOnly(tessik->Output(), "Tessik");
}

// What the window must show after loading.  Fields the damage left
// readable and plausible keep their stored values; everything else takes
// the load defaults (data file /var/tmp/気象・電流data.csv, a record every
// minute, a snapshot every 10 minutes, 16 channels, 330 ohm, 50 Hz, CSV,
// the design detection levels).
struct Expected {
  std::string combo1 = "1";
  std::string combo2 = "10";
  bool check1 = true;
  std::string text1 = "330";
};


// The window after start-up from a damaged SETDT.DAT, in this process,
// against the real A/D library, relay control and card stand-in.  The A/D
// library finds its driver once, when it is loaded, so every case of the
// suite uses the same site and stand-in.
class DamagedSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    holder_ = new std::unique_ptr<Site>();
    site_ = &PreparedSite(*holder_, "settings");
    for (const auto& [key, value] : site_->Environment()) setenv(key.c_str(), value.c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete holder_;
    holder_ = nullptr;
    site_ = nullptr;
  }

  void ExpectDefaultsAfterLoading(std::string_view settingsBytes, const Expected& want = {}) {
    WriteFile(site_->Path() / "SETDT.DAT", settingsBytes);
    std::vector<int> endings;
    varnel::app::VarnelApp app(site_->Path(), [&endings](int s) { endings.push_back(s); },
                               (BinDir() / "libMorlex.so").string());
    std::string why;
    ASSERT_TRUE(app.Build(why)) << why;
    app.Load();
    const varnel::PolModeForm& f = app.Program().form;
    EXPECT_TRUE(endings.empty());
    EXPECT_EQ(f.IDC_STATUS.text, "QDA-7100B 正常検出 I/Oﾍﾞｰｽ:0x300 IRQ番号: 5");
    EXPECT_TRUE(f.IDB_START.enabled);
    EXPECT_EQ(f.Text4.text, varnel::kDesignDataPath);
    EXPECT_EQ(f.Combo1.text, want.combo1) << "data save interval";
    EXPECT_EQ(f.Combo2.text, want.combo2) << "waveform save interval";
    EXPECT_EQ(f.Check1.checked, want.check1) << "scheduled snapshots";
    EXPECT_EQ(f.Text1.text, want.text1) << "shunt resistance";
    EXPECT_TRUE(f.Option1[2].selected) << "16 channels";
    EXPECT_TRUE(f.Option2[0].selected) << "50 Hz";
    EXPECT_TRUE(f.Option3[0].selected) << "CSV";
    const char* levels[] = {"0.5", "1", "2", "5", "10"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(f.Text5[i].text, levels[i]) << "Text5(" << i << ")";
    EXPECT_TRUE(f.Check3.checked);
    EXPECT_EQ(f.Text3.text, "1");
  }

  static std::unique_ptr<Site>* holder_;
  static Site* site_;
};
std::unique_ptr<Site>* DamagedSettings::holder_ = nullptr;
Site* DamagedSettings::site_ = nullptr;

TEST_F(DamagedSettings, EmptyFile) { ExpectDefaultsAfterLoading(""); }

// Cut inside the path: the leading fields are whole and keep their values
// (a snapshot every 2 minutes, 120 ohm); the path and all after it are lost.
TEST_F(DamagedSettings, CutShortInsideThePath) {
  SiteSettings s;
  s.waveInterval = 2;
  s.shuntOhm = 120;
  const auto record = EncodeSettingsRecord(s, "/var/tmp/some/longer/folder/気象・電流data.csv");
  ExpectDefaultsAfterLoading(std::string(reinterpret_cast<const char*>(record.data()), 20),
                             {.combo1 = "1", .combo2 = "2", .check1 = true, .text1 = "120"});
}

// Every byte 0xFF: the data save interval reads -1, which no list offers;
// the waveform interval -1 is a valid record of "every minute, switched
// off"; the shunt is not a number; the path length is negative.
TEST_F(DamagedSettings, AllBytesSet) {
  ExpectDefaultsAfterLoading(std::string(130, '\xFF'), {.combo1 = "1", .combo2 = "1", .check1 = false, .text1 = "330"});
}

// A log written over the file: the intervals read 28274 and 27749 minutes
// (no list offers them) and the shunt 2.7 micro-ohm (a current of several mA
// across it would be far below one count of the card).
TEST_F(DamagedSettings, TextWrittenOverIt) {
  ExpectDefaultsAfterLoading("Varnel: 2026/12/07 08:48:00 status: QDA-7100B detected, I/O 0x300 IRQ 5\n"
                             "Varnel: 2026/12/07 08:49:00 status: conversion started...\n");
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
