// A measurement site for end-to-end tests: a fresh site folder holding
// SETDT.DAT, Varnel.ini, the relay control's registration and links to the
// programs, and the processes of the whole system running in it (the card
// stand-in, the weather station stand-in, Varnel and Tessik).
//
// Every wait is bounded by a deadline.  When the site goes away it ends
// whatever still runs in it, also a Varnel that Tessik started (found by the
// process id in Varnel.lock), before the folder is removed.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "files.h"

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using lw::testing::ChildProcess;

// The fields of SETDT.DAT that a site starts with.
struct SiteSettings {
  std::string dataFileName = "気象・電流data.csv";  // in the site folder
  int16_t freqIndex = 0;                            // 50 Hz
  int16_t dataInterval = 1;                         // minutes
  int16_t waveInterval = 1;                         // minutes; > 0: scheduled snapshots on
  int16_t groupCount = 4;                           // 16 channels
  float shuntOhm = 330;
  float peakLevel = 1;  // > 0: peak-triggered snapshots on
  std::array<float, 5> thresholds{0.5f, 1, 2, 5, 10};
  int16_t binaryFormat = 0;
  std::array<float, 16> channelLevels{};  // trigger level of each channel, mA
};

// The SETDT.DAT record, built here from the published layout (little-endian,
// the path in code page 932 with its length in characters).
std::vector<uint8_t> EncodeSettingsRecord(const SiteSettings& s, const std::string& dataPathUtf8);

std::string ToCp932(std::string_view utf8);
std::string FromCp932(std::string_view cp932);
using lw::testing::ReadFile;
using lw::testing::WriteFile;

// Polls `condition` every `every` until it holds; false at the deadline.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds every = 250ms);

// A tool of the build run to its end, its standard output and error apart.
struct ToolRun {
  std::optional<int> exitStatus;  // nullopt: still running at the deadline
  std::string out, err;
};
ToolRun RunTool(const std::string& tool, const std::vector<std::string>& args, const fs::path& scratchDir);

class Site {
 public:
  explicit Site(std::string_view name);
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const fs::path& Path() const { return dir_.Path(); }
  fs::path DataPath() const { return Path() / settings_.dataFileName; }
  fs::path WeatherLink() const { return Path() / "weather-tty"; }
  const SiteSettings& Settings() const { return settings_; }

  // Registers the relay control, writes SETDT.DAT and Varnel.ini and links
  // Varnel into the folder (where Tessik starts it).  False with `why`.
  bool Prepare(const SiteSettings& settings, std::string& why);

  // The card stand-in with 16 insulators in 4 groups; waits until it serves.
  // A stand-in started before is killed first (likewise the station).
  bool StartCard(std::string& why, const std::vector<std::string>& extra = {});
  void KillCard();
  // The weather station stand-in on a pseudo-terminal behind WeatherLink();
  // waits until the link exists.
  bool StartWeather(const std::vector<std::string>& args, std::string& why);
  // Kills the station and removes its link, as a station unplugged.
  void KillWeather();
  // Stops the station (SIGSTOP) without letting it end: its terminal stays
  // open and silent, as a station that hangs.  It stays stopped until the
  // site ends; the next StartWeather starts a new station beside it, which
  // takes over the link.
  void HangWeather();

  ChildProcess& StartVarnel();
  ChildProcess& StartTessik(const std::string& restartMinutes);
  ChildProcess* Varnel() { return varnel_.get(); }
  ChildProcess* Tessik() { return tessik_.get(); }
  ChildProcess* Weather() { return weather_.get(); }
  ChildProcess* Card() { return card_.get(); }

  // The live Varnel that holds the site's lock (also one Tessik started).
  std::optional<pid_t> RunningVarnel() const;

  std::map<std::string, std::string> Environment() const;

 private:
  void EndStartedVarnels();

  lw::testing::TempDir dir_;
  SiteSettings settings_;
  std::unique_ptr<ChildProcess> card_, weather_, tessik_, varnel_;
  std::vector<std::unique_ptr<ChildProcess>> retired_;  // ended, kept for their output
};

}  // namespace e2e
