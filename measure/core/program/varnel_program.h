// The measurement program's core put together: the cycle and the multiplexer,
// the analysis and sweep, the result files, the weather link and the settings, over the
// platform services the shell provides.  UI-free: the Qt shell and the tests
// drive the same object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "analysis/sweep.h"
#include "cycle/morlex_api.h"
#include "cycle/multiplexer.h"
#include "cycle/polmode.h"
#include "form/form.h"
#include "ports/ports.h"
#include "form/state.h"
#include "store/data_file.h"
#include "store/peak_waveform.h"
#include "store/result_store.h"
#include "weather/link.h"

namespace varnel {

struct ProgramPlatform {
  MorlexApi* morlex = nullptr;
  platform::Timer* timer1 = nullptr;    // cycle
  platform::Timer* polTimer = nullptr;  // arming
  platform::Timer* blockGuard = nullptr;  // the wait for a block's final notification
  platform::Timer* timer2 = nullptr;    // weather request
  platform::Timer* timer3 = nullptr;    // weather receive
  SerialPort* port = nullptr;
  MessageBoxes* boxes = nullptr;
  const Clock* clock = nullptr;
  std::filesystem::path siteDir;        // SETDT.DAT and ErrLog.csv
  uint32_t windowHandle = 0;

  std::function<uint32_t()> getKivoWnd;
  std::function<void()> drawScale;      // empty grid on the picture
  std::function<void()> plotData;       // grid and traces of the last sweep
  std::function<void()> repaintStatus;
  std::function<void()> repaintIndicators;
  std::function<void(int status)> endProgram;
};

class VarnelProgram {
 public:
  explicit VarnelProgram(ProgramPlatform platform);
  ~VarnelProgram();
  VarnelProgram(const VarnelProgram&) = delete;
  VarnelProgram& operator=(const VarnelProgram&) = delete;

  // Start-up of the window; the picture's inner size in pixels.
  void Load(float graphWidth, float graphHeight);

  PolModeForm form = MakeDesignForm();
  MeasureState state;

  PolMode& Window() { return *window_; }
  analysis::Sweep& Sweep() { return *sweep_; }
  store::ResultStore& Store() { return *store_; }
  store::DataFile& Data() { return dataFile_; }
  weather::WeatherLink& Weather() { return *weather_; }

 private:
  bool OpenDataFile(std::string& why);
  bool LogError(const std::string& message);

  ProgramPlatform platform_;
  store::DataFile dataFile_;
  std::unique_ptr<Multiplexer> multiplexer_;
  std::unique_ptr<analysis::Sweep> sweep_;
  std::unique_ptr<store::PeakWaveformSave> peakSave_;
  std::unique_ptr<store::ResultStore> store_;
  std::unique_ptr<weather::WeatherLink> weather_;
  std::unique_ptr<PolMode> window_;
};

}  // namespace varnel
