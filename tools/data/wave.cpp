// varnel-data wave [--cp932] FILE
//
// Prints a waveform snapshot file ("...Wev.dat") as CSV: a header line
// "sample,ch1,...,chN", then one line per sample index 0..1255 with the
// signed A/D count of every channel.

#include "command.h"
#include "store/waveform_file.h"

namespace varnel::tools {

int RunWave(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool cp932 = false;
  std::string path;
  for (const std::string& a : args) {
    if (a == "--cp932") {
      cp932 = true;
    } else if (!a.empty() && a[0] == '-') {
      err << "varnel-data wave: unknown option \"" << a << "\"\n";
      return kExitRefused;
    } else if (path.empty()) {
      path = a;
    } else {
      err << "varnel-data wave: one file only\n";
      return kExitRefused;
    }
  }
  if (path.empty()) {
    err << "varnel-data wave: no file given\n";
    return kExitRefused;
  }

  std::string why;
  const std::optional<WaveStore> waves = store::ReadWaveformFile(path, &why);
  if (!waves) {
    // ReadWaveformFile says "cannot open/read" for files it cannot get at.
    const bool unreadable = why.rfind("cannot ", 0) == 0;
    err << "varnel-data: " << (unreadable ? "" : path + " is not a waveform file: ") << why << "\n";
    return unreadable ? kExitUnreadable : kExitRefused;
  }

  LineWriter w{out, cp932};
  std::string header = "sample";
  for (int ch = 1; ch <= waves->Channels(); ++ch) header += ",ch" + std::to_string(ch);
  w.Line(header);
  for (int k = 0; k < WaveStore::kSamples; ++k) {
    std::string line = std::to_string(k);
    for (int ch = 0; ch < waves->Channels(); ++ch) line += "," + std::to_string(waves->At(k, ch));
    w.Line(line);
  }
  out.flush();
  return out ? kExitOk : kExitUnreadable;
}

}  // namespace varnel::tools
