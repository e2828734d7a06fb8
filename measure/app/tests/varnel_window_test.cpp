// The real window with the real A/D library and relay control against the
// card stand-in process, offscreen, for several cycles.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "child_process.h"
#include "files.h"
#include "settings/setdt.h"
#include "text/cp932.h"
#include "varnel_app.h"

namespace varnel::app {
namespace {

using lw::testing::BinDir;
using lw::testing::ChildProcess;
using lw::testing::TempDir;
using namespace std::chrono_literals;

void ProcessEvents() { QApplication::processEvents(QEventLoop::AllEvents, 20); }

using lw::testing::ReadFile;

class VarnelWindowTest : public ::testing::Test {
 protected:
  TempDir site{"varnel-site"};
  std::filesystem::path devices = site.Path() / "dev";
  std::filesystem::path dataPath = site.Path() / "気象・電流data.csv";
  std::vector<int> endings;

  void SetUp() override {
    std::filesystem::create_directories(devices);
    setenv("QDA7100_DEVICE_DIR", devices.c_str(), 1);
    setenv("COMPONENT_REGISTRY", (site.Path() / "registry.ini").c_str(), 1);
    ChildProcess reg(BinDir() / "component-register", {(BinDir() / "libKivo7100.so").string()});
    ASSERT_EQ(reg.WaitForExit(20s), 0) << reg.Output();
    // A settings file that points the data file into the test's folder.
    MeasureSettings s;
    s.dataPath = dataPath.string();
    s.groupCount = 1;
    s.dataInterval = 1;
    s.waveInterval = -10;
    s.shuntOhm = 330;
    const auto bytes = EncodeSettings(s);
    ASSERT_TRUE(bytes);
    std::ofstream(site.Path() / "SETDT.DAT", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    std::ofstream(site.Path() / "Varnel.ini") << "[Serial]\nPort=" << (site.Path() / "no-port").string() << "\n";
  }

  std::unique_ptr<VarnelApp> StartApp() {
    auto app = std::make_unique<VarnelApp>(site.Path(), [this](int s) { endings.push_back(s); },
                                           (BinDir() / "libMorlex.so").string());
    std::string why;
    EXPECT_TRUE(app->Build(why)) << why;
    app->Load();
    app->Window().show();
    return app;
  }
};

TEST_F(VarnelWindowTest, RunsCyclesAgainstTheCardStandIn) {
  ChildProcess sim(BinDir() / "qda7100-sim", {"--type", "2", "--io-base", "0x300", "--irq", "5"},
                   {.workingDir = {}, .environment = {{"QDA7100_DEVICE_DIR", devices.string()}}});
  ASSERT_TRUE(sim.WaitForOutput("serving", 10s)) << sim.Output();
  auto app = StartApp();
  PolModeForm& form = app->Program().form;
  EXPECT_EQ(form.IDC_STATUS.text, "QDA-7100B 正常検出 I/Oﾍﾞｰｽ:0x300 IRQ番号: 5");

  int cycles = 0;
  std::string lastTotal;
  app->Window().Dispatch([&] { app->Program().Window().IDB_START_Click(); });
  const bool ran = lw::testing::WaitUntil(
      [&] {
        if (form.IDS_TOTALNUM.text == " 5040" && form.IDC_STATUS.text == "指定個数終了" &&
            !app->Program().Window().CycleInFlight()) {
          ++cycles;
          form.IDS_TOTALNUM.text.clear();
        }
        return cycles >= 3;
      },
      ProcessEvents, 30s);
  ASSERT_TRUE(ran) << "status: " << form.IDC_STATUS.text << " cycles: " << cycles;
  EXPECT_TRUE(endings.empty());

  // The window shows what the cycles left in the model, once the events
  // waiting have been handled: the status, and the values of the four
  // channels each in its own cell of the results table (a row per channel,
  // a column per quantity).
  app->Window().Dispatch([&] { app->Program().Window().IDB_STOP_Click(); });
  ASSERT_TRUE(lw::testing::WaitUntil([&] { return !app->Program().Window().CycleInFlight(); }, ProcessEvents, 10s));
  ProcessEvents();
  QStringList shown;
  for (const QLabel* label : app->Window().findChildren<QLabel*>()) shown << label->text();
  EXPECT_TRUE(shown.contains(QString::fromStdString(form.IDC_STATUS.text)));
  const ValueTable& values = app->Window().Values();
  for (int ch = 0; ch < 4; ++ch) {
    int column = 0;
    for (const auto* labels : {&form.Peak, &form.L25H, &form.LF1, &form.L25L, &form.LDC, &form.LAC, &form.LRms}) {
      const std::string& text = (*labels)[static_cast<std::size_t>(ch)].text;
      EXPECT_FALSE(text.empty()) << "channel " << ch;
      EXPECT_EQ(values.Text(values.CellIndex(ch, column++)).toStdString(), text) << "channel " << ch;
    }
  }

  const std::string data = ReadFile(dataPath);
  const std::string header = text::ToCp932("時刻,風速,風向,外気温,外湿度,内気温,内湿度,雨量,最大風速,ch1Fhc,");
  EXPECT_EQ(data.substr(0, header.size()), header);
  EXPECT_NE(data.find("\r\n"), std::string::npos);
}

TEST_F(VarnelWindowTest, ShowsTheWeatherStationReadings) {
  ChildProcess sim(BinDir() / "qda7100-sim", {}, {.workingDir = {}, .environment = {{"QDA7100_DEVICE_DIR", devices.string()}}});
  ASSERT_TRUE(sim.WaitForOutput("serving", 10s)) << sim.Output();
  const auto tty = site.Path() / "weather-tty";
  // Inside 800 -> 26.7 C, outside 320 -> 0.0 C, wind 10 -> 4.5 m/s,
  // direction 90, humidities 50 and 75 %, rain 5 -> 1.3 mm.
  ChildProcess station(BinDir() / "weather-station-sim",
                       {"--fixed", "in_raw=800,out_raw=320,wind_raw=10,dir_raw=90,inhum=50,outhum=75,rain_raw=5",
                        "--link", tty.string()});
  ASSERT_TRUE(station.WaitForOutput("/dev/pts/", 10s)) << station.Output();
  std::ofstream(site.Path() / "Varnel.ini") << "[Serial]\nPort=" << tty.string() << "\n";
  auto app = StartApp();
  PolModeForm& form = app->Program().form;
  // The first request goes out on the fourth tick of the 1 s timer.
  ASSERT_TRUE(lw::testing::WaitUntil([&] { return form.Label18.text == "ok" || form.Label18.text == "OK"; },
                                     ProcessEvents, 20s))
      << "status word: '" << form.Label18.text << "'";
  const std::array<std::pair<int, const char*>, 13> expected{{{0, "4.5"},
                                                                {1, "90"},
                                                                {2, "0.0"},
                                                                {6, "75"},
                                                                {7, "26.7"},
                                                                {8, "50"},
                                                                {12, "1.3"},
                                                                {3, "4.5"},
                                                                {4, "90"},
                                                                {5, "0.0"},
                                                                {9, "75"},
                                                                {10, "26.7"},
                                                                {11, "50"}}};
  for (auto [index, text] : expected) EXPECT_EQ(form.Label8[static_cast<std::size_t>(index)].text, text) << index;
  EXPECT_NE(QString::fromStdString(form.title).mid(59, 19).trimmed(), QString()) << "title clock";
}

// Types a text character by character as key presses, as the keyboard does
// (also characters that have no key code of their own).
void Type(QWidget* w, const QString& text) {
  for (const QChar c : text) QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Typing changes only the box; Enter hands the text to the core, which takes
// it or refuses it, and a refused text gives way to the value that stays.
TEST_F(VarnelWindowTest, EditedPathAndIntervalAreTakenOnlyWhenARestartKeepsThem) {
  auto app = StartApp();  // no card needed: the boxes work all the same
  PolModeForm& form = app->Program().form;
  auto* path = app->Window().findChild<QLineEdit*>("Text4");
  auto* interval = app->Window().findChild<QComboBox*>("Combo1");
  ASSERT_TRUE(path && interval);
  const std::string pathBefore = form.Text4.text;
  const std::string intervalBefore = form.Combo1.text;

  path->setFocus();
  path->selectAll();
  Type(path, QString::fromUtf8("/var/tmp/Messung-ä.csv"));
  app->Window().Refresh();  // a timer tick while typing leaves the edit alone
  EXPECT_EQ(path->text(), QString::fromUtf8("/var/tmp/Messung-ä.csv"));
  EXPECT_EQ(form.Text4.text, pathBefore);
  QTest::keyClick(path, Qt::Key_Return);
  EXPECT_EQ(form.Text4.text, pathBefore);
  ProcessEvents();  // the widgets follow the model once the waiting events are handled
  EXPECT_EQ(path->text().toStdString(), pathBefore);
  EXPECT_EQ(form.IDC_STATUS.text, "保存ﾌｧｲﾙ名に使えない文字があります[ä]");

  const std::string other = (site.Path() / "気象2.csv").string();
  path->selectAll();
  Type(path, QString::fromStdString(other));
  QTest::keyClick(path, Qt::Key_Return);
  EXPECT_EQ(form.Text4.text, other);

  interval->lineEdit()->selectAll();
  Type(interval->lineEdit(), "90");
  QTest::keyClick(interval->lineEdit(), Qt::Key_Return);
  EXPECT_EQ(form.Combo1.text, intervalBefore);
  ProcessEvents();
  EXPECT_EQ(interval->currentText().toStdString(), intervalBefore);
  EXPECT_EQ(form.IDC_STATUS.text, "設定値が範囲外です[データ保存間隔]");
  EXPECT_EQ(interval->count(), static_cast<int>(form.Combo1.items.size())) << "a typed value joined the list";
  // Choosing from the list commits at once.
  interval->setCurrentIndex(0);
  QTest::keyClick(interval->lineEdit(), Qt::Key_Down);
  EXPECT_EQ(form.Combo1.text, form.Combo1.items[1]);
}

TEST_F(VarnelWindowTest, ShowsTheDetectionErrorWithoutTheStandIn) {
  auto app = StartApp();
  EXPECT_EQ(app->Program().form.IDC_STATUS.text, "QDA-7100U/B ADｶｰﾄﾞ検出ｴﾗｰ");
  EXPECT_FALSE(app->Program().form.IDB_START.enabled);
}

}  // namespace
}  // namespace varnel::app

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
