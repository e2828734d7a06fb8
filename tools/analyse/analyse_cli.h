// varnel-analyse: re-analyses recorded blocks or waveform snapshots with the
// measurement program's own analysis and prints one CSV row per block and
// channel index.
//
//   varnel-analyse [--freq 50|60] [--shunt OHM] [--thresholds a,b,c,d]
//                  [--groups 1|2|4] [--block N] [--snapshot] [--jobs N]
//                  FILE|FOLDER...
//
// FILE is either a raw block file (little-endian 16-bit raw codes in scan
// frames of four, one or more blocks of N samples, default 5040) or a
// waveform snapshot ("...Wev.dat", or any file given with --snapshot) whose
// samples are already signed counts.
//
// An archive (several files, or a folder: its snapshots and its ".raw" block
// files, by name) is analysed on all cores, a file per worker at a time; the
// rows come out in the order of the files, each with the file's name in a
// first column and otherwise exactly as the file alone would give them, and
// the time taken and the files per second go to the error stream.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace varnel::tools {

struct AnalyseOptions {
  std::string input;                // the one file (the first input)
  std::vector<std::string> inputs;  // every FILE and FOLDER, in order
  int frequency = 50;                                   // Hz
  double shunt = 330.0;                                 // ohm
  std::array<double, 4> thresholds{0.5, 1.0, 2.0, 5.0};  // mA
  int groups = 1;                                       // block k is group k mod groups
  std::size_t blockSamples = 5040;
  bool snapshot = false;
  bool help = false;
  int jobs = 0;  // workers for an archive; 0: one per core
};

inline constexpr const char* kCsvHeader =
    "block,channel,Fhc,F1c,Flc,DCc,ALLc,Rms,peak_mA,time0,time1,time2,time3,half0,half1,half2,half3";
// The header of an archive's rows: the file first.
inline constexpr const char* kArchiveCsvHeader =
    "file,block,channel,Fhc,F1c,Flc,DCc,ALLc,Rms,peak_mA,time0,time1,time2,time3,half0,half1,half2,half3";

// Usage text, ending in a newline.
std::string Usage();

// Parses the arguments after the program name.  nullopt with the reason in
// *error for an unknown option, a missing or malformed value, or a missing
// file name.
std::optional<AnalyseOptions> ParseArguments(const std::vector<std::string>& args, std::string* error);

// True for a file name that names a waveform snapshot: it ends in "Wev.dat".
bool IsSnapshotName(const std::string& path);

// The files of an archive folder: its snapshots and its block files (names
// ending in ".raw"), sorted by name; other files and subfolders are left out.
std::vector<std::string> ArchiveFiles(const std::string& folder, std::string* error);

// A CSV cell holding `text`: quoted when it holds a comma, a quote or a line
// break.
std::string CsvCell(const std::string& text);

// Analyses the input named by the options and writes the CSV to `out`.
// Returns false with the reason in *error when the input does not fit its
// layout or cannot be read.
bool Analyse(const AnalyseOptions& options, std::ostream& out, std::string* error);

// The whole program: 0 on success (also for --help), 2 for bad input (the
// message goes to `err`), 1 when the output cannot be written.
int RunAnalyse(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace varnel::tools
