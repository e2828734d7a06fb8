// varnel-analyse: re-analyses recorded blocks or waveform snapshots with the
// measurement program's own analysis and prints one CSV row per block and
// channel index.
//
//   varnel-analyse [--freq 50|60] [--shunt OHM] [--thresholds a,b,c,d]
//                  [--groups 1|2|4] [--block N] [--snapshot] FILE
//
// FILE is either a raw block file (little-endian 16-bit raw codes in scan
// frames of four, one or more blocks of N samples, default 5040) or a
// waveform snapshot ("...Wev.dat", or any file given with --snapshot) whose
// samples are already signed counts.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace varnel::tools {

struct AnalyseOptions {
  std::string input;
  int frequency = 50;                                   // Hz
  double shunt = 330.0;                                 // ohm
  std::array<double, 4> thresholds{0.5, 1.0, 2.0, 5.0};  // mA
  int groups = 1;                                       // block k is group k mod groups
  std::size_t blockSamples = 5040;
  bool snapshot = false;
  bool help = false;
};

inline constexpr const char* kCsvHeader =
    "block,channel,Fhc,F1c,Flc,DCc,ALLc,Rms,peak_mA,time0,time1,time2,time3,half0,half1,half2,half3";

// Usage text, ending in a newline.
std::string Usage();

// Parses the arguments after the program name.  nullopt with the reason in
// *error for an unknown option, a missing or malformed value, or a missing
// file name.
std::optional<AnalyseOptions> ParseArguments(const std::vector<std::string>& args, std::string* error);

// True for a file name that names a waveform snapshot: it ends in "Wev.dat".
bool IsSnapshotName(const std::string& path);

// Analyses the input named by the options and writes the CSV to `out`.
// Returns false with the reason in *error when the input does not fit its
// layout or cannot be read.
bool Analyse(const AnalyseOptions& options, std::ostream& out, std::string* error);

// The whole program: 0 on success (also for --help), 2 for bad input (the
// message goes to `err`), 1 when the output cannot be written.
int RunAnalyse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace varnel::tools
