#include "site.h"

#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

using lw::testing::BinDir;

std::string Convert(std::string_view in, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) throw std::runtime_error(std::string("iconv failed: ") + std::strerror(errno));
  out.resize(out.size() - dstLeft);
  return out;
}

template <typename T>
void Put(std::vector<uint8_t>& out, T value) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // the machine is little-endian, as the file
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

size_t Utf8Characters(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

bool IsVarnelOfSite(pid_t pid, const fs::path& site) {
  std::error_code ec;
  const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
  if (ec) return false;
  const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  return !ec && exe.filename() == "Varnel" && fs::equivalent(cwd, site, ec);
}

}  // namespace

std::vector<uint8_t> EncodeSettingsRecord(const SiteSettings& s, const std::string& dataPathUtf8) {
  std::vector<uint8_t> out;
  Put<int16_t>(out, s.freqIndex);
  Put<int16_t>(out, s.dataInterval);
  Put<int16_t>(out, s.waveInterval);
  Put<int16_t>(out, s.groupCount);
  Put<float>(out, s.shuntOhm);
  Put<int16_t>(out, static_cast<int16_t>(Utf8Characters(dataPathUtf8)));
  const std::string path = ToCp932(dataPathUtf8);
  out.insert(out.end(), path.begin(), path.end());
  Put<float>(out, s.peakLevel);
  for (float t : s.thresholds) Put<float>(out, t);
  Put<int16_t>(out, s.binaryFormat);
  for (float l : s.channelLevels) Put<float>(out, l);
  return out;
}

std::string ToCp932(std::string_view utf8) { return Convert(utf8, "CP932", "UTF-8"); }
std::string FromCp932(std::string_view cp932) { return Convert(cp932, "UTF-8", "CP932"); }

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds every) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(every);  // a poll interval, never the assertion itself
  }
  return true;
}

ToolRun RunTool(const std::string& tool, const std::vector<std::string>& args, const fs::path& scratchDir) {
  const fs::path out = scratchDir / (tool + ".out");
  const fs::path err = scratchDir / (tool + ".err");
  std::vector<std::string> shArgs{"-c", "exec \"$0\" \"$@\" >\"$TOOL_OUT\" 2>\"$TOOL_ERR\"",
                                  (BinDir() / tool).string()};
  shArgs.insert(shArgs.end(), args.begin(), args.end());
  ChildProcess sh("/bin/sh", shArgs,
                  {.workingDir = scratchDir, .environment = {{"TOOL_OUT", out.string()}, {"TOOL_ERR", err.string()}}});
  ToolRun run;
  run.exitStatus = sh.WaitForExit(60s);
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

Site::Site(std::string_view name) : dir_(std::string("lw-e2e-") + std::string(name)) {}

Site::~Site() {
  // Tessik first, so that it starts nothing more; then whatever it started.
  if (tessik_) tessik_->Kill();
  EndStartedVarnels();
  varnel_.reset();
  retired_.clear();
  tessik_.reset();
  weather_.reset();
  card_.reset();
}

void Site::EndStartedVarnels() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const auto pid = RunningVarnel();
    if (!pid) return;
    ::kill(*pid, SIGKILL);
    PollUntil([&] { return !IsVarnelOfSite(*pid, Path()); }, 5s, 20ms);
  }
}

std::map<std::string, std::string> Site::Environment() const {
  return {{"QDA7100_DEVICE_DIR", (Path() / "dev").string()},
          {"COMPONENT_REGISTRY", (Path() / "registry.ini").string()},
          {"QT_QPA_PLATFORM", "offscreen"}};
}

bool Site::Prepare(const SiteSettings& settings, std::string& why) {
  settings_ = settings;
  ChildProcess reg(BinDir() / "component-register", {"/s", (BinDir() / "libKivo7100.so").string()},
                   {.workingDir = Path(), .environment = Environment()});
  if (reg.WaitForExit(30s) != 0) {
    why = "component-register failed: " + reg.Output();
    return false;
  }
  const auto record = EncodeSettingsRecord(settings, DataPath().string());
  WriteFile(Path() / "SETDT.DAT", std::string_view(reinterpret_cast<const char*>(record.data()), record.size()));
  std::ofstream(Path() / "Varnel.ini") << "[Serial]\nPort=" << WeatherLink().string() << "\n";
  std::error_code ec;
  fs::create_symlink(BinDir() / "Varnel", Path() / "Varnel", ec);
  if (ec) {
    why = "cannot link Varnel: " + ec.message();
    return false;
  }
  return true;
}

bool Site::StartCard(std::string& why, const std::vector<std::string>& extra) {
  if (card_) {
    card_->Kill();
    retired_.push_back(std::move(card_));
  }
  std::vector<std::string> args{"--groups", "4"};
  args.insert(args.end(), extra.begin(), extra.end());
  card_ = std::make_unique<ChildProcess>(BinDir() / "qda7100-sim", args,
                                         lw::testing::ChildOptions{.workingDir = Path(), .environment = Environment()});
  if (!card_->WaitForOutput("qda7100-sim: serving", 15s)) {
    why = "the card stand-in did not start: " + card_->Output();
    return false;
  }
  return true;
}

void Site::KillCard() {
  if (card_) card_->Kill();
}

bool Site::StartWeather(const std::vector<std::string>& args, std::string& why) {
  if (weather_) {
    weather_->Kill();  // one station on the line at a time
    retired_.push_back(std::move(weather_));
  }
  std::vector<std::string> all{"--link", WeatherLink().string()};
  all.insert(all.end(), args.begin(), args.end());
  weather_ = std::make_unique<ChildProcess>(BinDir() / "weather-station-sim", all,
                                            lw::testing::ChildOptions{.workingDir = Path(), .environment = {}});
  std::error_code ec;
  if (!weather_->WaitForOutput("weather-station-sim: /dev/", 15s) ||
      !PollUntil([&] { return fs::exists(WeatherLink(), ec); }, 5s, 20ms)) {
    why = "the weather station stand-in did not start: " + weather_->Output();
    return false;
  }
  return true;
}

void Site::KillWeather() {
  if (!weather_) return;
  weather_->Kill();
  // A station unplugged takes its device with it.  The killed stand-in's
  // link would point at a freed pseudo-terminal number that a station of a
  // test running beside this one may be given next, and Varnel, opening
  // its configured path again, would then read that station.
  std::error_code ec;
  fs::remove(WeatherLink(), ec);
}

void Site::HangWeather() {
  if (!weather_) return;
  weather_->Signal(SIGSTOP);
  retired_.push_back(std::move(weather_));  // killed (SIGKILL ends it stopped) with the site
}

ChildProcess& Site::StartVarnel() {
  if (varnel_) retired_.push_back(std::move(varnel_));
  varnel_ = std::make_unique<ChildProcess>(Path() / "Varnel", std::vector<std::string>{},
                                           lw::testing::ChildOptions{.workingDir = Path(), .environment = Environment()});
  return *varnel_;
}

ChildProcess& Site::StartTessik(const std::string& restartMinutes) {
  auto env = Environment();
  env["TESSIK_AUTOSTART"] = restartMinutes;
  tessik_ = std::make_unique<ChildProcess>(BinDir() / "Tessik", std::vector<std::string>{},
                                           lw::testing::ChildOptions{.workingDir = Path(), .environment = env});
  return *tessik_;
}

std::optional<pid_t> Site::RunningVarnel() const {
  std::ifstream in(Path() / "Varnel.lock");
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return std::nullopt;
  if (!IsVarnelOfSite(static_cast<pid_t>(pid), Path())) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace e2e
