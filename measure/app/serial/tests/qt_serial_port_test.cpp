// The QSerialPort adapter against the real weather station stand-in on its
// pseudo-terminal.  Every wait has a deadline and processes Qt events.
#include "serial/qt_serial_port.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "child_process.h"
#include "fakes/fakes.h"
#include "profile.h"
#include "weather/link.h"
#include "weather/protocol.h"

namespace varnel::serial {
namespace {

constexpr int kDeadlineMs = 5000;

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "varnel_serial_qt_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Processes Qt events until `done` holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = kDeadlineMs) {
  QElapsedTimer clock;
  clock.start();
  QTimer wake;  // bounds each wait for more events
  wake.start(10);
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

QString SimProgram() { return QString::fromStdString((lw::testing::BinDir() / "weather-station-sim").string()); }

// One weather-station-sim process; ended with SIGTERM when destroyed.
class StationSim {
 public:
  ~StationSim() { Stop(); }

  // Starts the stand-in and reads the device path it prints.
  bool Start(const QStringList& args) {
    proc_.setProgram(SimProgram());
    proc_.setArguments(args);
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_.start();
    if (!proc_.waitForStarted(kDeadlineMs)) return false;
    QElapsedTimer clock;
    clock.start();
    while (!proc_.canReadLine()) {
      const int left = kDeadlineMs - static_cast<int>(clock.elapsed());
      if (left <= 0 || proc_.state() != QProcess::Running) return false;
      proc_.waitForReadyRead(left);
    }
    const QString line = QString::fromUtf8(proc_.readLine()).trimmed();
    const QString prefix = QStringLiteral("weather-station-sim: ");
    if (!line.startsWith(prefix)) return false;
    device_ = line.mid(prefix.size());
    return true;
  }

  void Stop() {
    if (proc_.state() == QProcess::NotRunning) return;
    proc_.terminate();
    if (!proc_.waitForFinished(kDeadlineMs)) {
      proc_.kill();
      proc_.waitForFinished(kDeadlineMs);
    }
  }

  // Ends the stand-in at once (SIGKILL): it cannot remove its link.
  void Kill() {
    proc_.kill();
    proc_.waitForFinished(kDeadlineMs);
  }
  // Stops and continues the process (SIGSTOP, SIGCONT): a station that hangs.
  void Pause() { ::kill(static_cast<pid_t>(proc_.processId()), SIGSTOP); }
  void Resume() { ::kill(static_cast<pid_t>(proc_.processId()), SIGCONT); }

  const QString& Device() const { return device_; }
  int ExitCode() const { return proc_.exitCode(); }
  QProcess::ExitStatus ExitStatus() const { return proc_.exitStatus(); }

 private:
  QProcess proc_;
  QString device_;
};

const char* const kFixed = "in=26.7,out=-3.5,wind=4.5,dir=225,inhum=48,outhum=81,rain=12.7";

// What the frame must show for kFixed, from the stand-in's own profile.
weather::WeatherReading ExpectedReading() {
  const auto raw = weathersim::ParseReading(kFixed, nullptr);
  return *weather::DecodeWeatherReply(weathersim::EncodePacket(*raw));
}

class QtSerialPortTest : public ::testing::Test {
 protected:
  QtSerialPortTest() { App(); }

  std::unique_ptr<QtSerialPortAdapter> OpenOn(const QString& device) {
    SerialSettings s;
    s.port = device;
    auto port = std::make_unique<QtSerialPortAdapter>(s);
    EXPECT_TRUE(port->Open()) << port->LastError().toStdString();
    return port;
  }

  bool Request(QtSerialPortAdapter& port) { return port.Write(weather::kRequest); }
};

TEST_F(QtSerialPortTest, ReplyFromTheStationDecodesToItsProfile) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fixed", kFixed}));
  auto port = OpenOn(sim.Device());
  int notifications = 0;
  port->onComm = [&] { ++notifications; };
  ASSERT_TRUE(Request(*port));
  ASSERT_TRUE(WaitFor([&] { return port->BytesWaiting() >= 18; }));
  EXPECT_GE(notifications, 1);
  const std::vector<uint8_t> bytes = port->ReadAll();
  ASSERT_EQ(bytes.size(), 18u);
  EXPECT_EQ(bytes[0], 0x01);
  const auto reading = weather::DecodeWeatherReply(bytes);
  ASSERT_TRUE(reading.has_value());
  const auto expected = ExpectedReading();
  EXPECT_EQ(reading->windSpeed, expected.windSpeed);
  EXPECT_EQ(reading->insideTemperature, expected.insideTemperature);
  EXPECT_EQ(reading->outsideHumidity, expected.outsideHumidity);
  // And as worked by hand from the stand-in's conversions to wire units.
  EXPECT_EQ(reading->windSpeed, "4.5");            // 10 mph
  EXPECT_EQ(reading->windDirection, "225");
  EXPECT_EQ(reading->outsideTemperature, "-3.5");  // 257 tenths °F
  EXPECT_EQ(reading->insideTemperature, "26.7");   // 801 tenths °F
  EXPECT_EQ(reading->insideHumidity, "48");
  EXPECT_EQ(reading->outsideHumidity, "81");
  EXPECT_EQ(reading->rain, "12.7");                // 50 hundredths of an inch
  EXPECT_EQ(port->BytesWaiting(), 0);
}

TEST_F(QtSerialPortTest, ThresholdZeroRaisesNoNotification) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fixed", kFixed}));
  auto port = OpenOn(sim.Device());
  int notifications = 0;
  port->onComm = [&] { ++notifications; };
  port->SetReceiveThreshold(0);
  ASSERT_TRUE(Request(*port));
  ASSERT_TRUE(WaitFor([&] { return port->BytesWaiting() >= 18; }));
  EXPECT_EQ(notifications, 0);
}

TEST_F(QtSerialPortTest, LineSwitchesFailQuietlyOnAPseudoTerminalAndReadingGoesOn) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fixed", kFixed}));
  auto port = OpenOn(sim.Device());
  EXPECT_FALSE(port->SetDtr(true));
  EXPECT_FALSE(port->SetRts(false));
  WaitFor([] { return false; }, 50);  // let any queued error handling run
  EXPECT_TRUE(port->IsOpen());
  ASSERT_TRUE(Request(*port));
  EXPECT_TRUE(WaitFor([&] { return port->BytesWaiting() >= 18; }));
}

TEST_F(QtSerialPortTest, WeatherLinkShowsTheStationOverTheAdapter) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fixed", kFixed}));
  auto port = OpenOn(sim.Device());
  fakes::ManualTimerHub hub;
  auto timer2 = hub.Make(0, false);
  auto timer3 = hub.Make(0, false);
  fakes::ManualClock clock;
  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
  weather::WeatherLink link(form, totals, *port, *timer2, *timer3, clock);
  link.Start();
  hub.Advance(4000);  // the fourth tick sends the request
  ASSERT_TRUE(WaitFor([&] { return !form.Label18.text.empty() || port->BytesWaiting() > 16; }));
  if (form.Label18.text.empty()) hub.Advance(200);  // still collecting: Timer3 reads it
  const auto expected = ExpectedReading();
  EXPECT_EQ(form.Label8[weather::label::kWindSpeed].text, *expected.windSpeed);
  EXPECT_EQ(form.Label8[weather::label::kOutsideTemperature].text, "-3.5");
  EXPECT_EQ(form.Label8[weather::label::kAverageWindDirection].text, "225");
  EXPECT_EQ(form.Label8[weather::label::kRain].text, "12.7");
  EXPECT_TRUE(form.Label18.text == "ok" || form.Label18.text == "OK") << form.Label18.text;
  EXPECT_FLOAT_EQ(totals.packetCount, 1.0f);
}

TEST_F(QtSerialPortTest, SplitReplyIsCollectedAndReadByTheReceiveTimer) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fixed", kFixed, "--split", "--split-gap-ms", "300"}));
  auto port = OpenOn(sim.Device());
  fakes::ManualTimerHub hub;
  auto timer2 = hub.Make(0, false);
  auto timer3 = hub.Make(0, false);
  fakes::ManualClock clock;
  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
  weather::WeatherLink link(form, totals, *port, *timer2, *timer3, clock);
  link.Start();
  hub.Advance(4000);
  // The first byte alone: the receive lamp lights and notifications stop.
  ASSERT_TRUE(WaitFor([&] { return port->ReceiveThreshold() == 0; }));
  EXPECT_EQ(form.Label6[0].backColor, kRed);
  ASSERT_TRUE(WaitFor([&] { return port->BytesWaiting() >= 18; }));
  EXPECT_EQ(form.Label18.text, "");
  hub.Advance(200);
  EXPECT_EQ(form.Label18.text, "OK");
  EXPECT_EQ(form.Label8[weather::label::kInsideHumidity].text, "48");
  EXPECT_EQ(port->ReceiveThreshold(), 1);
}

TEST_F(QtSerialPortTest, StationGoingAwayClosesThePortAndItReopensWhenBack) {
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("ttyWeather"));
  SerialSettings s;
  s.port = link;
  QtSerialPortAdapter port(s);
  int failures = 0;
  port.onFailure = [&](const QString&) { ++failures; };
  std::vector<std::string> reports;
  port.onReport = [&](const QString& line) { reports.push_back(line.toStdString()); };
  {
    StationSim first;
    ASSERT_TRUE(first.Start({"--fixed", kFixed, "--link", link}));
    ASSERT_TRUE(port.Open()) << port.LastError().toStdString();
    ASSERT_TRUE(Request(port));
    ASSERT_TRUE(WaitFor([&] { return port.BytesWaiting() >= 18; }));
    port.ReadAll();
    first.Stop();
    EXPECT_EQ(first.ExitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.ExitCode(), 0);
  }
  // The stand-in removed its link on SIGTERM.
  EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link.toStdString())));
  ASSERT_TRUE(WaitFor([&] { return !port.IsOpen(); }));
  WaitFor([&] { return failures > 0; }, 1000);
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(port.LastError().isEmpty());
  EXPECT_EQ(port.BytesWaiting(), -1);
  EXPECT_FALSE(Request(port));
  EXPECT_FALSE(port.Open());  // nothing there yet: the trouble logged already

  StationSim second;
  ASSERT_TRUE(second.Start({"--fixed", kFixed, "--link", link}));
  ASSERT_TRUE(port.Open()) << port.LastError().toStdString();
  // What the program's log shows of it: one line per change.
  ASSERT_EQ(reports.size(), 2u) << ::testing::PrintToString(reports);
  EXPECT_EQ(reports[0].rfind("closed after a failure: " + link.toStdString() + ": ", 0), 0u) << reports[0];
  EXPECT_EQ(reports[1], link.toStdString() + " is open again");
  ASSERT_TRUE(Request(port));
  ASSERT_TRUE(WaitFor([&] { return port.BytesWaiting() >= 18; }));
  EXPECT_EQ(weather::DecodeWeatherReply(port.ReadAll())->windDirection, "225");
}

// The weather link over the adapter while the station at the configured
// path is replaced twice: killed (the pseudo-terminal hangs up and the port
// closes itself) and then stopped (it hangs without a word and its device
// stays open) while a new stand-in takes over the link.  Each time the
// readings of the new station appear without a restart.  Virtual time runs
// in 1 s steps, each followed by the station's answer to a request.
TEST_F(QtSerialPortTest, WeatherLinkFindsTheStationThatReplacedAKilledOrHungOne) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("ttyWeather"));
  SerialSettings s;
  s.port = path;
  QtSerialPortAdapter port(s);
  fakes::ManualTimerHub hub;
  auto timer2 = hub.Make(0, false);
  auto timer3 = hub.Make(0, false);
  fakes::ManualClock clock;
  PolModeForm form = MakeDesignForm();
  WeatherTotals totals{};
  weather::WeatherLink link(form, totals, port, *timer2, *timer3, clock);
  const std::string& wind = form.Label8[weather::label::kWindSpeed].text;
  // Runs the link until the wind speed shows `expected`; the virtual
  // seconds it took, or -1 after `seconds`.
  auto runUntilWind = [&](const std::string& expected, int seconds) {
    for (int second = 1; second <= seconds; ++second) {
      hub.Advance(1000);
      // A request went out: the reply read on the receive event stops
      // Timer3.  A station that does not answer costs half a second.
      if (timer3->Enabled()) WaitFor([&] { return !timer3->Enabled(); }, 500);
      if (wind == expected) return second;
    }
    return -1;
  };

  StationSim first, second, third;
  ASSERT_TRUE(first.Start({"--fixed", "wind_raw=10", "--link", path}));  // 4.5 m/s
  ASSERT_TRUE(port.Open()) << port.LastError().toStdString();
  link.Start();
  ASSERT_GT(runUntilWind("4.5", 8), 0);

  first.Kill();
  ASSERT_TRUE(second.Start({"--fixed", "wind_raw=20", "--link", path}));  // 8.9 m/s
  const int afterKill = runUntilWind("8.9", 20);
  EXPECT_GT(afterKill, 0) << "the killed station's successor was not found";
  EXPECT_EQ(link.SilentReopens(), 0) << "the hang-up alone brings it back";

  second.Pause();
  ASSERT_TRUE(third.Start({"--fixed", "wind_raw=30", "--link", path}));  // 13.4 m/s
  const int afterHang = runUntilWind("13.4", 40);
  EXPECT_GT(afterHang, 0) << "the hung station's successor was not found";
  // Three unanswered requests, then the next request tick: 13 to 16 s.
  EXPECT_LE(afterHang, 4 * (weather::kUnansweredBeforeReopen + 1));
  EXPECT_EQ(link.SilentReopens(), 1);
  second.Resume();
}

TEST_F(QtSerialPortTest, AbsentDeviceFailsEveryOperationAndIsLoggedOnce) {
  QTemporaryDir dir;
  SerialSettings s;
  s.port = dir.filePath(QStringLiteral("no-such-tty"));
  QtSerialPortAdapter port(s);
  std::vector<std::string> reports;
  port.onReport = [&](const QString& line) { reports.push_back(line.toStdString()); };
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.Open());  // retried: nothing new to log
  EXPECT_EQ(reports, std::vector<std::string>{"cannot open " + port.LastError().toStdString()});
  EXPECT_FALSE(port.LastError().isEmpty());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.BytesWaiting(), -1);
  EXPECT_TRUE(port.ReadAll().empty());
  EXPECT_FALSE(Request(port));
  EXPECT_FALSE(port.SetDtr(true));
  EXPECT_FALSE(port.SetRts(true));
}

}  // namespace
}  // namespace varnel::serial
