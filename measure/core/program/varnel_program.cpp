#include "program/varnel_program.h"

#include <utility>

#include "analysis/analysis.h"
#include "settings/errlog.h"
#include "settings/setdt.h"
#include "store/record_format.h"

namespace varnel {

VarnelProgram::VarnelProgram(ProgramPlatform platform) : platform_(std::move(platform)) {
  const Clock& clock = *platform_.clock;
  multiplexer_ = std::make_unique<Multiplexer>(form, *platform_.port);
  sweep_ = std::make_unique<analysis::Sweep>(form, state);
  peakSave_ = std::make_unique<store::PeakWaveformSave>(form, state, clock);
  store_ = std::make_unique<store::ResultStore>(form, state, dataFile_, clock);
  weather_ = std::make_unique<weather::WeatherLink>(form, state.weather, *platform_.port, *platform_.timer2,
                                           *platform_.timer3, clock);
  weather_->repaint = [this] {
    if (platform_.repaintIndicators) platform_.repaintIndicators();
  };

  sweep_->selectGroup = [this](int group) { multiplexer_->Select(group); };
  sweep_->dtSave = [this] { store_->DTSave(); };
  sweep_->plotData = [this] {
    if (platform_.plotData) platform_.plotData();
  };
  sweep_->peakSave = [this] { peakSave_->Save(); };
  store_->onForcedStop = [this] { window_->EndProgram(kExitForcedStop); };

  PolModeHooks hooks;
  hooks.getKivoWnd = platform_.getKivoWnd;
  hooks.drawScale = platform_.drawScale;
  hooks.buildFrequencyTables = [this] { analysis::BuildFrequencyTables(form, state.tables); };
  hooks.dtSyori = [this] { sweep_->DTSyori(); };
  hooks.stfLood = [this] {
    const SettingsLoad load = STFLood(form, state, platform_.siteDir);
    const MeasureSettings& s = load.settings;
    return LoadedSettings{s.shuntOhm, s.dataPath, s.freqIndex, s.dataInterval, s.waveInterval};
  };
  hooks.stfSave = [this](std::string& why) {
    const WriteResult r = STFSave(form, state, platform_.siteDir);
    why = r.error;
    return r.ok;
  };
  hooks.logPR = [this](const std::string& message) { return LogError(message); };
  hooks.openDataFile = [this](std::string& why) { return OpenDataFile(why); };
  hooks.closeDataFile = [this] { dataFile_.Close(); };
  hooks.repaintStatus = platform_.repaintStatus;
  hooks.endProgram = platform_.endProgram;
  window_ = std::make_unique<PolMode>(form, state, *platform_.morlex, *platform_.timer1, *platform_.polTimer,
                                      *platform_.blockGuard, *platform_.port, *platform_.boxes, std::move(hooks),
                                      platform_.windowHandle);
}

VarnelProgram::~VarnelProgram() = default;

void VarnelProgram::Load(float graphWidth, float graphHeight) {
  window_->Form_Load(graphWidth, graphHeight);
  // The weather link runs from start-up to exit.  Without a card the start-up
  // leaves the port closed, and the link does not open it behind its back.
  weather_->reopenClosedPort = window_->Loaded();
  weather_->Start();
}

bool VarnelProgram::OpenDataFile(std::string& why) {
  store::ThresholdTexts thresholds;
  for (std::size_t j = 0; j < thresholds.size(); ++j) thresholds[j] = form.Text5[j].text;
  dataFile_.Close();
  return dataFile_.OpenForRun(form.Text4.text, state.binaryFormat != 0, state.groupCount, thresholds, &why);
}

bool VarnelProgram::LogError(const std::string& message) {
  const WriteResult r = LogPR(message, form.Label8[4].text, platform_.clock->Now(), platform_.siteDir);
  return r.ok;
}

}  // namespace varnel
