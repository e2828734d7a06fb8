// varnel-synthetic-wave FOLDER [--channels 4|8|16] [--seed N]
//
// Writes a peak-triggered waveform snapshot of one sweep over the card
// stand-in's insulator profile into FOLDER and prints its path: test data
// for `varnel-data plot` and the other readers of waveform files.
#include <charconv>
#include <iostream>
#include <string>

#include "store/waveform_file.h"
#include "synthetic_wave.h"

int main(int argc, char** argv) {
  std::string folder;
  int channels = 16;
  unsigned long long seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--channels" || a == "--seed") && i + 1 < argc) {
      const std::string v = argv[++i];
      const auto r = a == "--seed" ? std::from_chars(v.data(), v.data() + v.size(), seed)
                                   : std::from_chars(v.data(), v.data() + v.size(), channels);
      if (r.ec != std::errc() || r.ptr != v.data() + v.size()) {
        std::cerr << "varnel-synthetic-wave: bad value for " << a << "\n";
        return 2;
      }
    } else if (folder.empty() && !a.empty() && a[0] != '-') {
      folder = a;
    } else {
      std::cerr << "usage: varnel-synthetic-wave FOLDER [--channels 4|8|16] [--seed N]\n";
      return 2;
    }
  }
  if (folder.empty() || !varnel::store::IsWaveformChannelCount(channels)) {
    std::cerr << "usage: varnel-synthetic-wave FOLDER [--channels 4|8|16] [--seed N]\n";
    return 2;
  }
  const varnel::WaveStore waves = varnel::tools::testing::SyntheticSweep(channels, 2, seed);
  const std::string path = folder + "/" + varnel::tools::testing::PeakSnapshotName(waves);
  if (!varnel::store::WriteWaveformFile(path, waves)) {
    std::cerr << "varnel-synthetic-wave: cannot write " << path << "\n";
    return 1;
  }
  std::cout << path << "\n";
  return 0;
}
