// The Qt window on the offscreen platform: captions, the binding of the
// text boxes and labels to the model, and the watch timer.
#include "form1_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "platform/qt_timer.h"
#include "system.h"
#include "test_support.h"

namespace tessik {
namespace {

using testing::At;
using testing::ManualClock;
using testing::RecordingStarter;
using testing::TempDir;

class ManualTimer : public platform::Timer {
 public:
  void SetInterval(uint32_t ms) override { interval = ms; }
  uint32_t Interval() const override { return interval; }
  void SetEnabled(bool on) override { enabled = on; }
  bool Enabled() const override { return enabled; }
  void Fire() {
    if (enabled && interval > 0 && onTick) onTick();
  }
  uint32_t interval = 0;
  bool enabled = false;
};

class Form1WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "tessik_window_test";
    static char* argv[] = {name, nullptr};
    // Headless unless told otherwise.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (QApplication::instance() == nullptr) app_ = new QApplication(argc, argv);
  }

  template <typename T>
  T* Child(Form1Window& w, const char* name) {
    T* child = w.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  static QStringList LabelTexts(Form1Window& w) {
    QStringList texts;
    for (const QLabel* label : w.findChildren<QLabel*>()) texts << label->text();
    return texts;
  }

  static inline QApplication* app_ = nullptr;
  TempDir dir_;
  ManualClock clock_;
  SystemFileTimes files_;
  RecordingStarter starter_;
  testing::FakeSiteLock lock_;
};

TEST_F(Form1WindowTest, ShowsTheCaptionsAndInitialTextsOfTheWindow) {
  Form1Window w(clock_, files_, starter_, lock_, std::make_unique<platform::QtWindowTimer>(),
                std::make_unique<ManualTimer>());
  w.Load(dir_.Path() / "SETDT.DAT", "/opt/site");
  EXPECT_EQ(w.windowTitle(), QString("自動起動ソフト"));
  EXPECT_EQ(w.objectName(), QString("Form1"));
  const QStringList labels = LabelTexts(w);
  for (const char* caption : {"更新確認ファイル", "再起動時間", "分", "最終更新日時", "最終確認日時",
                              "最終起動日時", "起動ソフト", "再起動回数:"})
    EXPECT_TRUE(labels.contains(QString::fromUtf8(caption))) << caption;
  EXPECT_EQ(Child<QLabel>(w, "lastUpdate")->text(), QString("yyyy/mm/dd HH:MM:SS"));
  EXPECT_EQ(Child<QLabel>(w, "lastCheck")->text(), QString("yyyy/mm/dd HH:MM:SS"));
  EXPECT_EQ(Child<QLabel>(w, "lastStart")->text(), QString("yyyy/mm/dd HH:MM:SS"));
  EXPECT_EQ(Child<QLabel>(w, "restartCount")->text(), QString("0"));
  EXPECT_EQ(Child<QPushButton>(w, "manualCheck")->text(), QString("手動確認"));
  EXPECT_EQ(Child<QPushButton>(w, "startStop")->text(), QString("スタート"));
  EXPECT_EQ(Child<QPushButton>(w, "exit")->text(), QString("終了"));
  // No SETDT.DAT in the folder: the design data path.
  EXPECT_EQ(Child<QLineEdit>(w, "watchedPath")->text(), QString("/var/tmp/気象・電流data.csv"));
  EXPECT_EQ(Child<QLineEdit>(w, "restartMinutes")->text(), QString("15"));
  EXPECT_EQ(Child<QLineEdit>(w, "programPath")->text(), QString("/opt/site/Varnel"));
  EXPECT_EQ(w.timer().Interval(), 60000u);
  EXPECT_FALSE(w.timer().Enabled());
}

TEST_F(Form1WindowTest, StartButtonSwitchesTheQtTimerOnAndOff) {
  auto owned = std::make_unique<platform::QtWindowTimer>();
  const platform::QtWindowTimer& timer = *owned;
  Form1Window w(clock_, files_, starter_, lock_, std::move(owned), std::make_unique<ManualTimer>());
  auto* button = Child<QPushButton>(w, "startStop");
  EXPECT_FALSE(timer.Counting());

  button->click();
  EXPECT_EQ(button->text(), QString("中断"));
  EXPECT_TRUE(timer.Counting());
  EXPECT_EQ(timer.Interval(), 60000u);
  EXPECT_GT(timer.RemainingMs(), 50000);  // a fresh 60 s countdown

  button->click();
  EXPECT_EQ(button->text(), QString("スタート"));
  EXPECT_FALSE(timer.Counting());
}

TEST_F(Form1WindowTest, TickUsesTheEditedTextsAndShowsTheResult) {
  auto owned = std::make_unique<ManualTimer>();
  ManualTimer& timer = *owned;
  Form1Window w(clock_, files_, starter_, lock_, std::move(owned), std::make_unique<ManualTimer>());
  const auto dataFile = dir_.Path() / "d.csv";
  ASSERT_TRUE(testing::SetModified(dataFile, At(2004, 2, 4, 15, 29, 0)));
  clock_.now = At(2004, 2, 4, 15, 30, 5);

  // What the operator typed is what the next tick uses.
  Child<QLineEdit>(w, "watchedPath")->setText(QString::fromStdString(dataFile.string()));
  Child<QLineEdit>(w, "restartMinutes")->setText("abc");
  Child<QLineEdit>(w, "programPath")->setText("/other/Varnel");
  timer.Fire();  // disabled: nothing
  EXPECT_TRUE(starter_.started.empty());

  Child<QPushButton>(w, "startStop")->click();
  EXPECT_TRUE(timer.enabled);
  timer.Fire();
  EXPECT_EQ(starter_.started, std::vector<std::string>{"/other/Varnel"});
  EXPECT_EQ(Child<QLabel>(w, "restartCount")->text(), QString("1"));
  EXPECT_EQ(Child<QLabel>(w, "lastStart")->text(), QString("2004/02/04 15:30:05"));
  EXPECT_EQ(Child<QLabel>(w, "lastUpdate")->text(), QString("2004/02/04 15:29:00"));
  EXPECT_EQ(Child<QLabel>(w, "lastCheck")->text(), QString("2004/02/04 15:30:05"));
  EXPECT_EQ(Child<QLineEdit>(w, "restartMinutes")->text(), QString("abc"));

  // A failing start shows on the status line.
  starter_.succeed = false;
  timer.Fire();
  EXPECT_EQ(Child<QLabel>(w, "status")->text(),
            QString("起動できません: /other/Varnel (No such file or directory)"));
  EXPECT_EQ(Child<QLabel>(w, "restartCount")->text(), QString("1"));
}

TEST_F(Form1WindowTest, ManualCheckWorksWhileIdleAndExitClosesTheWindow) {
  auto owned = std::make_unique<ManualTimer>();
  ManualTimer& timer = *owned;
  Form1Window w(clock_, files_, starter_, lock_, std::move(owned), std::make_unique<ManualTimer>());
  w.show();
  clock_.now = At(2004, 2, 4, 9, 0, 0);
  Child<QLineEdit>(w, "watchedPath")->setText(QString::fromStdString((dir_.Path() / "none.csv").string()));
  Child<QPushButton>(w, "manualCheck")->click();
  EXPECT_EQ(Child<QLabel>(w, "lastCheck")->text(), QString("2004/02/04 09:00:00"));
  EXPECT_TRUE(Child<QLabel>(w, "status")->text().startsWith(QString("更新確認ファイルが見つかりません: ")));
  EXPECT_TRUE(starter_.started.empty());

  Child<QPushButton>(w, "startStop")->click();
  ASSERT_TRUE(timer.enabled);
  Child<QPushButton>(w, "exit")->click();
  EXPECT_FALSE(timer.enabled);
  EXPECT_FALSE(w.isVisible());
}

TEST_F(Form1WindowTest, HungProgramIsEndedOnTheEndingTimerAndTheStartShows) {
  auto watch = std::make_unique<ManualTimer>();
  auto ending = std::make_unique<ManualTimer>();
  ManualTimer& watchTimer = *watch;
  ManualTimer& endingTimer = *ending;
  Form1Window w(clock_, files_, starter_, lock_, std::move(watch), std::move(ending));
  EXPECT_EQ(endingTimer.interval, 500u);
  EXPECT_FALSE(endingTimer.enabled);

  const auto dataFile = dir_.Path() / "d.csv";
  ASSERT_TRUE(testing::SetModified(dataFile, At(2004, 2, 4, 15, 0, 0)));
  clock_.now = At(2004, 2, 4, 15, 30, 5);
  Child<QLineEdit>(w, "watchedPath")->setText(QString::fromStdString(dataFile.string()));
  lock_.state = LockInspection::State::SiteProgram;
  lock_.held = true;
  lock_.endsOnTerminate = false;  // stopped: only SIGKILL ends it
  w.StartWatching("15");
  watchTimer.Fire();
  EXPECT_TRUE(endingTimer.enabled);
  EXPECT_EQ(Child<QLabel>(w, "status")->text(), QString("応答しないプログラムを終了します (pid 4321)"));
  EXPECT_EQ(Child<QLabel>(w, "restartCount")->text(), QString("0"));

  clock_.now = At(2004, 2, 4, 15, 30, 11);
  for (int i = 0; i < 11 && starter_.started.empty(); ++i) endingTimer.Fire();
  EXPECT_EQ(lock_.sent, (std::vector<std::string>{"TERM 4321", "KILL 4321"}));
  EXPECT_EQ(starter_.started.size(), 1u);
  EXPECT_FALSE(endingTimer.enabled);
  EXPECT_EQ(Child<QLabel>(w, "restartCount")->text(), QString("1"));
  EXPECT_EQ(Child<QLabel>(w, "lastStart")->text(), QString("2004/02/04 15:30:11"));
  EXPECT_EQ(Child<QLabel>(w, "status")->text(), QString("応答しないプログラムを終了して起動しました (pid 4321)"));
}

TEST_F(Form1WindowTest, UnattendedStartFillsTheMinutesAndStartsWatching) {
  auto owned = std::make_unique<ManualTimer>();
  ManualTimer& timer = *owned;
  Form1Window w(clock_, files_, starter_, lock_, std::move(owned), std::make_unique<ManualTimer>());
  w.StartWatching("0.05");
  EXPECT_EQ(Child<QLineEdit>(w, "restartMinutes")->text(), QString("0.05"));
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(Child<QPushButton>(w, "startStop")->text(), QString("中断"));
  w.StartWatching("1");  // already watching: stays on
  EXPECT_TRUE(timer.enabled);
}

}  // namespace
}  // namespace tessik
